#pragma once
// The logic of the `nuvex-account` command, apart from how it reaches the
// host: add, list, show and remove stored accounts.
//
//   nuvex-account add --type pop3 --email ADDR --login NAME --server HOST
//                     [--port N (default 995 with --ssl, else 110)] [--ssl] [--check-minutes N]
//                     [--open-action none|webmail|program] [--webmail-url URL]
//                     [--mail-program NAME] [--send-to]
//                     (--password-stdin | --password-file FILE)
//   nuvex-account list
//   nuvex-account show ID
//   nuvex-account remove ID
//   nuvex-account check ID|--all [--json] [--commit]
//   nuvex-account test ID
//   nuvex-account edit ID [--email ADDR] [--login NAME] [--check-minutes N]
//                     [--open-action none|webmail|program] [--send-to on|off]
//                     [--server HOST] [--port N] [--ssl on|off] [--webmail-url URL]
//                     [--mail-program NAME] [--password-stdin | --password-file FILE]
//   nuvex-account enable ID | disable ID
//   nuvex-account help [VERB] | VERB --help
//
// check checks stored accounts here and now (--all: the enabled ones) and
// prints their new and unread counts and the senders and subjects of the new
// messages. Its markers stay in this process unless --commit is given, so the
// running plug-in still announces the same messages.
//
// The password never comes from the command line, where other users could
// read it. Bad input gets one line on err and a non-zero result; everything
// is checked before the first write. Only types that can be checked are
// added; an option a type does not take, an option given twice or a stray
// argument is bad input.
#include "accounts/account_context.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace nuvex {

class HostConfig;
class TConnectorRegistry;

// Exit codes.
constexpr int kCliOk = 0;
constexpr int kCliUsage = 2;  // bad arguments or values
constexpr int kCliFailed = 1; // the host refused a read or write, or no such account
constexpr int kCliExists = 3; // the same account (type, login, address, server) is stored already
// Exit codes of check, as a mail checker's: new mail, none, an error.
constexpr int kCliCheckNew = 0;
constexpr int kCliCheckNone = 1;
constexpr int kCliCheckError = 2;

// args without the program name. After a change, host.ConfigChanged() tells
// the running plug-in to reload.
// context: what check and test hand their connectors (the host is replaced).
int RunAccountCli(const std::vector<std::string>& args, HostConfig& host, const TConnectorRegistry& registry,
                  std::istream& in, std::ostream& out, std::ostream& err,
                  const AccountContext& context = AccountContext{});

// No arguments, help, -h, or --help anywhere: usage is wanted, which needs
// neither a host nor its settings file.
bool IsUsageRequest(const std::vector<std::string>& args);
// The usage of the verb args name (help VERB or VERB --help), else of all
// verbs, on out; kCliOk. host, when given, says which optional types it allows.
int PrintAccountCliUsage(const std::vector<std::string>& args, const TConnectorRegistry& registry,
                         std::ostream& out, HostConfig* host = nullptr);

} // namespace nuvex
