#pragma once
// 16-byte identifiers in the registry text form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
// Media types, device categories and class identifiers are named by them, so that the format
// texts and stored settings stay those the users and their Enc.ini files know.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvale {

struct TGuid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};

    friend constexpr bool operator==(const TGuid&, const TGuid&) = default;
    friend constexpr auto operator<=>(const TGuid&, const TGuid&) = default;

    constexpr bool isNull() const { return *this == TGuid{}; }

    // Parses "{...}" (braces optional); nothing for any other text.
    static std::optional<TGuid> fromString(std::string_view text);
    // Upper-case registry form with braces.
    std::string toString() const;

    // The 16 bytes in their in-memory (little-endian fields) layout.
    std::array<uint8_t, 16> toBytes() const;
    static TGuid fromBytes(const uint8_t* bytes16);
};

namespace guid_detail {
constexpr int hexValue(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}
constexpr uint64_t hexField(std::string_view s) {
    uint64_t v = 0;
    for (char c : s) {
        int d = hexValue(c);
        if (d < 0)
            throw "bad hexadecimal digit in GUID literal";
        v = v * 16 + static_cast<uint64_t>(d);
    }
    return v;
}
} // namespace guid_detail

// Compile-time GUID from its registry text, braces included: guid("{05589F80-...}").
consteval TGuid guid(std::string_view t) {
    if (t.size() != 38 || t[0] != '{' || t[9] != '-' || t[14] != '-' || t[19] != '-' ||
        t[24] != '-' || t[37] != '}')
        throw "malformed GUID literal";
    TGuid g;
    g.data1 = static_cast<uint32_t>(guid_detail::hexField(t.substr(1, 8)));
    g.data2 = static_cast<uint16_t>(guid_detail::hexField(t.substr(10, 4)));
    g.data3 = static_cast<uint16_t>(guid_detail::hexField(t.substr(15, 4)));
    g.data4[0] = static_cast<uint8_t>(guid_detail::hexField(t.substr(20, 2)));
    g.data4[1] = static_cast<uint8_t>(guid_detail::hexField(t.substr(22, 2)));
    for (int i = 0; i < 6; ++i)
        g.data4[2 + i] = static_cast<uint8_t>(guid_detail::hexField(t.substr(25 + 2 * i, 2)));
    return g;
}

// The four-character-code family xxxxxxxx-0000-0010-8000-00AA00389B71, first character in the
// lowest byte of the first field (also used with small wave-format tags as first field).
constexpr TGuid fourCcGuid(uint32_t code) {
    TGuid g{code, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    return g;
}
constexpr uint32_t fourCc(const char (&s)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

} // namespace norvale
