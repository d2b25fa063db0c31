// Playing real recordings (two consecutive segments made by the recorder) as one time line.
#include "RecordingSupport.h"

#include "capture/ASFWriter.h"
#include "capture/SegmentPlayer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

using namespace norvale;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t T0 = 1'796'846'101'000;

// What the player showed and said, for a test to wait on.
struct Watch {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::int64_t> positions; // of each frame shown
    std::vector<std::string> damaged;
    bool ended = false;

    TSegmentPlayer::Callbacks callbacks() {
        return {[this] {
                    std::lock_guard l(lock);
                    ended = true;
                    changed.notify_all();
                },
                [this](const std::string& file) {
                    std::lock_guard l(lock);
                    damaged.push_back(file);
                    changed.notify_all();
                }};
    }
    void attach(TSegmentPlayer& player) {
        player.SetFrameListener([this, &player] {
            player.LatestFrame(); // re-arms the listener, as a window's paint does
            std::lock_guard l(lock);
            positions.push_back(player.position());
            changed.notify_all();
        });
    }
    template <typename Pred> bool waitUntil(Pred pred) {
        std::unique_lock l(lock);
        return changed.wait_for(l, 30s, [&] { return pred(); });
    }
};

class SegmentPlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::useTestCameras(1);
        folder = new test::TempDir;
        test::record(folder->path() / "a.wmv", 60);
        test::record(folder->path() / "b.wmv", 60);
        test::record(folder->path() / "a.mkv", 60, true);
        test::record(folder->path() / "b.mkv", 60, true);
    }
    static void TearDownTestSuite() {
        delete folder;
        folder = nullptr;
    }
    static std::vector<ExportSource> sources() {
        return {{folder->path() / "a.wmv", T0}, {folder->path() / "b.wmv", T0 + 4000}};
    }
    static inline test::TempDir* folder = nullptr;
};

} // namespace

TEST_F(SegmentPlayerTest, PlaysAcrossTheSegmentBoundaryInWallClockTime) {
    Watch watch;
    TSegmentPlayer player(watch.callbacks());
    watch.attach(player);
    player.setSources(sources());
    player.setRate(4);
    player.playFrom(T0 + 3000);
    // Playing from the moment it is asked: a pause clicked at once pauses this play.
    EXPECT_TRUE(player.Connected());
    ASSERT_TRUE(watch.waitUntil([&] { return watch.ended; }));
    EXPECT_FALSE(player.Connected());
    std::lock_guard l(watch.lock);
    ASSERT_GT(watch.positions.size(), 10u);
    // From the moment asked for (not the key frame before it), through the crossing, to the
    // second file's end, always forward and with no hole wider than a few dropped frames.
    EXPECT_GE(watch.positions.front(), T0 + 3000 - 70);
    EXPECT_GE(watch.positions.back(), T0 + 7700);
    bool crossed = false;
    for (std::size_t i = 1; i < watch.positions.size(); ++i) {
        EXPECT_GE(watch.positions[i], watch.positions[i - 1]);
        EXPECT_LT(watch.positions[i] - watch.positions[i - 1], 400) << i;
        crossed =
            crossed || (watch.positions[i - 1] < T0 + 4000 && watch.positions[i] >= T0 + 4000);
    }
    EXPECT_TRUE(crossed);
    EXPECT_TRUE(watch.damaged.empty());
}

// Recordings of a camera's own stream (MJPEG in Matroska) play like WMV ones.
TEST_F(SegmentPlayerTest, OwnStreamRecordingsPlayAcrossTheirBoundaryToo) {
    Watch watch;
    TSegmentPlayer player(watch.callbacks());
    watch.attach(player);
    player.setSources({{folder->path() / "a.mkv", T0}, {folder->path() / "b.mkv", T0 + 4000}});
    player.setRate(4);
    player.playFrom(T0 + 3000);
    // Playing from the moment it is asked: a pause clicked at once pauses this play.
    EXPECT_TRUE(player.Connected());
    ASSERT_TRUE(watch.waitUntil([&] { return watch.ended; }));
    EXPECT_FALSE(player.Connected());
    std::lock_guard l(watch.lock);
    ASSERT_GT(watch.positions.size(), 10u);
    EXPECT_GE(watch.positions.front(), T0 + 3000 - 70);
    EXPECT_GE(watch.positions.back(), T0 + 7700);
    EXPECT_TRUE(watch.damaged.empty());
}

