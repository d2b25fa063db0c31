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
    std::size_t sendTimeAt = 0;
    struct Payload {
        std::size_t begin = 0, end = 0; // bytes of the whole payload, its header included
        bool keyFrameStart = false;
        std::size_t timeAt = 0; // its presentation time: where and how wide (0: none)
        unsigned timeWidth = 0;
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
        !r.typed(flags >> 1, p.sequence) || !r.typed(flags >> 3, padding))
        return std::nullopt;
    p.sendTimeAt = r.position();
    if (!r.typed(3, p.sendTime) || !r.typed(2, p.duration))
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
        if (!r.byte(stream) || !r.typed(objectType, object))
            return std::nullopt;
        const std::size_t offsetAt = r.position();
        if (!r.typed(offsetType, offset) || !r.typed(replicatedType, replicated))
            return std::nullopt;
        const std::size_t replicatedAt = r.position();
        if (!r.skip(replicated))
            return std::nullopt;
        // Replicated data begins with the object's size and presentation time; a compressed
        // payload keeps its presentation time in the offset field.
        if (replicated >= 8) {
            payload.timeAt = replicatedAt + 4;
            payload.timeWidth = 4;
        } else if (replicated == 1) {
            static constexpr unsigned widths[4] = {0, 1, 2, 4};
            payload.timeAt = offsetAt;
            payload.timeWidth = widths[offsetType];
        }
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

void putLe(std::uint8_t* at, unsigned width, std::uint32_t value) {
    for (unsigned i = 0; i < width; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getLe(const std::uint8_t* at, unsigned width) {
    std::uint32_t v = 0;
    for (unsigned i = width; i-- > 0;)
        v = v << 8 | at[i];
    return v;
}

std::uint32_t earlier(std::uint32_t time, std::uint32_t base) {
    return time > base ? time - base : 0;
}

} // namespace

std::optional<std::uint32_t> packetSendTime(const std::uint8_t* data, std::size_t size) {
    const std::optional<Packet> p = parsePacket(data, size);
    if (!p)
        return std::nullopt;
    return p->sendTime;
}

bool rebasePacketTimes(std::uint8_t* data, std::size_t size, std::uint32_t baseMs) {
    const std::optional<Packet> p = parsePacket(data, size);
    if (!p)
        return false;
    putLe(data + p->sendTimeAt, 4, earlier(p->sendTime, baseMs));
    for (const Packet::Payload& payload : p->payloads)
        if (payload.timeWidth > 0)
            putLe(data + payload.timeAt, payload.timeWidth,
                  earlier(getLe(data + payload.timeAt, payload.timeWidth), baseMs));
    return true;
}

namespace {

// Object identifiers as they appear in the file.
using ObjectId = std::array<std::uint8_t, 16>;
constexpr ObjectId headerObject = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr ObjectId filePropertiesObject = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                           0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr ObjectId streamPropertiesObject = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                             0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr ObjectId headerExtensionObject = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                            0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr ObjectId extendedStreamPropertiesObject = {
    0xCB, 0xA5, 0xE6, 0x14, 0x72, 0xC6, 0x32, 0x43, 0x83, 0x99, 0xA9, 0x69, 0x52, 0x06, 0x5B, 0x5A};
constexpr ObjectId videoMedia = {0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                                 0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};

bool isObject(const std::uint8_t* at, const ObjectId& id) {
    return std::equal(id.begin(), id.end(), at);
}

std::uint64_t getLe64(const std::uint8_t* at) {
    return std::uint64_t{getLe(at + 4, 4)} << 32 | getLe(at, 4);
}

class HeaderRepair {
public:
    HeaderRepair(std::uint8_t* data, const HeaderFacts& facts) : data_(data), facts_(facts) {}

    // Walks the objects between `from` and `to`; only objects that fit whole are touched.
    void walk(std::size_t from, std::size_t to, int depth) {
        std::size_t pos = from;
        while (to - pos >= 24) {
            const std::uint64_t size = getLe64(data_ + pos + 16);
            if (size < 24 || size > to - pos)
                return;
            const auto end = pos + static_cast<std::size_t>(size);
            if (isObject(data_ + pos, filePropertiesObject) && size >= 104)
                set32(pos + 24 + 76, facts_.bitRate);
            else if (isObject(data_ + pos, streamPropertiesObject))
                streamProperties(pos, end);
            else if (isObject(data_ + pos, extendedStreamPropertiesObject) && size >= 88)
                extendedStreamProperties(pos + 24);
            else if (isObject(data_ + pos, headerExtensionObject) && size >= 46 && depth == 0)
                walk(pos + 46, end, depth + 1);
            pos = end;
        }
    }
    int changed() const { return changed_; }

private:
    void streamProperties(std::size_t pos, std::size_t end) {
        if (end - pos < 78 || !isObject(data_ + pos + 24, videoMedia))
            return;
        const std::uint32_t typeLength = getLe(data_ + pos + 24 + 40, 4);
        const std::size_t typeAt = pos + 78;
        // Width, height, flags, format size, then the bitmap header.
        if (typeLength < 11 + 40 || typeLength > end - typeAt)
            return;
        const std::size_t bitmap = typeAt + 11;
        const auto width = static_cast<std::int32_t>(getLe(data_ + bitmap + 4, 4));
        const auto height = static_cast<std::int32_t>(getLe(data_ + bitmap + 8, 4));
        const std::uint32_t bits = getLe(data_ + bitmap + 14, 2);
        // A negative height is a top-down picture of that many rows; nonsense sizes stay.
        const std::int64_t rows = height < 0 ? -std::int64_t{height} : height;
        if (width <= 0 || width > 65536 || rows > 65536)
            return;
        const std::int64_t bytes = std::int64_t{width} * rows * bits / 8;
        if (bytes > 0 && bytes <= 0xFFFFFFFF)
            set32(bitmap + 20, static_cast<std::uint32_t>(bytes));
    }
    void extendedStreamProperties(std::size_t at) {
        set32(at + 16, facts_.bitRate); // data bit rate
        set32(at + 28, facts_.bitRate); // alternate data bit rate
        set32(at + 52, static_cast<std::uint32_t>(facts_.avgTimePerFrame));
        set32(at + 56, static_cast<std::uint32_t>(facts_.avgTimePerFrame >> 32));
    }
    void set32(std::size_t at, std::uint32_t value) {
        if (getLe(data_ + at, 4) == value)
            return;
        putLe(data_ + at, 4, value);
        ++changed_;
    }

    std::uint8_t* data_;
    const HeaderFacts& facts_;
    int changed_ = 0;
};

} // namespace

int repairHeader(std::uint8_t* header, std::size_t size, const HeaderFacts& facts) {
    if (!header || size < 30 || !isObject(header, headerObject))
        return 0;
    const std::uint64_t declared = getLe64(header + 16);
    if (declared < 30)
        return 0;
    HeaderRepair repair(header, facts);
    repair.walk(30, static_cast<std::size_t>(std::min<std::uint64_t>(declared, size)), 0);
    return repair.changed();
}

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
