// Feeds arbitrary datagrams to the node-status parser: it must never read past the bytes it is
// given, whatever the name count or the position of the type-and-class bytes.
#include "core/NetBios.h"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A private copy of exactly `size` bytes, so AddressSanitizer catches any read beyond it.
    auto copy = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
    if (size > 0)
        std::memcpy(copy.get(), data, size);
    const uint8_t* bytes = size == 0 ? nullptr : copy.get();
    if (auto status = norvale::netbios::ParseNodeStatus(bytes, size)) {
        // Each value is built from at most 15 name bytes; the MAC text is always 17 characters.
        if (status->computerName.size() > 15 || status->userName.size() > 15 ||
            status->groupName.size() > 15 || status->macAddress.size() != 17)
            __builtin_trap();
    }
    return 0;
}
