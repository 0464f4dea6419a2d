#include "cli/account_cli.h"

#include "accounts/account_store.h"
#include "accounts/check_cycle.h"
#include "accounts/connector_registry.h"
#include "accounts/generic_connector.h"
#include "accounts/imap_connector.h"
#include "accounts/notify.h"
#include "integration/mail_program_bridge.h"
#include "lib/crypt_url.h"
#include "lib/host_config.h"
#include "lib/json_value.h"
#include "lib/log.h"
#include "lib/plugin_settings.h"
#include "lib/registry.h"
#include "lib/text.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <thread>

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
        if (values.count(name) && !option->repeatable) {
            throw UsageError{arg + " given twice"};
        }
        if (!option->takesValue) {
            values[name] = "1";
            continue;
        }
        if (i + 1 >= args.size() || args[i + 1].starts_with("--")) {
            throw UsageError{arg + " needs a value"};
        }
        const std::string& value = args[++i];
        auto [it, fresh] = values.emplace(name, value);
        if (!fresh) {
            it->second += "\n" + value;
        }
    }
    return values;
}

std::string Value(const OptionValues& values, const std::string& name, const std::string& def = "") {
    auto it = values.find(name);
    return it == values.end() ? def : it->second;
}

// Step 1: the type named by --type, spelled as its code (any case); it must be
// offered here and able to check, or the account would be stored and never checked.
const TConnectorClass& AddableClass(const std::vector<std::string>& args, const TConnectorRegistry& registry,
                                    HostConfig& host) {
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
            // The host that offers the type to the wizard offers it here too.
            if (host.ReadCfgBool(AllowTypeKey(cls->TypeCode())).value_or(false) && cls->CanCheck()) {
                return *cls;
            }
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
    if (!text::IsValidUtf8(password)) {
        throw UsageError{"the password is not UTF-8 text (a file in another character set?)"};
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
    auto text = host.ReadCfgStr(keys::kAccounts);
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
    const TConnectorClass& cls = AddableClass(args, registry, host);
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
        auto enabled = host.ReadCfgStr(AccountEnabledKey(id));
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

// The stored settings of one account; false (said on err) when it is not
// stored or its settings cannot be decoded.
bool ReadStoredRecord(HostConfig& host, const std::string& id, TCryptURL& record, std::ostream& err) {
    std::vector<StoredLine> lines = ReadList(host);
    const StoredLine* line = FindLine(lines, id);
    if (!line) {
        err << "nuvex-account: no account " << id << "\n";
        return false;
    }
    if (!record.DecodeParams(line->second)) {
        err << "nuvex-account: the settings of " << id << " are damaged\n";
        return false;
    }
    return true;
}

int Show(const std::string& id, HostConfig& host, std::ostream& out, std::ostream& err) {
    TCryptURL record;
    if (!ReadStoredRecord(host, id, record, err)) {
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

// A check from the command line must not take the news from the running
// plug-in: the markers it writes stay in this process unless committed.
class MarkerOverlay final : public HostConfig {
public:
    MarkerOverlay(HostConfig& base, bool commit) : base_(base), commit_(commit) {}
    bool Connected() const override { return true; }
    std::optional<bool> ReadCfgBool(std::string_view k, int f) override { return base_.ReadCfgBool(k, f); }
    std::optional<std::int32_t> ReadCfgInt(std::string_view k, int f) override {
        return base_.ReadCfgInt(k, f);
    }
    std::optional<std::string> ReadCfgStr(std::string_view k, int f) override {
        if (IsMarker(k)) {
            std::lock_guard lock(mutex_);
            auto it = kept_.find(NormalizeHostKey(k));
            if (it != kept_.end()) {
                return it->second;
            }
        }
        return base_.ReadCfgStr(k, f);
    }
    bool WriteCfgBool(std::string_view k, bool v, int f) override { return base_.WriteCfgBool(k, v, f); }
    bool WriteCfgInt(std::string_view k, std::int32_t v, int f) override {
        return base_.WriteCfgInt(k, v, f);
    }
    bool WriteCfgStr(std::string_view k, std::string_view v, int f) override {
        if (IsMarker(k) && !commit_) {
            std::lock_guard lock(mutex_);
            kept_[NormalizeHostKey(k)] = std::string(v);
            return true;
        }
        return base_.WriteCfgStr(k, v, f);
    }
    bool DeleteCfgValue(std::string_view k, int f) override {
        if (IsMarker(k) && !commit_) {
            std::lock_guard lock(mutex_);
            kept_[NormalizeHostKey(k)] = std::string(); // an unset value reads as empty
            return true;
        }
        return base_.DeleteCfgValue(k, f);
    }
    bool ConfigChanged() override { return true; }

private:
    static bool IsMarker(std::string_view key) {
        return text::StartsWithNoCase(key, keys::kMarkerPrefix) ||
               text::StartsWithNoCase(key, "$" + std::string(keys::kMarkerPrefix)) ||
               text::StartsWithNoCase(key, keys::kSeenIdsPrefix);
    }
    HostConfig& base_;
    bool commit_;
    std::mutex mutex_;
    std::map<std::string, std::string> kept_;
};

struct CheckedMessage {
    std::string sender;
    std::string subject;
};

struct CheckOutcome {
    std::string id;
    std::string email;
    bool failed = false;
    std::string error;
    std::int32_t fresh = 0;
    std::int32_t unread = 0;
    std::vector<CheckedMessage> messages;
};

std::string OneLine(std::string text) {
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.replace(at, 2, " ");
    }
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

// A check here reads the registry the plug-in gives its checks (the desktop's
// mail programs over the process registry), so that it checks exactly as the
// plug-in does: a browser check takes the cookie folder from it, hides the
// provider's cookie files during the check and restores them after. Answers
// the registry made for context, if one was.
std::unique_ptr<Registry> GiveThePlugInsRegistry(AccountContext& context) {
    if (context.registry) {
        return nullptr;
    }
    auto bridge = std::make_unique<MailProgramBridge>(ProcessRegistry());
    context.registry = bridge.get();
    return bridge;
}

CheckOutcome CheckStored(const StoredLine& line, const TConnectorRegistry& registry,
                         const AccountContext& context) {
    CheckOutcome result;
    result.id = UnderscoreName(line.first);
    const TConnectorClass* cls = registry.FindConnectorClass(result.id);
    TCryptURL record;
    if (record.DecodeParams(line.second)) {
        result.email = record.GetParam("EMAIL");
    }
    auto fail = [&result](std::string why) {
        result.failed = true;
        result.error = OneLine(std::move(why));
        return result;
    };
    if (!cls || !cls->CanCheck()) {
        return fail("this account type cannot be checked");
    }
    try {
        std::unique_ptr<TNuvex_GenericConnector> account = cls->Create(context);
        if (account->LoadSettings(line.second) != kStatusOk) {
            return fail("the stored settings are damaged");
        }
        account->SetAccountId(result.id);
        account->BeginCheck();
        const int status = account->CheckMail();
        std::int32_t code = kErrorNone;
        std::string text;
        account->TakeLastError(code, text);
        if (status != kStatusOk || code != kErrorNone) {
            return fail(text.empty() ? "the check failed" : text);
        }
        TNotifyMessages list;
        account->AddNotifyItems(list, false);
        std::lock_guard guard(account->Guard());
        result.fresh = account->NewCount;
        result.unread = account->UnreadCount;
        for (int i = 0; i < list.Count(); ++i) {
            const TNotifyMessageItem& item = list.Item(i);
            if (item.ItemKind == kNotifyMessage) {
                result.messages.push_back({item.Sender, item.Subject});
            }
        }
    } catch (...) {
        log::Caught("cli", "checking " + result.id);
        return fail("unexpected failure");
    }
    return result;
}

void PrintText(const std::vector<CheckOutcome>& results, std::ostream& out, std::ostream& err) {
    for (const CheckOutcome& r : results) {
        const std::string name = r.id + (r.email.empty() ? std::string() : " (" + r.email + ")");
        if (r.failed) {
            out << name << ": error: " << r.error << "\n";
            err << "nuvex-account: " << r.id << ": " << r.error << "\n";
            continue;
        }
        out << name << ": " << std::max(r.fresh, 0) << " new, " << r.unread << " unread\n";
        for (const CheckedMessage& m : r.messages) {
            out << "  " << OneLine(m.sender) << "\t" << OneLine(m.subject) << "\n";
        }
    }
}

void PrintJson(const std::vector<CheckOutcome>& results, std::ostream& out, std::ostream& err) {
    json::Array accounts;
    for (const CheckOutcome& r : results) {
        json::Object account{{"id", r.id}, {"email", r.email}};
        if (r.failed) {
            account.emplace_back("error", r.error);
            err << "nuvex-account: " << r.id << ": " << r.error << "\n";
        } else {
            json::Array messages;
            for (const CheckedMessage& message : r.messages) {
                messages.emplace_back(json::Object{{"sender", message.sender}, {"subject", message.subject}});
            }
            account.emplace_back("new", std::max(r.fresh, 0));
            account.emplace_back("unread", r.unread);
            account.emplace_back("messages", std::move(messages));
        }
        accounts.emplace_back(std::move(account));
    }
    out << json::Value(json::Object{{"accounts", std::move(accounts)}}).Dump() << "\n";
}

bool StoredEnabled(HostConfig& host, const StoredLine& line) {
    const std::string id = UnderscoreName(line.first);
    auto enabled = host.ReadCfgStr(AccountEnabledKey(id));
    TCryptURL record;
    record.DecodeParams(line.second);
    return !(enabled && *enabled == "0") && record.GetParam("ENABLED") != "0";
}

// check ID|--all [--json] [--commit]: 0 new mail, 1 none, 2 an error.
int Check(const std::vector<std::string>& args, HostConfig& host, const TConnectorRegistry& registry,
          const AccountContext& context, std::ostream& out, std::ostream& err) {
    std::string id;
    bool all = false;
    bool json = false;
    bool commit = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool* flag = arg == "--all" ? &all : arg == "--json" ? &json : arg == "--commit" ? &commit : nullptr;
        if (flag) {
            if (*flag) {
                throw UsageError{arg + " given twice"};
            }
            *flag = true;
        } else if (arg.starts_with("--") || !id.empty()) {
            throw UsageError{"unexpected argument " + arg};
        } else {
            id = arg;
        }
    }
    if (all == !id.empty()) {
        throw UsageError{"check takes one account id or --all"};
    }
    std::vector<StoredLine> lines = ReadList(host);
    std::vector<StoredLine> chosen;
    for (const StoredLine& line : lines) {
        if (all ? StoredEnabled(host, line) : UnderscoreName(line.first) == id) {
            chosen.push_back(line);
        }
    }
    if (!all && chosen.empty()) {
        err << "nuvex-account: no account " << id << "\n";
        return kCliCheckError;
    }
    MarkerOverlay markers(host, commit);
    AccountContext checkContext = context;
    checkContext.host = &markers;
    const std::unique_ptr<Registry> plugInRegistry = GiveThePlugInsRegistry(checkContext);
    // As the plug-in's pass: several accounts at once, results in list order.
    std::vector<CheckOutcome> results(chosen.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next.fetch_add(1); i < chosen.size(); i = next.fetch_add(1)) {
            results[i] = CheckStored(chosen[i], registry, checkContext);
        }
    };
    std::vector<std::thread> workers;
    const std::size_t count = std::min<std::size_t>(chosen.size(), kDefaultParallelChecks);
    for (std::size_t w = 1; w < count; ++w) {
        workers.emplace_back(work);
    }
    work();
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (json) {
        PrintJson(results, out, err);
    } else {
        PrintText(results, out, err);
    }
    bool anyNew = false;
    for (const CheckOutcome& r : results) {
        if (r.failed) {
            return kCliCheckError;
        }
        anyNew |= r.fresh > 0;
    }
    return anyNew ? kCliCheckNew : kCliCheckNone;
}

const StoredLine& RequireLine(const std::vector<StoredLine>& lines, const std::string& id) {
    const StoredLine* line = FindLine(lines, id);
    if (!line) {
        throw std::runtime_error("no account " + id);
    }
    return *line;
}

// test ID: the connection test of the account pages, with the stored settings.
int Test(const std::string& id, HostConfig& host, const TConnectorRegistry& registry,
         const AccountContext& context, std::ostream& out) {
    std::vector<StoredLine> lines = ReadList(host);
    const StoredLine& line = RequireLine(lines, id);
    const TConnectorClass* cls = registry.FindConnectorClass(id);
    if (!cls) {
        throw std::runtime_error("the type of " + id + " is not known here");
    }
    AccountContext testContext = context;
    testContext.host = &host;
    std::int32_t code = kErrorNone;
    std::string reason;
    const std::unique_ptr<Registry> plugInRegistry = GiveThePlugInsRegistry(testContext);
    if (TestConnection(*cls, line.second, testContext, &code, &reason, id) == kStatusOk) {
        out << "Connection test passed\n";
        return kCliOk;
    }
    out << "Connection test failed" << (reason.empty() ? std::string() : ": " + OneLine(reason)) << "\n";
    return kCliFailed;
}

// enable ID / disable ID: the account's own on/off value, as the editor keeps it.
int SetEnabled(const std::string& id, bool on, HostConfig& host) {
    std::vector<StoredLine> lines = ReadList(host);
    RequireLine(lines, id);
    if (!host.WriteCfgBool(AccountEnabledKey(id), on)) {
        throw std::runtime_error("the host did not store " + AccountEnabledKey(id));
    }
    host.ConfigChanged();
    return kCliOk;
}

// What edit may change: option, stored key, and whether only types that take
// the option in add (the server-based ones) have it.
struct EditableField {
    std::string_view option;
    std::string_view key;
    bool typeOption;
};
constexpr EditableField kEditable[] = {
    {"email", "EMAIL", false},       {"login", "USERNAME", false},      {"check-minutes", "ACHECK", false},
    {"open-action", "ACODE", false}, {"send-to", "SENDTO", false},      {"server", "HOSTNAME", true},
    {"port", "PORT", true},          {"ssl", "USESSL", true},           {"security", "SECURITY", true},
    {"folder", "FOLDERS", true}, // repeatable: the folders given replace the list
    {"webmail-url", "AURL", true},   {"mail-program", "AMAILER", true},
};

std::string OnOff(const std::string& option, const std::string& value) {
    if (value == "1" || value == "on" || value == "yes") {
        return "1";
    }
    if (value == "0" || value == "off" || value == "no") {
        return "0";
    }
    throw UsageError{"--" + option + " must be on or off"};
}

// edit ID --field value ...: the stored settings with the given fields
// replaced, written as the account editor writes them; the plug-in reloads.
int Edit(const std::vector<std::string>& args, HostConfig& host, const TConnectorRegistry& registry,
         std::istream& in, std::ostream& err) {
    if (args.size() < 2 || args[1].empty() || args[1].starts_with("--")) {
        throw UsageError{"edit takes one account id and the fields to change"};
    }
    const std::string& id = args[1];
    const TConnectorClass* cls = registry.FindConnectorClass(id);
    std::map<std::string, std::string> values;
    bool passwordStdin = false;
    std::string passwordFile;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--password") {
            throw UsageError{"--password is not accepted: use --password-stdin or --password-file"};
        }
        if (arg == "--password-stdin") {
            if (passwordStdin) {
                throw UsageError{arg + " given twice"};
            }
            passwordStdin = true;
            continue;
        }
        const std::string name = arg.starts_with("--") ? arg.substr(2) : std::string();
        auto field = std::find_if(std::begin(kEditable), std::end(kEditable),
                                  [&](const EditableField& f) { return f.option == name; });
        const bool known = name == "password-file" || field != std::end(kEditable);
        if (!known) {
            throw UsageError{arg.starts_with("--") ? "unknown option " + arg : "unexpected argument " + arg};
        }
        if (field != std::end(kEditable) && field->typeOption && !(cls && FindOption(cls, name))) {
            throw UsageError{"unknown option " + arg + " for type " +
                             (cls ? cls->TypeCode() : std::string("?"))};
        }
        const bool again = values.count(name) != 0;
        if ((again && name != "folder") || (name == "password-file" && !passwordFile.empty())) {
            throw UsageError{arg + " given twice"};
        }
        if (i + 1 >= args.size() || args[i + 1].starts_with("--")) {
            throw UsageError{arg + " needs a value"};
        }
        if (again) {
            values[name] += "\n" + args[++i];
        } else {
            (name == "password-file" ? passwordFile : values[name]) = args[++i];
        }
    }
    if (values.empty() && !passwordStdin && passwordFile.empty()) {
        throw UsageError{"edit needs at least one field to change"};
    }
    // Every value is checked before anything is written.
    std::map<std::string, std::string> keys;
    for (const auto& [name, value] : values) {
        // Named: clang does not let a lambda capture a structured binding.
        const std::string& option = name;
        const EditableField& field =
            *std::find_if(std::begin(kEditable), std::end(kEditable),
                          [&option](const EditableField& f) { return f.option == option; });
        std::string stored = value;
        if (name == "email") {
            Require(FieldTextProblem("--email", value, false));
            if (value.find('@') == std::string::npos) {
                throw UsageError{"--email must be an address with an at sign"};
            }
        } else if (name == "login" || name == "mail-program") {
            Require(FieldTextProblem("--" + name, value, true));
        } else if (name == "server") {
            Require(FieldTextProblem("--server", value, false));
        } else if (name == "webmail-url") {
            Require(FieldTextProblem("--webmail-url", value, false));
            if (!text::StartsWithNoCase(value, "http://") && !text::StartsWithNoCase(value, "https://")) {
                throw UsageError{"--webmail-url must begin with http:// or https://"};
            }
        } else if (name == "check-minutes") {
            stored = std::to_string(ParseNumber("--check-minutes", value, 1, 10080));
        } else if (name == "port") {
            stored = std::to_string(ParseNumber("--port", value, 1, 65535));
        } else if (name == "ssl" || name == "send-to") {
            stored = OnOff(name, value);
        } else if (name == "security") {
            if (!ParseImapSecurity(value)) {
                throw UsageError{"--security must be tls, starttls or none"};
            }
            stored = text::ToLowerAscii(value);
        } else if (name == "folder") {
            for (std::size_t at = 0; at <= value.size();) {
                const std::size_t end = std::min(value.find('\n', at), value.size());
                Require(FieldTextProblem("--folder", value.substr(at, end - at), true));
                at = end + 1;
            }
        } else if (name == "open-action") {
            static const std::map<std::string, std::int32_t> kActions = {
                {"none", kOpenNothing}, {"webmail", kOpenWebmail}, {"program", kOpenMailProgram}};
            auto action = kActions.find(value);
            if (action == kActions.end()) {
                throw UsageError{"--open-action must be none, webmail or program"};
            }
            stored = std::to_string(action->second);
            keys["ASSOCIATE"] = action->second != kOpenNothing ? "1" : "0";
        }
        keys[std::string(field.key)] = stored;
    }
    if (passwordStdin || !passwordFile.empty()) {
        OptionValues source;
        if (passwordStdin) {
            source["password-stdin"] = "1";
        }
        if (!passwordFile.empty()) {
            source["password-file"] = passwordFile;
        }
        keys["PASSWORD"] = ReadPassword(source, in);
    }
    TCryptURL record;
    if (!ReadStoredRecord(host, id, record, err)) {
        return kCliFailed;
    }
    for (const auto& [key, value] : keys) {
        record.SetParam(key, value);
    }
    // The editor writes the Send To choice beside the settings: kept unless given.
    bool sendTo = record.GetParam("SENDTO") == "1";
    if (!values.count("send-to")) {
        sendTo = host.ReadCfgBool(SendToKey(id)).value_or(sendTo);
        record.SetParam("SENDTO", sendTo ? "1" : "0");
    }
    const std::string settings = record.EncodeParams();
    if (settings.empty() || !UpdateStoredAccount(host, id, settings, sendTo)) {
        throw std::runtime_error("the host did not store the settings of " + id);
    }
    host.ConfigChanged();
    return kCliOk;
}

