#pragma once
// Which connector classes exist, in which order the wizard offers them, and
// which are offered only when the host allows them.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

struct TConnectorClass;
class TAccountList;

struct TOfferedType {
    const TConnectorClass* cls = nullptr;
    std::string caption; // TypeCaption
    std::string example; // ExampleAddress
    // The wizard's list line: the caption and, beside it, "e.g." and the sample in brackets.
    std::string Text() const { return caption + " (e.g. " + example + ")"; }
};

class TConnectorRegistry {
public:
    // A class already present in either list is not added again.
    void RegisterConnectorClass(const TConnectorClass& cls, bool optional);
    // Moves nothing: adds an optional class to the offered list unless it is there.
    void AllowConnectorClass(const TConnectorClass& cls);
    // The class whose type code equals, without regard to case, the text of
    // name before its first "_"; offered classes first, then optional ones.
    const TConnectorClass* FindConnectorClass(std::string_view name) const;
    // The offered classes by list position 0..99, ties in registration order,
    // without those that cannot check yet and those whose account limit the
    // list already reaches. The caller
    // need not hold the account lock: the count takes it shared.
    std::vector<TOfferedType> OfferedTypes(TAccountList& accounts) const;

    std::vector<const TConnectorClass*> ConnectorClasses() const;
    std::vector<const TConnectorClass*> OptionalConnectorClasses() const;

private:
    bool Contains(const TConnectorClass& cls) const;
    mutable std::mutex mutex_;
    std::vector<const TConnectorClass*> classes_;
    std::vector<const TConnectorClass*> optional_;
};

// Registers every connector type of the program, in the wizard's tie order.
void RegisterAllConnectorClasses(TConnectorRegistry& registry);

// The process's registry, with all classes registered on first use.
TConnectorRegistry& ConnectorRegistry();

} // namespace nuvex
