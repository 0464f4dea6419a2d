#pragma once
// The account object every connector derives from, and the per-class facts
// (type code, captions, list order, limits) that are asked without an instance.
#include "accounts/account_context.h"
#include "accounts/notify.h"
#include "lib/account_keys.h"
#include "lib/net_problem.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

class TCryptURL;
class TNuvex_GenericConnector;

// Results of operations that cross the subsystem boundary.
constexpr int kStatusOk = 0;
constexpr int kStatusFailed = -1;
constexpr int kStatusNotImplemented = -2;

// Error classes of a check.
constexpr std::int32_t kErrorNone = 0;
constexpr std::int32_t kErrorUnreachable = 1;
constexpr std::int32_t kErrorLogin = 2;
constexpr std::int32_t kErrorOther = 3;

// The two-line text of an error class, translated, lines joined by CR LF; empty for 0.
std::string ErrorClassText(std::int32_t code);
// The two-line text, as ErrorClassText's, of a server that gave no answer
// for this reason, naming server (or "the server" when empty); empty for None.
std::string NetProblemText(NetProblem problem, const std::string& server);

// Open actions of an account ("ACODE").
constexpr std::int32_t kOpenNothing = 0;
constexpr std::int32_t kOpenWebmail = 1;
constexpr std::int32_t kOpenMailProgram = 2;

// Capability flags of a connector type; the account's Can... and HasOpenAction
// answer from them.
enum TConnectorCap : unsigned {
    kCapCompose = 1u << 0,
    kCapSendFiles = 1u << 1,
    kCapMailTo = 1u << 2,
    kCapAlwaysOpens = 1u << 3, // HasOpenAction whatever the open action
    kCapReservedA = 1u << 4,   // kept in the model; nothing consults it
    kCapChecks = 1u << 6,      // CheckMail works: the type is offered to users
};

struct TAccountFields;

// A type's command-line options ("--" + name) and its settings keys.
struct TTypeOption {
    std::string_view name;
    bool takesValue = true;
    bool repeatable = false; // given again, the values are joined by LF
};
// Values of the options given, by name; flags map to "1". "password" is always there.
using TTypeOptionValues = std::map<std::string, std::string, std::less<>>;
// Checks the options and appends the type's keys to fields; false with a
// one-line reason in error when a value is bad.
using TAddTypeKeys = bool (*)(TAccountFields& fields, const TTypeOptionValues& options, std::string& error);

// The class-level facts of a connector type, asked without an account: one const row per type, defined in the
// type's own file.
struct TConnectorClass {
    using NewInstanceFn = std::unique_ptr<TNuvex_GenericConnector> (*)(const TConnectorClass&,
                                                                       const AccountContext&);

    std::string_view typeCode = {};                           // the id prefix of its accounts ("POP3")
    std::string_view providerName = {};                       // shown in the wizard's list of types
    std::string_view typeCaption = {};                        // empty: the provider name
    std::string_view exampleAddress = {};                     // the wizard's "e.g." address
    int listOrder = 99;                                       // place in the wizard's list
    int maxAccounts = 0;                                      // accounts of this type at most; 0: unlimited
    std::string_view wizardPanelClass = "TNuvex_WizardPanel"; // the wizard page that edits it
    unsigned caps = 0;                                        // TConnectorCap
    NewInstanceFn newInstance = nullptr;
    std::span<const TTypeOption> options = {}; // beyond the base options of every type
    TAddTypeKeys addTypeKeys = nullptr;

    // A new account of this class with the construction defaults,
    // AfterCreate already called. Never null.
    std::unique_ptr<TNuvex_GenericConnector> Create(const AccountContext& context) const;
    std::string ProviderName() const { return std::string(providerName); }
    std::string TypeCode() const { return std::string(typeCode); }
    std::string TypeCaption() const { return std::string(typeCaption.empty() ? providerName : typeCaption); }
    std::string ExampleAddress() const {
        return std::string(exampleAddress.empty() ? std::string_view("yourname@mail.example")
                                                  : exampleAddress);
    }
    int MaxAccounts() const { return maxAccounts; }
    int ListOrder() const { return listOrder; }
    std::string WizardPanelClass() const { return std::string(wizardPanelClass); }
    bool Has(unsigned cap) const { return (caps & cap) != 0; }
    bool CanCheck() const { return Has(kCapChecks); }
};

// The newInstance of a row whose accounts are objects of T.
template <class T>
std::unique_ptr<TNuvex_GenericConnector> NewConnector(const TConnectorClass& cls,
                                                      const AccountContext& context) {
    return std::make_unique<T>(cls, context);
}

class TNuvex_GenericConnector {
public:
    TNuvex_GenericConnector(const TConnectorClass& cls, const AccountContext& context);
    virtual ~TNuvex_GenericConnector() = default;
    TNuvex_GenericConnector(const TNuvex_GenericConnector&) = delete;
    TNuvex_GenericConnector& operator=(const TNuvex_GenericConnector&) = delete;

