#include "core/TsPackets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

using namespace norvale;

namespace {

enum class Kind { Plain, RandomAccess, EmptyAdaptation, BadSync };

std::vector<std::uint8_t> packet(Kind kind) {
    std::vector<std::uint8_t> p(ts::PacketSize, 0xFF);
    p[0] = kind == Kind::BadSync ? 0x46 : 0x47;
    p[1] = 0x40; // payload start, PID 0x41
    p[2] = 0x41;
    if (kind == Kind::Plain) {
        p[3] = 0x10; // payload only
        return p;
    }
    p[3] = 0x30; // adaptation field and payload
    p[4] = kind == Kind::EmptyAdaptation ? 0 : 7;
    // Only a field with its flags byte can flag anything; an empty one's next byte is payload.
    p[5] = 0x40;
    return p;
}

} // namespace

// Where a joining viewer may start in a stretch of the TS muxer's packets: the first packet that
// says a key frame begins there, and only a whole, well-formed one.
TEST(TsPackets, AViewerStartsAtTheFirstPacketFlaggedAsARandomAccessPoint) {
    struct Case {
        const char* name;
        std::vector<Kind> packets;
        std::size_t cutOff; // bytes missing at the end
        std::optional<std::size_t> expected;
    } cases[] = {
        {"none", {Kind::Plain, Kind::Plain}, 0, std::nullopt},
        {"first", {Kind::RandomAccess, Kind::Plain}, 0, 0},
        {"third of seven",
         {Kind::Plain, Kind::Plain, Kind::RandomAccess, Kind::Plain, Kind::Plain, Kind::Plain,
          Kind::RandomAccess},
         0,
         2 * ts::PacketSize},
        {"empty adaptation field", {Kind::EmptyAdaptation, Kind::Plain}, 0, std::nullopt},
        {"lost sync", {Kind::BadSync, Kind::RandomAccess}, 0, ts::PacketSize},
        {"cut-off packet at the end", {Kind::Plain, Kind::RandomAccess}, 1, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> data;
        for (Kind k : c.packets) {
            const std::vector<std::uint8_t> p = packet(k);
            data.insert(data.end(), p.begin(), p.end());
        }
        data.resize(data.size() - c.cutOff);
        EXPECT_EQ(ts::randomAccessOffset(data.data(), data.size()), c.expected);
    }
    EXPECT_EQ(ts::randomAccessOffset(nullptr, 188), std::nullopt);
}
