#include "TsPackets.h"

namespace norvale::ts {

std::optional<std::size_t> randomAccessOffset(const std::uint8_t* data, std::size_t size) {
    if (!data)
        return std::nullopt;
    for (std::size_t at = 0; at + PacketSize <= size; at += PacketSize) {
        const std::uint8_t* p = data + at;
        const bool adaptation = (p[3] & 0x20) != 0;
        // Sync byte, an adaptation field with at least its flags byte, the indicator set.
        if (p[0] == 0x47 && adaptation && p[4] > 0 && (p[5] & 0x40) != 0)
            return at;
    }
    return std::nullopt;
}

} // namespace norvale::ts
