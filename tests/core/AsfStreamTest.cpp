#include "core/AsfStream.h"

#include <gtest/gtest.h>

#include <vector>

using namespace norvale;

namespace {

struct Payload {
    bool keyFrame;
    uint32_t offset;        // offset into the media object
    uint8_t replicated = 8; // 1: compressed payload
    size_t length = 20;
};

void put(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A packet laid out as the ASF muxer writes it: no error correction, word packet and padding
// lengths, byte stream and object numbers, dword offsets, word payload lengths.
std::vector<uint8_t> muxerPacket(const std::vector<Payload>& payloads, size_t packetSize = 300) {
    std::vector<uint8_t> body;
    for (const Payload& p : payloads) {
        body.push_back(static_cast<uint8_t>(1 | (p.keyFrame ? 0x80 : 0)));
        body.push_back(5); // media object number
        put(body, p.offset, 4);
        body.push_back(p.replicated);
        body.insert(body.end(), p.replicated, 0x11);
        put(body, static_cast<uint32_t>(p.length), 2);
        body.insert(body.end(), p.length, 0x22);
    }
    std::vector<uint8_t> packet = {0x51, 0x5D}; // length flags, property flags
    const size_t headerSize = 2 + 2 + 2 + 4 + 2 + 1;
    const size_t used = headerSize + body.size();
    put(packet, static_cast<uint32_t>(used), 2);              // the muxer's length: bytes used
    put(packet, static_cast<uint32_t>(packetSize - used), 2); // padding
    put(packet, 1234, 4);                                     // send time
    put(packet, 0, 2);                                        // duration
    packet.push_back(static_cast<uint8_t>(0x80 | payloads.size()));
    packet.insert(packet.end(), body.begin(), body.end());
    packet.resize(packetSize, 0);
    return packet;
}

std::optional<bool> startsKeyFrame(const std::vector<uint8_t>& p) {
    return asf::packetStartsKeyFrame(p.data(), p.size());
}

TEST(AsfStreamTest, KeyFrameStarts) {
    struct Case {
        const char* name;
        std::vector<Payload> payloads;
        bool starts;
    };
    const Case cases[] = {
        {"key frame begins", {{true, 0}}, true},
        {"key frame continues", {{true, 1180}}, false},
        {"delta frame begins", {{false, 0}}, false},
        {"end of a delta frame, then a key frame", {{false, 900}, {true, 0}}, true},
        {"end of a key frame, then a delta frame", {{true, 900}, {false, 0}}, false},
        {"compressed key payload", {{true, 4711, 1}}, true},
        {"compressed delta payload", {{false, 4711, 1}}, false},
    };
    for (const Case& c : cases) {
        const auto result = startsKeyFrame(muxerPacket(c.payloads));
        ASSERT_TRUE(result.has_value()) << c.name;
        EXPECT_EQ(*result, c.starts) << c.name;
    }
}

TEST(AsfStreamTest, SinglePayloadPacket) {
    // Error correction data, one payload running to the packet end less its padding.
    std::vector<uint8_t> packet = {0x82, 0x00, 0x00, 0x10 /* padding: word */, 0x5D};
    put(packet, 10, 2); // padding
    put(packet, 0, 4);
    put(packet, 0, 2);
    packet.push_back(0x81); // stream 1, key frame
    packet.push_back(0);
    put(packet, 0, 4);
    packet.push_back(8);
    packet.insert(packet.end(), 8, 0);
    packet.insert(packet.end(), 50, 0x33);
    packet.insert(packet.end(), 10, 0); // padding
    EXPECT_EQ(startsKeyFrame(packet), std::optional<bool>(true));
    packet[13] = 0x01; // a delta frame
    EXPECT_EQ(startsKeyFrame(packet), std::optional<bool>(false));
}

TEST(AsfStreamTest, DamagedPacketsAreNotParsed) {
    const std::vector<uint8_t> good = muxerPacket({{false, 900}, {true, 0}});
    // Every truncation that cuts into the payloads is refused, never read past.
    const size_t used = 13 + 2 * (1 + 1 + 4 + 1 + 8 + 2 + 20);
    for (size_t n = 0; n < used; ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
        EXPECT_FALSE(startsKeyFrame(cut).has_value()) << n;
    }
    std::vector<uint8_t> wrongStreamWidth = good;
    wrongStreamWidth[1] = 0x9D; // stream number as a word
    EXPECT_FALSE(startsKeyFrame(wrongStreamWidth).has_value());
    std::vector<uint8_t> longPayload = good;
    longPayload[13 + 15] = 0xFF; // first payload length beyond the packet
    longPayload[13 + 16] = 0xFF;
    EXPECT_FALSE(startsKeyFrame(longPayload).has_value());
    EXPECT_FALSE(asf::packetStartsKeyFrame(nullptr, 0).has_value());
}

TEST(AsfStreamTest, DataChunkPrefix) {
    const auto prefix = asf::dataChunkPrefix(0x01020304, 1400);
    const std::array<uint8_t, 12> expected = {'$',  'D',  0x80, 0x05, 0x04, 0x03,
                                              0x02, 0x01, 0,    0,    0x80, 0x05};
    EXPECT_EQ(prefix, expected); // 1400 + 8 = 0x0580 in both length fields
}

TEST(AsfStreamTest, HeaderChunks) {
    const std::vector<uint8_t> small(700, 0xAB);
    const auto one = asf::headerChunks(small.data(), small.size());
    ASSERT_EQ(one.size(), 712u);
    EXPECT_EQ(one[0], '$');
    EXPECT_EQ(one[1], 'H');
    EXPECT_EQ(one[2] | one[3] << 8, 708);
    EXPECT_EQ(one[9], 0x0C); // first and last piece
    EXPECT_EQ(one[10] | one[11] << 8, 708);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), one.begin() + 12));

    // A header too big for one chunk is split into numbered pieces.
    const std::vector<uint8_t> big(100000, 0xCD);
    const auto pieces = asf::headerChunks(big.data(), big.size());
    ASSERT_EQ(pieces.size(), big.size() + 2 * asf::ChunkPrefixSize);
    const size_t second = asf::ChunkPrefixSize + asf::MaxChunkPayload;
    EXPECT_EQ(pieces[2] | pieces[3] << 8, 0xFFFF);
    EXPECT_EQ(pieces[9], 0x04);
    EXPECT_EQ(pieces[second + 1], 'H');
    EXPECT_EQ(pieces[second + 4], 1); // piece number
    EXPECT_EQ(pieces[second + 9], 0x08);
    EXPECT_EQ(static_cast<size_t>(pieces[second + 2] | pieces[second + 3] << 8),
              big.size() - asf::MaxChunkPayload + 8);
    EXPECT_TRUE(asf::headerChunks(nullptr, 0).empty());
}

} // namespace