// One row per verb: what `help`, `VERB --help` and the unknown-verb line show.
// A new verb is one row here and one branch in RunAccountCli.
struct VerbUsage {
    std::string_view verb;
    std::string_view synopsis;
    std::string_view what;
};
constexpr VerbUsage kVerbs[] = {
    {"add",
     "add --type TYPE --email ADDR [--login NAME] [--check-minutes N] [--open-action none|webmail|program]\n"
     "      [--send-to] [TYPE'S OPTIONS] (--password-stdin | --password-file FILE)",
     "stores a new account and tells the running plug-in to reload"},
    {"list", "list", "prints every stored account: id, type, address, enabled or disabled"},
    {"show", "show ID", "prints the stored settings of one account, without its password"},
    {"remove", "remove ID", "removes one account"},
    {"check", "check ID|--all [--json] [--commit]",
     "checks here and now; exit 0 new mail, 1 none, 2 an error; --commit moves the new-mail marker"},
    {"test", "test ID", "the wizard's connection test with the stored settings; prints why it failed"},
    {"edit",
     "edit ID [--email ADDR] [--login NAME] [--check-minutes N] [--open-action none|webmail|program]\n"
     "      [--send-to on|off] [--server HOST] [--port N] [--ssl on|off] [--webmail-url URL]\n"
     "      [--mail-program NAME] [--password-stdin | --password-file FILE]",
     "changes the given fields of one account"},
    {"enable", "enable ID", "lets the plug-in check the account again"},
    {"disable", "disable ID", "keeps the account stored but unchecked"},
    {"help", "help [VERB]", "prints this text, or one verb's"},
};

