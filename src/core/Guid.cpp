#include "Guid.h"

#include <cstdio>

namespace norvale {

std::optional<TGuid> TGuid::fromString(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
        text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-')
        return std::nullopt;
    auto field = [&](size_t pos, size_t len) -> std::optional<uint64_t> {
        uint64_t v = 0;
        for (size_t i = pos; i < pos + len; ++i) {
            int d = guid_detail::hexValue(text[i]);
            if (d < 0)
                return std::nullopt;
            v = v * 16 + static_cast<uint64_t>(d);
        }
        return v;
    };
    TGuid g;
    auto d1 = field(0, 8), d2 = field(9, 4), d3 = field(14, 4);
    if (!d1 || !d2 || !d3)
        return std::nullopt;
    g.data1 = static_cast<uint32_t>(*d1);
    g.data2 = static_cast<uint16_t>(*d2);
    g.data3 = static_cast<uint16_t>(*d3);
    static constexpr size_t bytePos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        auto b = field(bytePos[i], 2);
        if (!b)
            return std::nullopt;
        g.data4[i] = static_cast<uint8_t>(*b);
    }
    return g;
}

std::string TGuid::toString() const {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1,
                  data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5],
                  data4[6], data4[7]);
    return buf;
}

std::array<uint8_t, 16> TGuid::toBytes() const {
    std::array<uint8_t, 16> b{};
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<uint8_t>(data1 >> (8 * i));
    b[4] = static_cast<uint8_t>(data2);
    b[5] = static_cast<uint8_t>(data2 >> 8);
    b[6] = static_cast<uint8_t>(data3);
    b[7] = static_cast<uint8_t>(data3 >> 8);
    for (int i = 0; i < 8; ++i)
        b[8 + i] = data4[i];
    return b;
}

TGuid TGuid::fromBytes(const uint8_t* b) {
    TGuid g;
    g.data1 = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
              static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    g.data2 = static_cast<uint16_t>(b[4] | b[5] << 8);
    g.data3 = static_cast<uint16_t>(b[6] | b[7] << 8);
    for (int i = 0; i < 8; ++i)
        g.data4[i] = b[8 + i];
    return g;
}

} // namespace norvale