    // What an account of this type can do; the answers come from its class's capability flags.
    virtual bool CanCompose() { return class_.Has(kCapCompose); }
    virtual bool CanSendFiles() { return class_.Has(kCapSendFiles); }
    virtual bool CanMailTo() { return class_.Has(kCapMailTo); }
    // A click on the account opens something: its webmail or mail program.
    virtual bool HasOpenAction() { return class_.Has(kCapAlwaysOpens) || ActionCode != kOpenNothing; }
    virtual bool ReservedFlagA() { return class_.Has(kCapReservedA); }
    // Opens the session with the mail server or site (signs in); Disconnect ends it.
    virtual int Connect() { return kStatusNotImplemented; }
    virtual int Disconnect() { return kStatusNotImplemented; }
    // Counts the new mail now, waiting for the answer; BeginCheck starts a
    // check that reports when it ends.
    virtual int CheckMail();
    virtual int BeginCheck();
    // Opens an empty new message in the account's webmail or mail program.
    virtual int Compose() { return kStatusNotImplemented; }
    // Sends files handed over from another program, as the hand-off's lines.
    virtual int SendFiles(const std::vector<std::string>& /*lines*/) { return kStatusNotImplemented; }
    // Opens a new message to the address of a mailto link.
    virtual int ComposeTo(const std::string& /*to*/, const std::string& /*subject*/,
                          const std::string& /*mailto*/, const std::string& /*body*/) {
        return kStatusNotImplemented;
    }
    // Opens one message the notification window listed (ref: its reference there).
    virtual int OpenMessage(const std::string& /*ref*/) { return kStatusNotImplemented; }
    virtual int OpenMailbox() { return kStatusNotImplemented; }
    // Takes the stored settings text; LoadTypeSettings reads the type's own keys of it.
    virtual int LoadSettings(const std::string& text);
    virtual void LoadTypeSettings(const TCryptURL& /*record*/) {}
    // Hands out the last error and clears it.
    virtual void TakeLastError(std::int32_t& code, std::string& text);
    // Adds the account's new messages to the notification window's list
    // (force: those already shown too).
    virtual void AddNotifyItems(TNotifyMessages& list, bool force);
    // Sets the defaults of a new account, once, after it is made.
    virtual int AfterCreate() { return kStatusNotImplemented; }

    const TConnectorClass& Class() const { return class_; }
    std::string TypeCode() const { return class_.TypeCode(); }

    void SetAccountId(const std::string& name);
    void SetCheckMinutes(std::int32_t minutes);
    // A period of 0 or less (a hand edit, another tool) is repaired to 15 minutes.
    double EffectiveInterval();
    // The host key of the unique ids a POP3 check has seen; it lives and goes
    // with the account's marker.
    static std::string SeenIdsKey(const std::string& id) { return std::string(keys::kSeenIdsPrefix) + id; }
    // The "LASTID_" marker from the host, also kept in LastIdCache; nullopt
    // when the host could not be read (an unset marker reads as ""). A check
    // must not take a failed read for "no marker".
    [[nodiscard]] std::optional<std::string> GetLastId();
    // Stores the marker in the host and, once stored, in LastIdCache; false
    // when the host could not take it.
    [[nodiscard]] bool SetLastId(const std::string& text);

    // Guards the fields below between the check worker and the GUI thread.
    // A check holds it except while it waits on the network; recursive because
    // the operations above take it too.
    std::recursive_mutex& Guard() const { return guard_; }

    // Fields in the stored model's order.
    bool Associate = true;
    std::int32_t ActionCode = 0;
    bool SendTo = false;
    bool Enabled = true;
    std::string SettingsText;
    std::string LastIdCache;
    double LastErrorShown = 0;
    bool ManualCheck = false;
    std::int32_t UnreadCount = 0;
    std::int32_t NewCount = 0;
    std::int32_t CheckMinutes = 15;
    std::string UserName;
    std::string Password;
    bool Connected = false;
    std::string AccountId;
    double CheckInterval = 15 * (1.0 / 1440.0);
    double LastCheck = 0;
    bool NotifySound = true;
    bool NotifyTray = true;
    bool NotifyWindow = true;
    bool DefaultNotify = true;
    std::string Email;
    std::int32_t ErrorCode = kErrorNone;
    // Why the server gave no answer, when known: the text then says so
    // instead of the class's general one. Cleared with the error.
    NetProblem ErrorProblem = NetProblem::None;
    std::string ErrorServer;

    const AccountContext& Context() const { return context_; }

private:
    const TConnectorClass& class_;
    const AccountContext& context_;
    mutable std::recursive_mutex guard_;
};

// Number parsing as the stored settings expect it: the whole text must be a
// decimal integer (an optional sign, no blanks), else the default.
std::int32_t StrToIntDef(const std::string& text, std::int32_t def);

} // namespace nuvex
