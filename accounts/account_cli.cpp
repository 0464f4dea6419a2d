#include "accounts/account_cli.h"

#include "accounts/account_store.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/text.h"

#include <fstream>
#include <istream>
#include <map>
#include <ostream>
#include <stdexcept>

namespace nuvex {

namespace {

struct UsageError {
    std::string message;
};

void Require(const std::string& problem) {
    if (!problem.empty()) {
        throw UsageError{problem};
    }
}

int ParseNumber(const std::string& what, const std::string& text, int low, int high) {
    auto value = ParseDecimal(text, low, high);
    if (!value) {
        throw UsageError{what + " must be a number from " + std::to_string(low) + " to " +
                         std::to_string(high)};
    }
    return *value;
}

// The first line of a stream without its line end, read a byte at a time so
// that a source without a line end (a pipe, /dev/zero) costs no more than
// the bound: one byte beyond it is enough to refuse the value.
std::string BoundedFirstLine(std::istream& in) {
    std::string line;
    char c = 0;
    while (line.size() <= kMaxFieldBytes && in.get(c) && c != '\n') {
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// Options of every type; a type's row adds its own.
const TTypeOption kBaseOptions[] = {
    {"type"},        {"email"},         {"login"},          {"check-minutes"},
    {"open-action"}, {"password-file"}, {"send-to", false}, {"password-stdin", false},
};

using OptionValues = TTypeOptionValues;

const TTypeOption* FindOption(const TConnectorClass* cls, std::string_view name) {
    for (const TTypeOption& o : kBaseOptions) {
        if (o.name == name) {
            return &o;
        }
    }
    if (cls) {
        for (const TTypeOption& o : cls->options) {
            if (o.name == name) {
                return &o;
            }
        }
    }
    return nullptr;
}

// Every argument after the verb is an option of the base or of cls, each at
// most once; a valued option takes the next argument, which must not itself
// look like an option.
OptionValues ParseOptions(const std::vector<std::string>& args, const TConnectorClass* cls) {
    OptionValues values;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--password") {
            throw UsageError{"--password is not accepted: use --password-stdin or --password-file"};
        }
        if (!arg.starts_with("--")) {
            throw UsageError{"unexpected argument " + arg};
        }
        std::string name = arg.substr(2);
        const TTypeOption* option = FindOption(cls, name);
        if (!option) {
            throw UsageError{"unknown option " + arg +
                             (cls ? " for type " + cls->TypeCode() : std::string())};
        }
        if (values.count(name)) {
            throw UsageError{arg + " given twice"};
        }
        if (!option->takesValue) {
            values[name] = "1";
            continue;
        }
        if (i + 1 >= args.size() || args[i + 1].starts_with("--")) {
            throw UsageError{arg + " needs a value"};
        }
        values[name] = args[++i];
    }
    return values;
}

std::string Value(const OptionValues& values, const std::string& name, const std::string& def = "") {
    auto it = values.find(name);
    return it == values.end() ? def : it->second;
}

// Step 1: the type named by --type, spelled as its code (any case); it must be
// offered here and able to check, or the account would be stored and never checked.
const TConnectorClass& AddableClass(const std::vector<std::string>& args,
                                    const TConnectorRegistry& registry) {
    std::string type;
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--type") {
            type = args[i + 1];
            break;
        }
    }
    if (type.empty()) {
        throw UsageError{"--type is required"};
    }
    auto matches = [&](const TConnectorClass* c) { return text::EqualsNoCase(c->typeCode, type); };
    for (const TConnectorClass* cls : registry.ConnectorClasses()) {
        if (matches(cls)) {
            if (!cls->CanCheck()) {
                throw UsageError{"account type " + cls->TypeCode() + " cannot be checked yet"};
            }
            return *cls;
        }
    }
    for (const TConnectorClass* cls : registry.OptionalConnectorClasses()) {
        if (matches(cls)) {
            throw UsageError{"account type " + cls->TypeCode() + " is not offered on this host"};
        }
    }
    throw UsageError{"unknown account type " + type};
}

