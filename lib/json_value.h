#pragma once
// A small JSON value with a bounded reader and a writer, enough for the
// DevTools messages the browser-driven checks exchange with Chromium. The
// reader takes a size and a nesting bound, so a hostile or broken peer can
// neither exhaust the stack nor grow a value without limit.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace nuvex::json {

class Value;
using Array = std::vector<Value>;
// Members in the order read or added; lookups are linear (messages are small).
using Object = std::vector<std::pair<std::string, Value>>;

class Value {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : data_(b) {}
    Value(int n) : data_(static_cast<double>(n)) {}
    Value(std::int64_t n) : data_(static_cast<double>(n)) {}
    Value(double n) : data_(n) {}
    Value(const char* s) : data_(std::string(s)) {}
    Value(std::string s) : data_(std::move(s)) {}
    Value(std::string_view s) : data_(std::string(s)) {}
    Value(Array a) : data_(std::make_shared<Array>(std::move(a))) {}
    Value(Object o) : data_(std::make_shared<Object>(std::move(o))) {}

    Type type() const;
    bool IsNull() const { return type() == Type::Null; }
    bool IsString() const { return type() == Type::String; }
    bool IsNumber() const { return type() == Type::Number; }
    bool IsObject() const { return type() == Type::Object; }
    bool IsArray() const { return type() == Type::Array; }

    // Typed reads answer fallback when the value has another type.
    std::string AsString(std::string_view fallback = {}) const;
    double AsNumber(double fallback = 0) const;
    std::int64_t AsInt(std::int64_t fallback = 0) const;
    bool AsBool(bool fallback = false) const;

    // The member of that name, or a null value when there is none or this is no object.
    const Value& operator[](std::string_view key) const;
    bool Has(std::string_view key) const;
    // Array elements; empty when this is no array.
    const Array& Items() const;
    // Object members; empty when this is no object.
    const Object& Members() const;

    // Compact text; bytes of strings that are not valid UTF-8 are written as
    // the Latin-1 characters of the same value, so the text is always valid JSON.
    std::string Dump() const;

private:
    void DumpTo(std::string& out) const;
    std::variant<std::monostate, bool, double, std::string, std::shared_ptr<Array>, std::shared_ptr<Object>>
        data_;
};

struct ParseLimits {
    std::size_t maxBytes = std::size_t{16} * 1024 * 1024;
    int maxDepth = 64;
};

// The value of the whole text (blanks around it allowed); nullopt with a
// reason and the byte offset in error when the text is not one JSON value
// within the limits.
std::optional<Value> Parse(std::string_view text, std::string* error = nullptr,
                           const ParseLimits& limits = {});

} // namespace nuvex::json
