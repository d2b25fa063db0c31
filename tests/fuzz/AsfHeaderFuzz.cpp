// Feeds arbitrary bytes to the header repair of finished recordings (and of the viewers' header):
// it must stay inside the bytes it is given, and a repaired header needs no second repair.
#include "core/AsfStream.h"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto copy = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
    if (size > 0)
        std::memcpy(copy.get(), data, size);
    uint8_t* bytes = size == 0 ? nullptr : copy.get();
    const norvale::asf::HeaderFacts facts{1024000, 666667};
    const int changed = norvale::asf::repairHeader(bytes, size, facts);
    if (changed < 0 || norvale::asf::repairHeader(bytes, size, facts) != 0)
        __builtin_trap();
    return 0;
}
