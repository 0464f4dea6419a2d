#pragma once
// "Start at login": the desktop's autostart entry that starts the toolbar host
// (and with it the plug-in) when the user logs in.
#include <string>

namespace nuvex::autostart {

// $XDG_CONFIG_HOME/autostart/org.brannock.Nuvex.desktop; empty when neither
// XDG_CONFIG_HOME nor HOME is set.
std::string EntryPath();

// The entry's text for the host program at hostProgram; empty when the path
// cannot be written into a desktop file.
std::string EntryText(const std::string& hostProgram);

// Writes the entry, or leaves it when it already says the same. False (with
// one log line) when it cannot be written.
bool Enable(const std::string& hostProgram);

// Removes the entry when it is ours; an entry the user wrote by hand under the
// same name stays. False (with one log line) when ours cannot be removed.
bool Disable();

// Whether an entry of ours is in place.
bool IsEnabled();

// The host program that the entry starts: brannock beside the running program
// when it is there (a build tree or an install), else the name alone, looked
// up on PATH at login.
std::string HostProgramBeside(const std::string& program);

} // namespace nuvex::autostart
