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
//
// The password never comes from the command line, where other users could
// read it. Bad input gets one line on err and a non-zero result; everything
// is checked before the first write. Only types that can be checked are
// added; an option a type does not take, an option given twice or a stray
// argument is bad input.
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

// args without the program name. After a change, host.ConfigChanged() tells
// the running plug-in to reload.
int RunAccountCli(const std::vector<std::string>& args, HostConfig& host, const TConnectorRegistry& registry,
                  std::istream& in, std::ostream& out, std::ostream& err);

} // namespace nuvex
