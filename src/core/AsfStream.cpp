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

namespace {

// The layout of one data packet, as far as the live stream needs it.
struct Packet {
    std::size_t flagsAt = 0; // position of the length type flags (after error correction data)
    std::uint32_t flags = 0, properties = 0, sequence = 0, sendTime = 0, duration = 0;
    bool multiple = false;
    unsigned payloadLengthType = 0;
    struct Payload {
        std::size_t begin = 0, end = 0; // bytes of the whole payload, its header included
        bool keyFrameStart = false;
    };
    std::vector<Payload> payloads;
};

std::optional<Packet> parsePacket(const std::uint8_t* data, std::size_t size) {
    if (!data || size == 0)
        return std::nullopt;
    Packet p;
    Reader r(data, size);
    std::uint32_t flags = 0;
    if (!r.byte(flags))
        return std::nullopt;
    if (flags & 0x80) { // error correction data first: its length is in the low four bits
        if (flags & 0x60)
            return std::nullopt; // other layouts are reserved
        if (!r.skip(flags & 0x0F))
            return std::nullopt;
        p.flagsAt = r.position();
        if (!r.byte(flags) || (flags & 0x80))
            return std::nullopt;
    }
    p.flags = flags;
    p.multiple = flags & 0x01;
    std::uint32_t packetLength = 0, padding = 0;
    if (!r.byte(p.properties) || !r.typed(flags >> 5, packetLength) ||
        !r.typed(flags >> 1, p.sequence) || !r.typed(flags >> 3, padding) ||
        !r.typed(3, p.sendTime) || !r.typed(2, p.duration))
        return std::nullopt;
    const unsigned replicatedType = p.properties & 3;
    const unsigned offsetType = (p.properties >> 2) & 3;
    const unsigned objectType = (p.properties >> 4) & 3;
    const unsigned streamType = (p.properties >> 6) & 3;
    if (streamType != 1)
        return std::nullopt; // the stream number is always one byte

    // Multiple payloads carry their own lengths; only the bytes we have bound them (muxers
    // disagree on whether the packet length counts the padding). A single payload runs to the
    // packet's end: its length field when present, less the padding.
    std::size_t end = size;
    if (!p.multiple) {
        if ((flags >> 5) & 3)
            end = std::min<std::size_t>(end, packetLength);
        if (padding > end)
            return std::nullopt;
        end -= padding;
    }

    std::uint32_t payloads = 1;
    if (p.multiple) {
        std::uint32_t payloadFlags = 0;
        if (!r.byte(payloadFlags))
            return std::nullopt;
        payloads = payloadFlags & 0x3F;
        p.payloadLengthType = payloadFlags >> 6;
        if (p.payloadLengthType == 0)
            return std::nullopt;
    }
    for (std::uint32_t i = 0; i < payloads; ++i) {
        Packet::Payload payload;
        payload.begin = r.position();
        std::uint32_t stream = 0, object = 0, offset = 0, replicated = 0, length = 0;
        if (!r.byte(stream) || !r.typed(objectType, object) || !r.typed(offsetType, offset) ||
            !r.typed(replicatedType, replicated) || !r.skip(replicated))
            return std::nullopt;
        if (p.multiple) {
            if (!r.typed(p.payloadLengthType, length))
                return std::nullopt;
        } else {
            if (r.position() > end)
                return std::nullopt;
            length = static_cast<std::uint32_t>(end - r.position());
        }
        if (r.position() > end || length > end - r.position() || !r.skip(length))
            return std::nullopt;
        payload.end = r.position();
        // With one byte of replicated data the payload is compressed: whole objects only, and
        // the offset field holds the presentation time.
        const bool objectStart = replicated == 1 || offset == 0;
        payload.keyFrameStart = (stream & 0x80) && objectStart;
        p.payloads.push_back(payload);
    }
    return p;
}

bool putTyped(std::vector<std::uint8_t>& out, std::size_t& at, unsigned lengthType,
              std::uint64_t value) {
    static constexpr std::size_t widths[4] = {0, 1, 2, 4};
    const std::size_t width = widths[lengthType & 3];
    if (width < 4 && value >> (8 * width))
        return false;
    if (at + width > out.size())
        return false;
    for (std::size_t i = 0; i < width; ++i)
        out[at++] = static_cast<std::uint8_t>(value >> (8 * i));
    return true;
}

// A packet of `size` bytes holding the given payloads of `p`, with the packet length counting
// the whole packet and the rest as padding.
std::optional<std::vector<std::uint8_t>> rebuild(const std::uint8_t* data, std::size_t size,
                                                 const Packet& p, std::size_t from,
                                                 std::size_t to) {
    std::vector<std::uint8_t> out(size, 0);
    std::size_t at = p.flagsAt;
    std::copy(data, data + p.flagsAt, out.begin()); // error correction data
    out[at++] = static_cast<std::uint8_t>(p.flags);
    out[at++] = static_cast<std::uint8_t>(p.properties);
    if (!putTyped(out, at, p.flags >> 5, size) || !putTyped(out, at, p.flags >> 1, p.sequence))
        return std::nullopt;
    const std::size_t paddingAt = at;
    if (!putTyped(out, at, p.flags >> 3, 0) || !putTyped(out, at, 3, p.sendTime) ||
        !putTyped(out, at, 2, p.duration))
        return std::nullopt;
    out[at++] = static_cast<std::uint8_t>(p.payloadLengthType << 6 | (to - from));
    for (std::size_t i = from; i < to; ++i) {
        const Packet::Payload& payload = p.payloads[i];
        std::copy(data + payload.begin, data + payload.end, out.begin() + static_cast<long>(at));
        at += payload.end - payload.begin;
    }
    std::size_t padAt = paddingAt;
    if (!putTyped(out, padAt, p.flags >> 3, size - at))
        return std::nullopt;
    return out;
}

} // namespace

std::optional<bool> packetStartsKeyFrame(const std::uint8_t* data, std::size_t size) {
    const std::optional<Packet> p = parsePacket(data, size);
    if (!p)
        return std::nullopt;
    return std::any_of(p->payloads.begin(), p->payloads.end(),
                       [](const Packet::Payload& payload) { return payload.keyFrameStart; });
}

std::optional<KeyFrameSplit> splitAtKeyFrame(const std::uint8_t* data, std::size_t size) {
    const std::optional<Packet> p = parsePacket(data, size);
    if (!p || !p->multiple || ((p->flags >> 3) & 3) == 0)
        return std::nullopt; // a single payload, or no room to say how much padding follows
    const auto key =
        std::find_if(p->payloads.begin(), p->payloads.end(),
                     [](const Packet::Payload& payload) { return payload.keyFrameStart; });
    if (key == p->payloads.begin() || key == p->payloads.end())
        return std::nullopt;
    const auto k = static_cast<std::size_t>(key - p->payloads.begin());
    auto before = rebuild(data, size, *p, 0, k);
    auto from = rebuild(data, size, *p, k, p->payloads.size());
    if (!before || !from)
        return std::nullopt;
    return KeyFrameSplit{std::move(*before), std::move(*from)};
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
