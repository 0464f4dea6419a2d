#pragma once
// Reads a DIME message back record by record, checking every rule a writer
// must keep (flags, reserved bits, padding with zero bytes), so that tests
// compare what a receiving service would see.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex::test {

struct DimeRecordSeen {
    std::uint8_t flags = 0;
    std::uint8_t typeFormat = 0; // TYPE_T
    std::string id;
    std::string type;
    std::string data;
};

// Empty and error set when the message breaks a rule.
inline std::vector<DimeRecordSeen> ReadDime(std::string_view bytes, std::string& error) {
    std::vector<DimeRecordSeen> out;
    auto be = [&](std::size_t at, int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
        }
        return v;
    };
    auto padded = [](std::size_t n) { return (n + 3) & ~std::size_t{3}; };
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 12) {
            error = "short header at " + std::to_string(at);
            return {};
        }
        DimeRecordSeen r;
        r.flags = static_cast<std::uint8_t>(bytes[at]);
        r.typeFormat = static_cast<std::uint8_t>(bytes[at + 1]) >> 4;
        if ((static_cast<std::uint8_t>(bytes[at + 1]) & 0x0F) != 0 || be(at + 2, 2) != 0) {
            error = "reserved bits or options set at " + std::to_string(at);
            return {};
        }
        const std::size_t idLen = be(at + 4, 2), typeLen = be(at + 6, 2), dataLen = be(at + 8, 4);
        std::size_t p = at + 12;
        const std::size_t need = padded(idLen) + padded(typeLen) + padded(dataLen);
        if (bytes.size() - p < need) {
            error = "record at " + std::to_string(at) + " runs past the end";
            return {};
        }
        for (auto [len, field] :
             {std::pair{idLen, &r.id}, std::pair{typeLen, &r.type}, std::pair{dataLen, &r.data}}) {
            *field = std::string(bytes.substr(p, len));
            for (std::size_t i = p + len; i < p + padded(len); ++i) {
                if (bytes[i] != '\0') {
                    error = "padding not zero at " + std::to_string(i);
                    return {};
                }
            }
            p += padded(len);
        }
        out.push_back(std::move(r));
        at = p;
    }
    return out;
}

} // namespace nuvex::test