const VerbUsage* FindVerb(std::string_view verb) {
    for (const VerbUsage& v : kVerbs) {
        if (v.verb == verb) {
            return &v;
        }
    }
    return nullptr;
}

std::string VerbNames() {
    std::string names;
    for (const VerbUsage& v : kVerbs) {
        names += (names.empty() ? "" : ", ") + std::string(v.verb);
    }
    return names;
}

// The types add takes and their own options, from the registry, so that a
// new type documents itself.
void PrintTypes(const TConnectorRegistry& registry, HostConfig* host, std::ostream& out) {
    out << "\nTypes (--type, any case) and their own options:\n";
    auto print = [&](const TConnectorClass* cls, bool onRequest) {
        if (!cls->CanCheck()) {
            return;
        }
        out << "  " << cls->TypeCode();
        for (const TTypeOption& o : cls->options) {
            out << " [--" << o.name << (o.takesValue ? " VALUE]" : "]");
        }
        if (onRequest) {
            const bool allowed = host && host->ReadCfgBool(AllowTypeKey(cls->TypeCode())).value_or(false);
            out << (allowed ? ""
                            : "  (only once the host allows it: " + AllowTypeKey(cls->TypeCode()) + "=1)");
        }
        out << "\n";
    };
    for (const TConnectorClass* cls : registry.ConnectorClasses()) {
        print(cls, false);
    }
    for (const TConnectorClass* cls : registry.OptionalConnectorClasses()) {
        print(cls, true);
    }
}

} // namespace

