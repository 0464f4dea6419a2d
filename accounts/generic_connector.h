#pragma once
// The account object every connector derives from, and the per-class facts
// (type code, captions, list order, limits) that are asked without an instance.
#include "accounts/account_context.h"
#include "accounts/notify.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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

// The class-level operations of a connector type (slots 19 and 21 to 27): one
// static instance per connector class, asked without an account.
class TConnectorClass {
public:
    virtual ~TConnectorClass() = default;
    // Slot 19: a new account of this class with the construction defaults,
    // AfterCreate already called. Never null.
    std::unique_ptr<TNuvex_GenericConnector> Create(const AccountContext& context) const;
    virtual std::string ProviderName() const { return ""; }                        // slot 21
    virtual std::string TypeCode() const { return ""; }                            // slot 22
    virtual std::string TypeCaption() const { return ProviderName(); }             // slot 23
    virtual std::string ExampleAddress() const { return "yourname@mail.example"; } // slot 24
    virtual int MaxAccounts() const { return 0; }                                  // slot 25
    virtual int ListOrder() const { return 99; }                                   // slot 26
    virtual std::string WizardPanelClass() const { return "TNuvex_WizardPanel"; }  // slot 27

protected:
    virtual std::unique_ptr<TNuvex_GenericConnector> NewInstance(const AccountContext& context) const = 0;
};

class TNuvex_GenericConnector {
public:
    TNuvex_GenericConnector(const TConnectorClass& cls, const AccountContext& context);
    virtual ~TNuvex_GenericConnector() = default;
    TNuvex_GenericConnector(const TNuvex_GenericConnector&) = delete;
    TNuvex_GenericConnector& operator=(const TNuvex_GenericConnector&) = delete;

    // Instance operations in slot order (19 and 21-27 live on TConnectorClass).
    virtual bool CanCompose() { return false; }                                                        // 0
    virtual bool CanSendFiles() { return false; }                                                      // 1
    virtual bool CanMailTo() { return false; }                                                         // 2
    virtual bool HasOpenAction() { return ActionCode != 0; }                                           // 3
    virtual bool ReservedFlagA() { return false; }                                                     // 4
    virtual bool ReservedFlagB() { return false; }                                                     // 5
    virtual int Connect() { return kStatusNotImplemented; }                                            // 6
    virtual int Disconnect() { return kStatusNotImplemented; }                                         // 7
    virtual int CheckMail();                                                                           // 8
    virtual int BeginCheck();                                                                          // 9
    virtual int Compose() { return kStatusNotImplemented; }                                            // 10
    virtual int SendFiles(const std::vector<std::string>& /*lines*/) { return kStatusNotImplemented; } // 11
    virtual int ComposeTo(const std::string& /*to*/, const std::string& /*subject*/,
                          const std::string& /*mailto*/, const std::string& /*body*/) {
        return kStatusNotImplemented;
    }                                                                                     // 12
    virtual int OpenMessage(const std::string& /*ref*/) { return kStatusNotImplemented; } // 13
    virtual int OpenMailbox() { return kStatusNotImplemented; }                           // 14
    virtual int LoadSettings(const std::string& text);                                    // 15
    virtual void LoadTypeSettings(const TCryptURL& /*record*/) {}                         // 16
    virtual void TakeLastError(std::int32_t& code, std::string& text);                    // 17
    virtual void AddNotifyItems(TNotifyMessages& list, bool force);                       // 18
    virtual int AfterCreate() { return kStatusNotImplemented; }                           // 20

    const TConnectorClass& Class() const { return class_; }
    std::string TypeCode() const { return class_.TypeCode(); }

    void SetAccountId(const std::string& name);
    void SetCheckMinutes(std::int32_t minutes);
    double EffectiveInterval();
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