TEST_F(SegmentPlayerTest, PausedItStepsOneFrameAtATime) {
    Watch watch;
    TSegmentPlayer player(watch.callbacks());
    watch.attach(player);
    player.setSources(sources());
    player.pause();
    player.playFrom(T0 + 1000);
    ASSERT_TRUE(watch.waitUntil([&] { return !watch.positions.empty(); }));
    const auto first = player.position();
    EXPECT_NEAR(first, T0 + 1000, 150);
    for (int step = 1; step <= 3; ++step) {
        player.stepFrame();
        ASSERT_TRUE(watch.waitUntil(
            [&] { return watch.positions.size() > static_cast<std::size_t>(step); }));
    }
    const auto after = player.position();
    EXPECT_GT(after, first);
    EXPECT_LT(after - first, 600); // three frames, some of them dropped by the recorder
    EXPECT_TRUE(player.paused());
}

TEST_F(SegmentPlayerTest, ADamagedOrMissingFileIsReportedAndSkipped) {
    test::TempDir dir;
    // The first half of a recording, as a crash mid-write leaves it... and a file that is gone.
    const auto cut = dir / "cut.wmv";
    std::filesystem::copy_file(folder->path() / "a.wmv", cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 2);
    Watch watch;
    TSegmentPlayer player(watch.callbacks());
    watch.attach(player);
    player.setRate(8);
    player.setSources(
        {{dir / "gone.wmv", T0 - 8000}, {cut, T0}, {folder->path() / "b.wmv", T0 + 4000}});
    player.playFrom(T0 - 8000);
    ASSERT_TRUE(watch.waitUntil([&] { return watch.ended; }));
    std::lock_guard l(watch.lock);
    ASSERT_FALSE(watch.damaged.empty());
    EXPECT_NE(watch.damaged.front().find("gone.wmv"), std::string::npos);
    // What could be played was played: part of the cut file and the whole of the next.
    EXPECT_GE(watch.positions.back(), T0 + 7700);
    EXPECT_TRUE(std::any_of(watch.positions.begin(), watch.positions.end(),
                            [](std::int64_t p) { return p >= T0 && p < T0 + 1500; }));
}

// The muxer's own index ends after 7 min 9.5 s; past its end nothing can be sought. Here the
// index of a short recording is cut to its first entry, which has the same effect at 3 s, and
// the recorder's repair makes the time reachable again.
TEST_F(SegmentPlayerTest, AnIndexCompletedByTheRecorderReachesTimesPastTheMuxersEnd) {
    const auto cut = folder->path() / "cut.wmv";
    std::string bytes = test::readFile(folder->path() / "a.wmv");
    // The simple index is the file's last object: GUID, size, file id, interval, max count,
    // entry count, then 6 bytes an entry.
    const std::string indexGuid("\x90\x08\x00\x33\xB1\xE5\xCF\x11\x89\xF4\x00\xA0\xC9\x03\x49\xCB",
                                16);
    const auto at = bytes.rfind(indexGuid);
    ASSERT_NE(at, std::string::npos);
    const std::uint32_t entries =
        static_cast<std::uint8_t>(bytes[at + 52]) | static_cast<std::uint8_t>(bytes[at + 53]) << 8;
    ASSERT_GT(entries, 3u);
    bytes.resize(at + 56 + 6);
    bytes[at + 16] = 62;
    bytes[at + 52] = 1;
    test::writeFile(cut, bytes);

    auto seekTo = [&](std::int64_t ms) {
        Watch watch;
        TSegmentPlayer player(watch.callbacks());
        watch.attach(player);
        player.setSources({{cut, T0}});
        player.playFrom(T0 + ms);
        watch.waitUntil([&] { return watch.ended || !watch.positions.empty(); });
        std::lock_guard l(watch.lock);
        return watch.positions.empty() ? std::int64_t(-1) : watch.positions.front() - T0;
    };
    EXPECT_EQ(seekTo(3000), -1);
    EXPECT_TRUE(RepairAsfIndex(cut));
    EXPECT_FALSE(RepairAsfIndex(cut)) << "a whole index is left as it is";
    const std::string repaired = test::readFile(cut);
    // The recording itself and the entry that was there are kept; the entries go on.
    EXPECT_EQ(repaired.substr(0, at + 16), bytes.substr(0, at + 16));
    EXPECT_EQ(repaired.substr(at + 56, 6), bytes.substr(at + 56, 6));
    EXPECT_GE(repaired.size(), at + 56 + 6 * (entries - 2));
    EXPECT_LE(repaired.size(), at + 56 + 6 * entries);
    const std::int64_t shown = seekTo(3000);
    EXPECT_GE(shown, 3000 - 70);
    EXPECT_LT(shown, 3500);
}
