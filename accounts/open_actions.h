#pragma once
// The two open actions accounts share: a web page with the account's
// credentials filled in, and the user's mail program.
#include "accounts/account_context.h"

#include <string>
#include <vector>

namespace nuvex {

class Registry;
class TNuvex_GenericConnector;

// Opens url for account through the context's navigation sink. A url without
// "http://" or "https://" is taken as a keyed-record text holding "URL".
// "%username%" and "%passwd%" (any case) are filled in percent-encoded,
// "%email%" as it is. Only http, https and mailto URLs are opened. A URL that
// carries the password is written into a private redirect page
// (lib/redirect_page.h) and the page's path is what the sink and the command
// line get. The browser command comes from HKCR "HTTP\shell\open\command"
// ("xdg-open %1" when there is none); the target takes the place of its first
// "%1" (or "%u"/"%U") as one word, and the command line is run without a shell
// (lib/command_line.h). Answers false when there was nothing to open.
bool OpenUrl(TNuvex_GenericConnector& account, const std::string& url);

// The installed mail programs as "key||display name", last key first, without
// the program's own entry and without programs whose file is missing.
std::vector<std::string> ListMailPrograms(Registry& registry);

// Starts the mail program whose display name equals displayName exactly;
// false when none does or it can't be started.
bool StartMailProgram(const AccountContext& context, const std::string& displayName);

// %NAME% replaced by the environment variable's value where it is set.
std::string ExpandEnvironmentStrings(const std::string& text);

// Splits command lines into words (lib/command_line.h) and spawns them without
// a shell, in a new session, detached from the caller; the child is reaped by a
// small waiter thread so that no zombie stays.
class SpawnProgramLauncher final : public ProgramLauncher {
public:
    bool Run(const std::string& commandLine) override;
};

// The launcher of the context, or a process-wide spawning launcher.
ProgramLauncher& LauncherOf(const AccountContext& context);

} // namespace nuvex
