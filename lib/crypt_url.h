#pragma once
// TCryptURL: an ordered keyed record and its scrambled, URL-safe one-line text
// form, protected by a checksum. It hides settings from casual reading; it is a
// fixed-key transform, not encryption.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nuvex {

class TCryptURL {
public:
    using Entry = std::pair<std::string, std::string>; // name in capitals, value

    void ClearParams();
    int IndexOfParam(std::string_view name) const;
    std::string GetParam(std::string_view name) const;
    void SetParam(std::string_view name, std::string_view value);
    // Sets "RANDOMIZER" to the tick count first, so two encodings differ.
    std::string EncodeParams();
    // True when accepted; the entries are then added with SetParam. A rejected
    // text adds nothing and leaves the record as it was.
    bool DecodeParams(std::string_view text);
    static int ParamChecksum(std::string_view text);

    bool Valid() const { return valid_; }
    const std::vector<Entry>& Entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
    bool valid_ = false;
};

// The 256-byte key stream shared by every party that reads the text form
// (account settings, web-service requests, the test web service).
extern const unsigned char kCryptKeyTable[256];

} // namespace nuvex