bool IsUsageRequest(const std::vector<std::string>& args) {
    if (args.empty() || args[0] == "help" || args[0] == "-h") {
        return true;
    }
    return std::find(args.begin(), args.end(), "--help") != args.end();
}

int PrintAccountCliUsage(const std::vector<std::string>& args, const TConnectorRegistry& registry,
                         std::ostream& out, HostConfig* host) {
    // "help VERB" and "VERB --help" both name the verb.
    const std::string verb = args.empty()                           ? std::string()
                             : args[0] == "help" && args.size() > 1 ? args[1]
                                                                    : args[0];
    if (const VerbUsage* v = FindVerb(verb); v && v->verb != "help") {
        out << "usage: nuvex-account " << v->synopsis << "\n  " << v->what << "\n";
        if (v->verb == "add") {
            PrintTypes(registry, host, out);
        }
        return kCliOk;
    }
    out << "usage: nuvex-account VERB [ARGUMENTS]   (nuvex-account VERB --help for one verb)\n\n";
    for (const VerbUsage& v : kVerbs) {
        out << "  " << v.synopsis.substr(0, v.synopsis.find('\n'))
            << (v.synopsis.find('\n') != std::string_view::npos ? " ..." : "") << "\n      " << v.what
            << "\n";
    }
    out << "\nWith the toolbar host running, changes go through it; without one the host's settings\n"
           "file is used directly (the host must have run once). The password is never taken from\n"
           "the command line.\n";
    return kCliOk;
}

int RunAccountCli(const std::vector<std::string>& args, HostConfig& host, const TConnectorRegistry& registry,
                  std::istream& in, std::ostream& out, std::ostream& err, const AccountContext& context) {
    if (IsUsageRequest(args)) {
        return PrintAccountCliUsage(args, registry, out, &host);
    }
    try {
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
        if (verb == "check") {
            try {
                return Check(args, host, registry, context, out, err);
            } catch (const UsageError&) {
                throw;
            } catch (const std::exception& e) {
                err << "nuvex-account: " << e.what() << "\n";
                return kCliCheckError;
            }
        }
        if (verb == "edit") {
            return Edit(args, host, registry, in, err);
        }
        if (verb == "test" || verb == "enable" || verb == "disable") {
            if (args.size() != 2 || args[1].empty() || args[1].starts_with("--")) {
                throw UsageError{verb + " takes one account id"};
            }
            return verb == "test" ? Test(args[1], host, registry, context, out)
                                  : SetEnabled(args[1], verb == "enable", host);
        }
        throw UsageError{"unknown command " + verb + " (" + VerbNames() + ")"};
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
