#include "accounts/connector_registry.h"

#include "accounts/account_list.h"
#include "accounts/generic_connector.h"
#include "accounts/gmail_connector.h"
#include "accounts/hotmail_connector.h"
#include "accounts/ibrant_connector.h"
#include "accounts/imap_connector.h"
#include "accounts/pop3_connector.h"
#include "accounts/vostrel_connector.h"
#include "accounts/webvault_connector.h"
#include "accounts/yahoo_connector.h"
#include "lib/text.h"

#include <algorithm>

namespace nuvex {

namespace {

struct TypeTableRow {
    const TConnectorClass& (*cls)();
    bool optional; // offered only when the host allows it
};

// Every connector type of the program, in the wizard's tie order. A new type
// is its file pair and one line here.
constexpr TypeTableRow kTypeTable[] = {
    {WebvaultConnectorClass, false}, {VostrelConnectorClass, false}, {Pop3ConnectorClass, false},
    {ImapConnectorClass, false},     {GMailConnectorClass, false},   {IbrantConnectorClass, true},
    {HotMailConnectorClass, false},  {YahooConnectorClass, false},
};

} // namespace

void RegisterAllConnectorClasses(TConnectorRegistry& registry) {
    for (const TypeTableRow& row : kTypeTable) {
        registry.RegisterConnectorClass(row.cls(), row.optional);
    }
}

TConnectorRegistry& ConnectorRegistry() {
    static TConnectorRegistry* registry = [] {
        auto* r = new TConnectorRegistry; // lives to the end of the process, like the class objects
        RegisterAllConnectorClasses(*r);
        return r;
    }();
    return *registry;
}

bool TConnectorRegistry::Contains(const TConnectorClass& cls) const {
    return std::find(classes_.begin(), classes_.end(), &cls) != classes_.end() ||
           std::find(optional_.begin(), optional_.end(), &cls) != optional_.end();
}

void TConnectorRegistry::RegisterConnectorClass(const TConnectorClass& cls, bool optional) {
    std::lock_guard lock(mutex_);
    if (Contains(cls)) {
        return;
    }
    (optional ? optional_ : classes_).push_back(&cls);
}

void TConnectorRegistry::AllowConnectorClass(const TConnectorClass& cls) {
    std::lock_guard lock(mutex_);
    if (std::find(classes_.begin(), classes_.end(), &cls) == classes_.end()) {
        classes_.push_back(&cls);
    }
}

const TConnectorClass* TConnectorRegistry::FindConnectorClass(std::string_view name) const {
    std::size_t sep = name.find('_');
    if (sep == std::string_view::npos) {
        return nullptr;
    }
    std::string_view code = name.substr(0, sep);
    std::lock_guard lock(mutex_);
    for (const auto* list : {&classes_, &optional_}) {
        for (const TConnectorClass* cls : *list) {
            if (text::EqualsNoCase(cls->typeCode, code)) {
                return cls;
            }
        }
    }
    return nullptr;
}

std::vector<TOfferedType> TConnectorRegistry::OfferedTypes(TAccountList& accounts) const {
    std::vector<const TConnectorClass*> classes = ConnectorClasses();
    std::vector<TOfferedType> offered;
    for (int position = 0; position <= 99; ++position) {
        for (const TConnectorClass* cls : classes) {
            if (cls->ListOrder() != position || !cls->CanCheck()) {
                continue; // a type that cannot check yet is not offered
            }
            int limit = cls->MaxAccounts();
            if (limit > 0 && accounts.CountOfType(cls->TypeCode()) >= limit) {
                continue;
            }
            offered.push_back({cls, cls->TypeCaption(), cls->ExampleAddress()});
        }
    }
    return offered;
}

std::vector<const TConnectorClass*> TConnectorRegistry::ConnectorClasses() const {
    std::lock_guard lock(mutex_);
    return classes_;
}

std::vector<const TConnectorClass*> TConnectorRegistry::OptionalConnectorClasses() const {
    std::lock_guard lock(mutex_);
    return optional_;
}

} // namespace nuvex
