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
// "%username%", "%passwd%" and "%email%" (any case) are filled in; the browser
// command comes from HKCR "HTTP\shell\open\command" ("xdg-open %1" when there
// is none), and the url takes the place of its first "%1", quoted for
// /bin/sh, so that nothing in the url or the account's data can reach the
// shell as syntax. Answers false when there was nothing to open.
bool OpenUrl(TNuvex_GenericConnector& account, const std::string& url);

// The installed mail programs as "key||display name", last key first, without
// the program's own entry and without programs whose file is missing.
std::vector<std::string> ListMailPrograms(Registry& registry);

// Starts the mail program whose display name equals displayName exactly;
// false when none does or it can't be started.
bool StartMailProgram(const AccountContext& context, const std::string& displayName);

// %NAME% replaced by the environment variable's value where it is set.
std::string ExpandEnvironmentStrings(const std::string& text);

// text quoted for /bin/sh as one word.
std::string ShellQuote(const std::string& text);

// Runs command lines through /bin/sh -c in a new session, detached from the
// caller; the child is reaped by a small waiter thread so that no zombie stays.
class ShellProgramLauncher final : public ProgramLauncher {
public:
    bool Run(const std::string& commandLine) override;
};

// The launcher of the context, or a process-wide shell launcher.
ProgramLauncher& LauncherOf(const AccountContext& context);

} // namespace nuvex
