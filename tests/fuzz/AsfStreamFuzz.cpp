// Feeds arbitrary ASF data packets to the key-frame scan of the live stream and frames them as
// header chunks, splits packets at key-frame starts and moves their times to a viewer's start:
// nothing may be read or written past the packet, and the framing must keep every byte.
#include "core/AsfStream.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto copy = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
    if (size > 0)
        std::memcpy(copy.get(), data, size);
    const uint8_t* bytes = size == 0 ? nullptr : copy.get();
    (void)norvale::asf::packetStartsKeyFrame(bytes, size);
    if (auto split = norvale::asf::splitAtKeyFrame(bytes, size)) {
        // Both halves keep the packet size; only the second one starts a key frame.
        const auto& a = split->before;
        const auto& b = split->from;
        if (a.size() != size || b.size() != size ||
            norvale::asf::packetStartsKeyFrame(a.data(), a.size()) != std::optional<bool>(false) ||
            norvale::asf::packetStartsKeyFrame(b.data(), b.size()) != std::optional<bool>(true))
            __builtin_trap();
    }
    // Moving a packet's times to a viewer's start keeps it a packet of the same kind, never
    // later than it was.
    if (size > 0) {
        auto rebased = std::make_unique<uint8_t[]>(size);
        std::memcpy(rebased.get(), bytes, size);
        const auto before = norvale::asf::packetSendTime(bytes, size);
        if (norvale::asf::rebasePacketTimes(rebased.get(), size, 1000)) {
            const auto after = norvale::asf::packetSendTime(rebased.get(), size);
            if (!before || !after || *after > *before ||
                norvale::asf::packetStartsKeyFrame(rebased.get(), size) !=
                    norvale::asf::packetStartsKeyFrame(bytes, size))
                __builtin_trap();
        } else if (before || std::memcmp(rebased.get(), bytes, size) != 0) {
            __builtin_trap();
        }
    }
    const auto chunks = norvale::asf::headerChunks(bytes, size);
    if (size > 0 && (chunks.size() < size + norvale::asf::ChunkPrefixSize ||
                     std::memcmp(chunks.data() + norvale::asf::ChunkPrefixSize, bytes,
                                 std::min(size, norvale::asf::MaxChunkPayload)) != 0))
        __builtin_trap();
    return 0;
}
