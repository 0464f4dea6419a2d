#pragma once
// The installed mail programs of a Linux desktop, shown as the registry keys
// the mail-program algorithms read: every desktop entry that handles
// x-scheme-handler/mailto appears as HKLM "SOFTWARE\Clients\Mail\<id>" with its
// Name as default value and "\shell\open\command" holding its Exec command
// (field codes removed, the program resolved through PATH, quoted where needed).
// Everything else, and every write, goes to the registry underneath.
#include "lib/registry.h"

#include <string>
#include <vector>

namespace nuvex {

struct DesktopMailProgram {
    std::string id;      // desktop file name without ".desktop"
    std::string name;    // Name=
    std::string command; // Exec= as a command line
};

// $XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS + /applications,
// with the XDG defaults when the variables are unset.
std::vector<std::string> DesktopEntryDirs();

// Entries of dirs that handle mailto; an id found in an earlier folder hides
// the same id further on; hidden entries are left out.
std::vector<DesktopMailProgram> ScanMailDesktopEntries(const std::vector<std::string>& dirs);

// Exec= value as a command line of lib/command_line.h: split with its quoting
// rules, field codes removed, the program resolved through PATH when it is a
// bare name, and the words quoted again where they need it. Empty when Exec
// has an open quote or no program.
std::string DesktopExecToCommand(const std::string& exec);

class MailProgramBridge final : public Registry {
public:
    explicit MailProgramBridge(Registry& inner, std::vector<std::string> dirs = DesktopEntryDirs());

    bool KeyExists(RegRoot root, std::string_view key) override;
    bool CreateKey(RegRoot root, std::string_view key) override { return inner_.CreateKey(root, key); }
    std::optional<RegValue> GetValue(RegRoot root, std::string_view key, std::string_view name) override;
    bool SetValue(RegRoot root, std::string_view key, std::string_view name, const RegValue& value,
                  bool create = true) override {
        return inner_.SetValue(root, key, name, value, create);
    }
    bool DeleteValue(RegRoot root, std::string_view key, std::string_view name) override {
        return inner_.DeleteValue(root, key, name);
    }
    bool DeleteKey(RegRoot root, std::string_view key) override { return inner_.DeleteKey(root, key); }
    std::vector<std::string> SubKeys(RegRoot root, std::string_view key) override;
    std::vector<std::string> ValueNames(RegRoot root, std::string_view key) override;

private:
    // The program a key of ours names, and whether it is its command key.
    const DesktopMailProgram* Match(RegRoot root, std::string_view key, bool& commandKey, bool& listKey);
    void Refresh();

    Registry& inner_;
    std::vector<std::string> dirs_;
    std::vector<DesktopMailProgram> programs_;
};

} // namespace nuvex
