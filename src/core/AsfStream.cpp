#include "AsfStream.h"

#include <algorithm>

namespace norvale::asf {

namespace {

// Reads little-endian fields whose width comes from a two-bit length type (0, 1, 2 or 4 bytes),
// refusing to pass the end of the packet.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool skip(std::size_t n) {
        if (n > size_ - pos_)
            return false;
        pos_ += n;
        return true;
    }
    bool byte(std::uint32_t& out) { return field(1, out); }
    bool typed(unsigned lengthType, std::uint32_t& out) {
        static constexpr std::size_t widths[4] = {0, 1, 2, 4};
        return field(widths[lengthType & 3], out);
    }
    std::size_t position() const { return pos_; }
    std::size_t left() const { return size_ - pos_; }

private:
    bool field(std::size_t width, std::uint32_t& out) {
        if (width > size_ - pos_)
            return false;
        out = 0;
        for (std::size_t i = width; i-- > 0;)
            out = out << 8 | data_[pos_ + i];
        pos_ += width;
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<bool> packetStartsKeyFrame(const std::uint8_t* data, std::size_t size) {
    if (!data || size == 0)
        return std::nullopt;
    Reader r(data, size);
    std::uint32_t flags = 0;
    if (!r.byte(flags))
        return std::nullopt;
    if (flags & 0x80) { // error correction data first: its length is in the low four bits
        if (flags & 0x60)
            return std::nullopt; // other layouts are reserved
        if (!r.skip(flags & 0x0F) || !r.byte(flags))
            return std::nullopt;
        if (flags & 0x80)
            return std::nullopt;
    }
    const bool multiple = flags & 0x01;
    std::uint32_t properties = 0, packetLength = 0, ignored = 0, padding = 0;
    if (!r.byte(properties) || !r.typed(flags >> 5, packetLength) ||
        !r.typed(flags >> 1, ignored) || !r.typed(flags >> 3, padding) ||
        !r.skip(4 + 2)) // send time, duration
        return std::nullopt;
    const unsigned replicatedType = properties & 3;
    const unsigned offsetType = (properties >> 2) & 3;
    const unsigned objectType = (properties >> 4) & 3;
    const unsigned streamType = (properties >> 6) & 3;
    if (streamType != 1)
        return std::nullopt; // the stream number is always one byte

    // Multiple payloads carry their own lengths; only the bytes we have bound them (muxers
    // disagree on whether the packet length counts the padding). A single payload runs to the
    // packet's end: its length field when present, less the padding.
    std::size_t end = size;
    if (!multiple) {
        if ((flags >> 5) & 3)
            end = std::min<std::size_t>(end, packetLength);
        if (padding > end)
            return std::nullopt;
        end -= padding;
    }

    std::uint32_t payloads = 1;
    unsigned payloadLengthType = 0;
    if (multiple) {
        std::uint32_t payloadFlags = 0;
        if (!r.byte(payloadFlags))
            return std::nullopt;
        payloads = payloadFlags & 0x3F;
        payloadLengthType = payloadFlags >> 6;
        if (payloadLengthType == 0)
            return std::nullopt;
    }
    bool starts = false;
    for (std::uint32_t i = 0; i < payloads; ++i) {
        std::uint32_t stream = 0, object = 0, offset = 0, replicated = 0, length = 0;
        if (!r.byte(stream) || !r.typed(objectType, object) || !r.typed(offsetType, offset) ||
            !r.typed(replicatedType, replicated) || !r.skip(replicated))
            return std::nullopt;
        if (multiple) {
            if (!r.typed(payloadLengthType, length))
                return std::nullopt;
        } else {
            if (r.position() > end)
                return std::nullopt;
            length = static_cast<std::uint32_t>(end - r.position());
        }
        if (r.position() > end || length > end - r.position() || !r.skip(length))
            return std::nullopt;
        // With one byte of replicated data the payload is compressed: whole objects only, and
        // the offset field holds the presentation time.
        const bool objectStart = replicated == 1 || offset == 0;
        if ((stream & 0x80) && objectStart)
            starts = true;
    }
    return starts;
}

std::array<std::uint8_t, ChunkPrefixSize> dataChunkPrefix(std::uint32_t packetNumber,
                                                          std::size_t payloadSize) {
    const auto length = static_cast<std::uint16_t>(std::min(payloadSize, MaxChunkPayload) + 8);
    return {'$',
            'D',
            static_cast<std::uint8_t>(length),
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(packetNumber),
            static_cast<std::uint8_t>(packetNumber >> 8),
            static_cast<std::uint8_t>(packetNumber >> 16),
            static_cast<std::uint8_t>(packetNumber >> 24),
            0, // incarnation
            0, // flags
            static_cast<std::uint8_t>(length),
            static_cast<std::uint8_t>(length >> 8)};
}

std::vector<std::uint8_t> headerChunks(const std::uint8_t* header, std::size_t size) {
    std::vector<std::uint8_t> out;
    if (!header || size == 0)
        return out;
    const std::size_t pieces = (size + MaxChunkPayload - 1) / MaxChunkPayload;
    out.reserve(size + pieces * ChunkPrefixSize);
    for (std::size_t i = 0; i < pieces; ++i) {
        const std::size_t from = i * MaxChunkPayload;
        const std::size_t n = std::min(MaxChunkPayload, size - from);
        const auto length = static_cast<std::uint16_t>(n + 8);
        // Fragment flags: 0x04 on the first piece, 0x08 on the last, 0x0C for a whole header.
        std::uint8_t fragment = 0;
        if (i == 0)
            fragment |= 0x04;
        if (i + 1 == pieces)
            fragment |= 0x08;
        const std::uint8_t prefix[ChunkPrefixSize] = {'$',
                                                      'H',
                                                      static_cast<std::uint8_t>(length),
                                                      static_cast<std::uint8_t>(length >> 8),
                                                      static_cast<std::uint8_t>(i),
                                                      static_cast<std::uint8_t>(i >> 8),
                                                      static_cast<std::uint8_t>(i >> 16),
                                                      static_cast<std::uint8_t>(i >> 24),
                                                      0,
                                                      fragment,
                                                      static_cast<std::uint8_t>(length),
                                                      static_cast<std::uint8_t>(length >> 8)};
        out.insert(out.end(), prefix, prefix + ChunkPrefixSize);
        out.insert(out.end(), header + from, header + from + n);
    }
    return out;
}

} // namespace norvale::asf
