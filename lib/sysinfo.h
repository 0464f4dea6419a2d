#pragma once
// Facts about the running system that the rest of the program asks for: the
// process, the program file and the user's special folders. Folder paths end
// with "/".
#include <string>

namespace nuvex {

struct SystemFacts {
    int processId = 0;
    std::string programPath;   // full path of the running program
    std::string programFolder; // its folder, with a trailing "/"
};

// Filled on first use, then fixed for the life of the process.
const SystemFacts& SysInfo();

enum class SpecialFolder {
    Desktop,   // the XDG desktop folder
    Personal,  // the XDG documents folder
    Startup,   // $XDG_CONFIG_HOME/autostart
    Programs,  // $XDG_DATA_HOME/applications
    StartMenu, // the same folder as Programs
    Temp,      // $TMPDIR or /tmp
    SendTo,    // $XDG_DATA_HOME/brannock/SendTo
};

// The folder's path with a trailing "/", read from the environment each time
// (so that tests and a changed environment see the current answer). The folder
// need not exist.
std::string SpecialFolderPath(SpecialFolder folder);

// The user's home folder without a trailing "/": $HOME, else the password entry.
std::string HomeFolder();

} // namespace nuvex
