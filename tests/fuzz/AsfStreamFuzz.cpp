// Feeds arbitrary ASF data packets to the key-frame scan of the live stream and frames them as
// header chunks: nothing may be read past the packet, and the framing must keep every byte.
#include "core/AsfStream.h"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto copy = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
    if (size > 0)
        std::memcpy(copy.get(), data, size);
    const uint8_t* bytes = size == 0 ? nullptr : copy.get();
    (void)norvale::asf::packetStartsKeyFrame(bytes, size);
    const auto chunks = norvale::asf::headerChunks(bytes, size);
    if (size > 0 && (chunks.size() < size + norvale::asf::ChunkPrefixSize ||
                     std::memcmp(chunks.data() + norvale::asf::ChunkPrefixSize, bytes,
                                 std::min(size, norvale::asf::MaxChunkPayload)) != 0))
        __builtin_trap();
    return 0;
}
