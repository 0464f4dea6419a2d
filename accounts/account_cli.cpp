#include "accounts/account_cli.h"

#include "accounts/account_store.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"

#include <cctype>
#include <fstream>
#include <istream>
#include <map>
#include <ostream>
#include <set>
#include <stdexcept>

namespace nuvex {

namespace {

constexpr std::size_t kMaxFieldBytes = 1024;

struct UsageError {
    std::string message;
};

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

bool HasControl(std::string_view s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

void CheckText(const std::string& what, const std::string& value, bool allowBlank) {
    if (value.empty()) {
        throw UsageError{what + " is empty"};
    }
    if (value.size() > kMaxFieldBytes) {
        throw UsageError{what + " is too long"};
    }
    if (HasControl(value)) {
        throw UsageError{what + " holds a control character"};
    }
    if (!allowBlank && value.find(' ') != std::string::npos) {
        throw UsageError{what + " holds a blank"};
    }
}

int ParseInt(const std::string& what, const std::string& text, int low, int high) {
    int value = StrToIntDef(text, low - 1);
    if (text.empty() || value < low || value > high) {
        throw UsageError{what + " must be a number from " + std::to_string(low) + " to " +
                         std::to_string(high)};
    }
    return value;
}

// The first line of a stream without its line end.
std::string FirstLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

class Options {
public:
    Options(const std::vector<std::string>& args, std::size_t first, const std::set<std::string>& flags,
            const std::set<std::string>& valued) {
        for (std::size_t i = first; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (flags.count(a)) {
                values_[a] = "1";
            } else if (valued.count(a)) {
                if (i + 1 >= args.size()) {
                    throw UsageError{a + " needs a value"};
                }
                if (values_.count(a)) {
                    throw UsageError{a + " given twice"};
                }
                values_[a] = args[++i];
            } else if (a == "--password") {
                throw UsageError{"--password is not accepted: use --password-stdin or --password-file"};
            } else {
                throw UsageError{"unknown argument " + a};
            }
        }
    }
    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    std::string Get(const std::string& name, const std::string& def = "") const {
        auto it = values_.find(name);
        return it == values_.end() ? def : it->second;
    }

private:
    std::map<std::string, std::string> values_;
};

std::vector<StoredLine> ReadList(HostConfig& host) {
    auto text = host.ReadCfgStr("$ACCOUNTS");
    if (!text) {
        throw std::runtime_error("the account list can't be read from the host");
    }
    return ParseStoredList(*text);
}

const TConnectorClass* ClassOfType(const TConnectorRegistry& registry, const std::string& type) {
    const TConnectorClass* cls = registry.FindConnectorClass(type + "_");
    if (!cls) {
        throw UsageError{"unknown account type " + type};
    }
    return cls;
}

int CountOfType(const std::vector<StoredLine>& lines, const TConnectorRegistry& registry,
                const TConnectorClass& cls) {
    int n = 0;
    for (const auto& line : lines) {
        std::string name = line.first;
        for (char& c : name) {
            c = c == ':' ? '_' : c;
        }
        if (registry.FindConnectorClass(name) == &cls) {
            ++n;
        }
    }
    return n;
}

int Add(const std::vector<std::string>& args, HostConfig& host, const TConnectorRegistry& registry,
        std::istream& in, std::ostream& out) {
    Options opt(args, 1, {"--ssl", "--password-stdin", "--send-to"},
                {"--type", "--email", "--login", "--server", "--port", "--check-minutes", "--open-action",
                 "--webmail-url", "--mail-program", "--password-file"});
    std::string type = opt.Get("--type");
    if (type.empty()) {
        throw UsageError{"--type is required"};
    }
    const TConnectorClass* cls = ClassOfType(registry, type);
    bool pop3 = Upper(cls->TypeCode()) == "POP3";

    TAccountFields fields;
    fields.email = opt.Get("--email");
    CheckText("--email", fields.email, false);
    if (fields.email.find('@') == std::string::npos) {
        throw UsageError{"--email must be an address with an at sign"};
    }
    fields.userName = opt.Get("--login", pop3 ? "" : fields.email);
    CheckText("--login", fields.userName, true);
    fields.checkMinutes = ParseInt("--check-minutes", opt.Get("--check-minutes", "15"), 1, 10080);
    fields.sendTo = opt.Has("--send-to");

    std::string action = opt.Get("--open-action", "none");
    if (action == "none") {
        fields.actionCode = 0;
    } else if (action == "webmail") {
        fields.actionCode = 1;
    } else if (action == "program") {
        fields.actionCode = 2;
    } else {
        throw UsageError{"--open-action must be none, webmail or program"};
    }
    fields.associate = fields.actionCode != 0;

    TPop3Fields p;
    if (pop3) {
        p.hostName = opt.Get("--server");
        CheckText("--server", p.hostName, false);
        p.useSsl = opt.Has("--ssl");
        p.port = ParseInt("--port", opt.Get("--port", "110"), 1, 65535);
        p.webmailUrl = opt.Get("--webmail-url");
        p.mailerName = opt.Get("--mail-program");
        if (fields.actionCode == 1) {
            CheckText("--webmail-url", p.webmailUrl, false);
            std::string lower = p.webmailUrl;
            for (char& c : lower) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            if (lower.rfind("http://", 0) != 0 && lower.rfind("https://", 0) != 0) {
                throw UsageError{"--webmail-url must begin with http:// or https://"};
            }
        }
        if (fields.actionCode == 2) {
            CheckText("--mail-program", p.mailerName, true);
        }
    } else {
        for (const char* name : {"--server", "--port", "--ssl", "--webmail-url", "--mail-program"}) {
            if (opt.Has(name)) {
                throw UsageError{std::string(name) + " applies to POP3 accounts only"};
            }
        }
    }

    if (opt.Has("--password-stdin") == opt.Has("--password-file")) {
        throw UsageError{"give the password with exactly one of --password-stdin and --password-file"};
    }
    std::string password;
    if (opt.Has("--password-stdin")) {
        password = FirstLine(in);
    } else {
        std::ifstream file(opt.Get("--password-file"));
        if (!file) {
            throw UsageError{"the password file can't be read"};
        }
        password = FirstLine(file);
    }
    if (password.empty()) {
        throw UsageError{"the password is empty"};
    }
    if (password.size() > kMaxFieldBytes || HasControl(password)) {
        throw UsageError{"the password holds a control character or is too long"};
    }

    std::vector<StoredLine> lines = ReadList(host);
    bool offered = false;
    for (const TConnectorClass* c : registry.ConnectorClasses()) {
        offered |= c == cls;
    }
    if (!offered) {
        throw UsageError{"account type " + cls->TypeCode() + " is not offered on this host"};
    }
    if (cls->MaxAccounts() > 0 && CountOfType(lines, registry, *cls) >= cls->MaxAccounts()) {
        throw UsageError{"no further " + cls->TypeCode() + " account can be added"};
    }

    if (pop3) {
        p.password = password;
        AddPop3TypeKeys(fields, p);
    } else {
        AddWebTypeKeys(fields, password);
    }
    std::string settings = BuildSettingsText(fields);
    if (settings.empty()) {
        throw std::runtime_error("the settings could not be encoded");
    }
    TNewAccountChoices choices;
    choices.sendTo = fields.sendTo;
    auto id = StoreNewAccount(host, *cls, settings, choices);
    if (!id) {
        throw std::runtime_error("the host did not store the account");
    }
    host.ConfigChanged();
    out << *id << "\n";
    return kCliOk;
}

int List(HostConfig& host, const TConnectorRegistry& registry, std::ostream& out) {
    for (const auto& [name, value] : ReadList(host)) {
        std::string id = name;
        for (char& c : id) {
            c = c == ':' ? '_' : c;
        }
        const TConnectorClass* cls = registry.FindConnectorClass(id);
        TCryptURL record;
        record.DecodeParams(value);
        auto enabled = host.ReadCfgStr(id + "_ENABLED");
        bool on = !(enabled && *enabled == "0") && record.GetParam("ENABLED") != "0";
        out << id << '\t' << (cls ? cls->TypeCode() : std::string("?")) << '\t' << record.GetParam("EMAIL")
            << '\t' << (on ? "enabled" : "disabled") << "\n";
    }
    return kCliOk;
}

const StoredLine* FindLine(const std::vector<StoredLine>& lines, const std::string& id) {
    for (const auto& line : lines) {
        std::string name = line.first;
        for (char& c : name) {
            c = c == ':' ? '_' : c;
        }
        if (name == id) {
            return &line;
        }
    }
    return nullptr;
}

int Show(const std::string& id, HostConfig& host, std::ostream& out, std::ostream& err) {
    std::vector<StoredLine> lines = ReadList(host);
    const StoredLine* line = FindLine(lines, id);
    if (!line) {
        err << "nuvex-account: no account " << id << "\n";
        return kCliFailed;
    }
    TCryptURL record;
    if (!record.DecodeParams(line->second)) {
        err << "nuvex-account: the settings of " << id << " are damaged\n";
        return kCliFailed;
    }
    out << "ID=" << id << "\n";
    for (const auto& [key, value] : record.Entries()) {
        // The password stays out, and so do the entries that only scramble the text.
        if (key == "PASSWORD" || key == "RANDOMIZER" || key == "_CRC" || key == "RANDSEED") {
            continue;
        }
        out << key << "=" << value << "\n";
    }
    return kCliOk;
}

int Remove(const std::string& id, HostConfig& host, std::ostream& err) {
    std::vector<StoredLine> lines = ReadList(host);
    if (!FindLine(lines, id)) {
        err << "nuvex-account: no account " << id << "\n";
        return kCliFailed;
    }
    if (!RemoveStoredAccount(host, id)) {
        err << "nuvex-account: the host did not remove " << id << "\n";
        return kCliFailed;
    }
    host.ConfigChanged();
    return kCliOk;
}

} // namespace

int RunAccountCli(const std::vector<std::string>& args, HostConfig& host, const TConnectorRegistry& registry,
                  std::istream& in, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            throw UsageError{"usage: nuvex-account add|list|show ID|remove ID"};
        }
        const std::string& verb = args[0];
        if (verb == "add") {
            return Add(args, host, registry, in, out);
        }
        if (verb == "list") {
            if (args.size() != 1) {
                throw UsageError{"list takes no arguments"};
            }
            return List(host, registry, out);
        }
        if (verb == "show" || verb == "remove") {
            if (args.size() != 2 || args[1].empty()) {
                throw UsageError{verb + " takes one account id"};
            }
            return verb == "show" ? Show(args[1], host, out, err) : Remove(args[1], host, err);
        }
        throw UsageError{"unknown command " + verb + " (add, list, show, remove)"};
    } catch (const UsageError& e) {
        err << "nuvex-account: " << e.message << "\n";
        return kCliUsage;
    } catch (const std::exception& e) {
        err << "nuvex-account: " << e.what() << "\n";
        return kCliFailed;
    } catch (...) {
        err << "nuvex-account: unexpected failure\n";
        return kCliFailed;
    }
}

} // namespace nuvex