namespace {

TEST(AsfStreamTest, SplitAtKeyFrameStart) {
    const std::vector<uint8_t> packet =
        muxerPacket({{false, 900, 8, 30}, {false, 0, 8, 25}, {true, 0, 8, 40}, {false, 0, 8, 10}});
    const auto split = asf::splitAtKeyFrame(packet.data(), packet.size());
    ASSERT_TRUE(split.has_value());
    ASSERT_EQ(split->before.size(), packet.size());
    ASSERT_EQ(split->from.size(), packet.size());
    EXPECT_EQ(startsKeyFrame(split->before), std::optional<bool>(false));
    EXPECT_EQ(startsKeyFrame(split->from), std::optional<bool>(true));
    // Each half declares the whole packet as its length and pads the rest.
    for (const auto* half : {&split->before, &split->from}) {
        EXPECT_EQ((*half)[2] | (*half)[3] << 8, 300);
        EXPECT_EQ((*half)[0], 0x51); // the layout stays the muxer's
        EXPECT_EQ((*half)[1], 0x5D);
    }
    const auto payloadBytes = [](const std::vector<Payload>& ps) {
        size_t n = 0;
        for (const Payload& p : ps)
            n += 1 + 1 + 4 + 1 + p.replicated + 2 + p.length;
        return n;
    };
    const size_t beforeUsed = 13 + payloadBytes({{false, 900, 8, 30}, {false, 0, 8, 25}});
    EXPECT_EQ(split->before[4] | split->before[5] << 8, 300 - beforeUsed); // padding
    EXPECT_EQ(split->before[12], 0x80 | 2);
    EXPECT_EQ(split->from[12], 0x80 | 2);
    // The payload bytes travel unchanged and in order.
    EXPECT_TRUE(std::equal(packet.begin() + 13, packet.begin() + static_cast<long>(beforeUsed),
                           split->before.begin() + 13));
    EXPECT_TRUE(
        std::equal(packet.begin() + static_cast<long>(beforeUsed),
                   packet.begin() + static_cast<long>(beforeUsed) +
                       static_cast<long>(payloadBytes({{true, 0, 8, 40}, {false, 0, 8, 10}})),
                   split->from.begin() + 13));
    // Send time survives.
    EXPECT_EQ(split->from[6] | split->from[7] << 8, 1234);

    // Nothing to split: key frame first, none at all, only a continued key frame.
    for (const auto& payloads :
         {std::vector<Payload>{{true, 0}, {false, 0}}, std::vector<Payload>{{false, 0}, {false, 0}},
          std::vector<Payload>{{false, 0}, {true, 500}}}) {
        const auto p = muxerPacket(payloads);
        EXPECT_FALSE(asf::splitAtKeyFrame(p.data(), p.size()).has_value());
    }
}

} // namespace

