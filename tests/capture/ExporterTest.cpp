// Exporting spans of real recordings (made by the recorder from a synthetic camera) to WMV and
// MP4, read back with ffprobe.
#include "RecordingSupport.h"

#include "capture/Exporter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

using namespace norvale;

namespace {

class ExporterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::useTestCameras(1);
        if (std::system("ffprobe -version >/dev/null 2>&1") != 0)
            return;
        folder = new test::TempDir;
        // Two 4-second segments, the second starting where the first ends, each beginning with
        // a key frame.
        test::record(folder->path() / "cam-1.wmv", 60);
        test::record(folder->path() / "cam-2.wmv", 60);
        // The same camera's own MJPEG stream.
        test::record(folder->path() / "own-1.mkv", 60, true);
        test::record(folder->path() / "own-2.mkv", 60, true);
    }
    static void TearDownTestSuite() {
        delete folder;
        folder = nullptr;
    }
    void SetUp() override {
        if (!folder)
            GTEST_SKIP() << "ffprobe is not installed";
    }
    std::vector<ExportSource> sources() const {
        return {{folder->path() / "cam-1.wmv", T0}, {folder->path() / "cam-2.wmv", T0 + 4000}};
    }
    std::vector<ExportSource> ownSources() const {
        return {{folder->path() / "own-1.mkv", T0}, {folder->path() / "own-2.mkv", T0 + 4000}};
    }
    static constexpr std::int64_t T0 = 1'796'846'101'000;
    static inline test::TempDir* folder = nullptr;
    test::TempDir out;
};

} // namespace

TEST_F(ExporterTest, SpansAcrossSegmentsBecomeOneFileOfTheirLength) {
    struct Case {
        std::int64_t from, to;
        TExporter::Format format;
        const char* codec;
        double seconds;   // expected duration (±1 s)
        bool own = false; // from the recordings of the camera's own stream
    };
    const Case cases[] = {
        {T0, T0 + 8000, TExporter::Format::Wmv, "wmv1", 8},        // both files whole
        {T0 + 4000, T0 + 6000, TExporter::Format::Wmv, "wmv1", 2}, // from the second's key frame
        {T0 + 1000, T0 + 2000, TExporter::Format::Wmv, "wmv1", 2}, // back to the key frame at 0
        {T0 + 2000, T0 + 6000, TExporter::Format::Mp4, "h264", 4}, // re-encoded: exactly the span
        {T0 + 2000, T0 + 6000, TExporter::Format::Mkv, "mjpeg", 4, true}, // as recorded
        {T0 + 3000, T0 + 5000, TExporter::Format::Mp4, "h264", 2, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        if (c.format == TExporter::Format::Mp4 && !TExporter::mp4Available())
            continue;
        const auto target = out.path() / ("export-" + std::to_string(n++) +
                                          (c.format == TExporter::Format::Mp4   ? ".mp4"
                                           : c.format == TExporter::Format::Mkv ? ".mkv"
                                                                                : ".wmv"));
        double last = -1;
        bool monotonic = true;
        std::atomic<bool> cancel{false};
        const auto r = TExporter::run(
            c.own ? ownSources() : sources(), c.from, c.to, target, c.format,
            [&](double p) {
                monotonic = monotonic && p >= last;
                last = p;
            },
            cancel);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(monotonic);
        EXPECT_DOUBLE_EQ(last, 1.0);
        const test::Probe p = test::probe(target);
        EXPECT_EQ(p.codec, c.codec) << target;
        EXPECT_NEAR(p.duration, c.seconds, 1.0) << target;
        EXPECT_EQ(p.frames, r.frames) << target;
    }
}

TEST_F(ExporterTest, CancelledOrEmptyExportsLeaveNoFile) {
    TExporter exporter;
    const auto target = out.path() / "cancelled.wmv";
    std::promise<TExporter::Result> done;
    std::atomic<bool> cancelled{false};
    ASSERT_TRUE(exporter.start(
        sources(), T0, T0 + 8000, target, TExporter::Format::Wmv,
        [&](double) {
            if (!cancelled.exchange(true))
                exporter.cancel();
        },
        [&](const TExporter::Result& r) { done.set_value(r); }));
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(future.get().cancelled);

    // A span with nothing recorded, and a missing file: an error, no file.
    std::atomic<bool> no{false};
    const auto empty = TExporter::run(sources(), T0 + 60000, T0 + 70000, out.path() / "e.wmv",
                                      TExporter::Format::Wmv, nullptr, no);
    EXPECT_FALSE(empty.ok);
    EXPECT_FALSE(empty.error.empty());
    const auto missing = TExporter::run({{out.path() / "gone.wmv", T0}}, T0, T0 + 1000,
                                        out.path() / "m.wmv", TExporter::Format::Wmv, nullptr, no);
    EXPECT_FALSE(missing.ok);
    // A camera's own MJPEG recording cannot become WMV without re-encoding.
    const auto notWmv = TExporter::run(ownSources(), T0, T0 + 2000, out.path() / "j.wmv",
                                       TExporter::Format::Wmv, nullptr, no);
    EXPECT_FALSE(notWmv.ok);
    EXPECT_EQ(notWmv.error, "These recordings are not WMV: export them as MKV or MP4.");
    // Nothing but what the test wrote is left in the folder: no partial files.
    EXPECT_TRUE(std::filesystem::is_empty(out.path()));
}