// Step 2: the fields of the base page.
TAccountFields BaseFields(const OptionValues& opt) {
    TAccountFields fields;
    fields.email = Value(opt, "email");
    Require(FieldTextProblem("--email", fields.email, false));
    if (fields.email.find('@') == std::string::npos) {
        throw UsageError{"--email must be an address with an at sign"};
    }
    fields.userName = Value(opt, "login", fields.email);
    Require(FieldTextProblem("--login", fields.userName, true));
    fields.checkMinutes = ParseNumber("--check-minutes", Value(opt, "check-minutes", "15"), 1, 10080);
    fields.sendTo = opt.count("send-to") != 0;
    static const std::map<std::string, std::int32_t> kActions = {
        {"none", kOpenNothing}, {"webmail", kOpenWebmail}, {"program", kOpenMailProgram}};
    auto action = kActions.find(Value(opt, "open-action", "none"));
    if (action == kActions.end()) {
        throw UsageError{"--open-action must be none, webmail or program"};
    }
    fields.actionCode = action->second;
    fields.associate = fields.actionCode != kOpenNothing;
    return fields;
}

// Step 3: the password, from exactly one of stdin and a file, never from the command line.
std::string ReadPassword(const OptionValues& opt, std::istream& in) {
    if (opt.count("password-stdin") == opt.count("password-file")) {
        throw UsageError{"give the password with exactly one of --password-stdin and --password-file"};
    }
    std::string password;
    if (opt.count("password-stdin")) {
        password = BoundedFirstLine(in);
    } else {
        std::ifstream file(Value(opt, "password-file"));
        if (!file) {
            throw UsageError{"the password file can't be read"};
        }
        password = BoundedFirstLine(file);
    }
    if (password.empty()) {
        throw UsageError{"the password is empty"};
    }
    if (!FieldTextProblem("the password", password, true).empty()) {
        throw UsageError{"the password holds a control character or is too long"};
    }
    return password;
}

// Step 4: the settings text with the type's own keys.
std::string SettingsText(const TConnectorClass& cls, TAccountFields& fields, OptionValues opt,
                         const std::string& password) {
    opt["password"] = password;
    std::string problem;
    if (cls.addTypeKeys && !cls.addTypeKeys(fields, opt, problem)) {
        throw UsageError{problem};
    }
    std::string settings = BuildSettingsText(fields);
    if (settings.empty()) {
        throw std::runtime_error("the settings could not be encoded");
    }
    return settings;
}

std::vector<StoredLine> ReadList(HostConfig& host) {
    auto text = host.ReadCfgStr("$ACCOUNTS");
    if (!text) {
        throw std::runtime_error("the account list can't be read from the host");
    }
    return ParseStoredList(*text);
}

std::string UnderscoreName(std::string name) {
    for (char& c : name) {
        c = c == ':' ? '_' : c;
    }
    return name;
}

// Step 5: a type with an account limit takes no more than that many.
void CheckAccountLimit(HostConfig& host, const TConnectorRegistry& registry, const TConnectorClass& cls) {
    if (cls.MaxAccounts() <= 0) {
        return;
    }
    int n = 0;
    for (const auto& line : ReadList(host)) {
        n += registry.FindConnectorClass(UnderscoreName(line.first)) == &cls ? 1 : 0;
    }
    if (n >= cls.MaxAccounts()) {
        throw UsageError{"no further " + cls.TypeCode() + " account can be added"};
    }
}

// Step 6: store it, unless the same account is stored already (a retried
// add whose first run was stopped after the host took it).
int Store(HostConfig& host, const TConnectorClass& cls, const std::string& settings, bool sendTo,
          std::ostream& out, std::ostream& err) {
    TNewAccountChoices choices;
    choices.sendTo = sendTo;
    std::string sameAs;
    auto id = StoreNewAccount(host, cls, settings, choices, &sameAs);
    if (!sameAs.empty()) {
        err << "nuvex-account: this account is stored already as " << sameAs << "; nothing added\n";
        return kCliExists;
    }
    if (!id) {
        throw std::runtime_error("the host did not store the account");
    }
    host.ConfigChanged();
    out << *id << "\n";
    return kCliOk;
}

int Add(const std::vector<std::string>& args, HostConfig& host, const TConnectorRegistry& registry,
        std::istream& in, std::ostream& out, std::ostream& err) {
    const TConnectorClass& cls = AddableClass(args, registry);
    OptionValues opt = ParseOptions(args, &cls);
    TAccountFields fields = BaseFields(opt);
    std::string password = ReadPassword(opt, in);
    std::string settings = SettingsText(cls, fields, opt, password);
    CheckAccountLimit(host, registry, cls);
    return Store(host, cls, settings, fields.sendTo, out, err);
}

int List(HostConfig& host, const TConnectorRegistry& registry, std::ostream& out) {
    for (const auto& [name, value] : ReadList(host)) {
        std::string id = UnderscoreName(name);
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
        if (UnderscoreName(line.first) == id) {
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
            return Add(args, host, registry, in, out, err);
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