namespace {

uint32_t le32At(const std::vector<uint8_t>& p, size_t at) {
    return p[at] | p[at + 1] << 8 | p[at + 2] << 16 | uint32_t(p[at + 3]) << 24;
}

// A viewer's times count from its own start: the packet's send time and every payload's
// presentation time (in the replicated data, or in the offset field of a compressed payload)
// move back by the base, and never below 0; nothing else changes.
TEST(AsfStreamTest, RebaseMovesSendAndPresentationTimes) {
    // Send time 1234 at byte 6; payload 1 (replicated data of 8 bytes, presentation time in its
    // last four) from byte 13, payload 2 (compressed, time in the offset field) from byte 50.
    const std::vector<uint8_t> original = muxerPacket({{true, 0}, {false, 5000, 1}});
    const size_t sendAt = 6, firstTimeAt = 13 + 7 + 4, secondOffsetAt = 50 + 2;
    ASSERT_EQ(asf::packetSendTime(original.data(), original.size()), 1234u);
    ASSERT_EQ(le32At(original, secondOffsetAt), 5000u);
    const struct {
        uint32_t base, send, first, second;
    } cases[] = {
        {0, 1234, 0x11111111, 5000},
        {1000, 234, 0x11111111 - 1000, 4000},
        {4000, 0, 0x11111111 - 4000, 1000},
        {6000, 0, 0x11111111 - 6000, 0},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> p = original;
        ASSERT_TRUE(asf::rebasePacketTimes(p.data(), p.size(), c.base)) << c.base;
        EXPECT_EQ(le32At(p, sendAt), c.send) << c.base;
        EXPECT_EQ(le32At(p, firstTimeAt), c.first) << c.base;
        EXPECT_EQ(le32At(p, secondOffsetAt), c.second) << c.base;
        size_t changed = 0;
        for (size_t i = 0; i < p.size(); ++i)
            changed += p[i] != original[i];
        EXPECT_LE(changed, 12u) << c.base;
        EXPECT_EQ(startsKeyFrame(p), startsKeyFrame(original));
    }
    std::vector<uint8_t> damaged = original;
    damaged.resize(9);
    const std::vector<uint8_t> before = damaged;
    EXPECT_FALSE(asf::rebasePacketTimes(damaged.data(), damaged.size(), 1000));
    EXPECT_EQ(damaged, before);
}

} // namespace
