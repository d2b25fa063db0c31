// Motion detection through a real channel: cameras that are video files made here, with scenes
// whose motion happens at known times, played in real time by the same enumeration and binding
// as any camera.
#include "capture/EnumMediaType.h"
#include "capture/GreyGrabber.h"
#include "capture/GstRuntime.h"
#include "capture/PipelineUtil.h"
#include "capture/SysDevEnum.h"
#include "channel/CameraChannel.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

using namespace norvale;
using norvale::test::TempDir;
using norvale::test::waitFor;

namespace {

constexpr int W = 320;
constexpr int H = 240;
constexpr int Fps = 15;
constexpr int Frames = 7 * Fps;

std::int64_t wallMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Paints the luminance of frame `f` (W × H); colour stays neutral.
using Painter = std::function<void(int f, std::vector<std::uint8_t>& y)>;

// A textured still scene with sensor noise, `paint` on top of it, as an MJPEG file.
void writeScene(const std::string& path, const Painter& paint) {
    std::string error;
    gst::Pipeline p = gst::parsePipeline(
        "appsrc name=src format=time caps=video/x-raw,format=I420,width=320,height=240,"
        "framerate=15/1 ! jpegenc quality=92 ! matroskamux ! filesink location=" +
            gst::quotedLocation(path),
        error);
    ASSERT_TRUE(p) << error;
    gst::Ref<GstElement> src = gst::childByName(p.get(), "src");
    ASSERT_EQ(gst_element_set_state(p.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_ASYNC);
    std::vector<std::uint8_t> y(W * H);
    std::uint32_t seed = 7;
    for (int f = 0; f < Frames; ++f) {
        for (int r = 0; r < H; ++r)
            for (int c = 0; c < W; ++c)
                y[r * W + c] = static_cast<std::uint8_t>(60 + (c * 3 / 2 + r) % 80);
        paint(f, y);
        for (auto& v : y) { // ±6 grey levels of noise on every frame
            seed = seed * 1664525u + 1013904223u;
            v = static_cast<std::uint8_t>(
                std::clamp(v + static_cast<int>((seed >> 24) % 13) - 6, 0, 255));
        }
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, W * H * 3 / 2, nullptr);
        gst_buffer_fill(buffer, 0, y.data(), y.size());
        gst_buffer_memset(buffer, y.size(), 128, W * H / 2);
        GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(f, GST_SECOND, Fps);
        GST_BUFFER_DURATION(buffer) = GST_SECOND / Fps;
        ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(src.get()), buffer), GST_FLOW_OK);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(src.get()));
    gst::Ref<GstBus> bus(gst_element_get_bus(p.get()));
    gst::Message done(gst_bus_timed_pop_filtered(
        bus.get(), 20 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    ASSERT_TRUE(done && GST_MESSAGE_TYPE(done.get()) == GST_MESSAGE_EOS);
}

void darken(std::vector<std::uint8_t>& y, int x0, int y0, int size) {
    for (int r = std::max(0, y0); r < std::min(H, y0 + size); ++r)
        for (int c = std::max(0, x0); c < std::min(W, x0 + size); ++c)
            y[r * W + c] = 10;
}

void brighten(std::vector<std::uint8_t>& y, int by) {
    for (auto& v : y)
        v = static_cast<std::uint8_t>(std::clamp(v + by, 0, 255));
}

struct Row {
    const char* scene;
    Painter paint;
    // Expected event, in seconds of the file: its start and its length (the last frame with
    // motion plus PostSeconds); none for a scene that has no motion.
    std::optional<std::pair<double, double>> event;
    bool fails = false; // the file cannot be played: the camera does not start
};

struct Watched {
    std::unique_ptr<CameraChannel> channel;
    std::int64_t before = 0, after = 0; // wall clock around the start
    std::vector<qint64> starts;
    std::vector<MotionEventRecord> ends;
};

} // namespace

TEST(CameraChannelMotion, FileScenesMakeEventsOnlyForMotion) {
    constexpr int PostSeconds = 1;
    // 48 × 48 pixels entering at 2 s, 8 pixels a frame: the last frame over the minimum area is
    // frame 68 (16 pixels of it left in the picture).
    const Row rows[] = {
        {"noise", [](int, std::vector<std::uint8_t>&) {}, std::nullopt},
        {"crossing",
         [](int f, std::vector<std::uint8_t>& y) {
             if (f >= 30)
                 darken(y, (f - 30) * 8, 96, 48);
         },
         std::make_pair(2.0, (68 - 30) / double(Fps) + PostSeconds)},
        {"light on",
         [](int f, std::vector<std::uint8_t>& y) {
             if (f >= 30)
                 brighten(y, 50);
         },
         std::nullopt},
        {"slow ramp",
         [](int f, std::vector<std::uint8_t>& y) { brighten(y, -40 + f * 100 / Frames); },
         std::nullopt},
        {"missing file", nullptr, std::nullopt, true},
        {"not a video", nullptr, std::nullopt, true},
    };
    gst::ensureInitialised();
    TempDir dir;
    std::string files;
    std::vector<std::string> paths;
    for (const Row& row : rows) {
        const std::string path =
            (dir / ("scene" + std::to_string(paths.size() + 1) + ".mkv")).string();
        paths.push_back(path);
        if (row.paint)
            writeScene(path, row.paint);
        else if (std::string(row.scene) == "not a video")
            test::writeFile(path, "plain text, no video in it\n");
        ASSERT_FALSE(HasFatalFailure());
        files += (files.empty() ? "" : ",") + path;
    }
    setenv("NORVALE_TEST_FILES", files.c_str(), 1);
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    TEnumMediaType formats;

    std::vector<Watched> watched(std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].scene);
        ChannelServices services;
        services.videoDevices = &devices;
        services.deviceFormats = &formats;
        Watched& w = watched[i];
        w.channel = std::make_unique<CameraChannel>(std::move(services));
        CameraSettings settings = defaultCameraSettings("Motion");
        settings.saveFilePath = settings.snapshotPath = dir.path().string();
        settings.motionDetect = true;
        settings.postSeconds = PostSeconds;
        const std::string name = "Norvale Test File " + std::to_string(i + 1);
        for (int d = 0; d < devices.DeviceCount(); ++d)
            if (devices.EntryAt(d).FriendlyName == name)
                settings.videoDeviceIndex = d;
        ASSERT_GE(settings.videoDeviceIndex, 0) << name << " is listed";
        w.channel->setSettings(settings);
        w.channel->setCameraNumber(static_cast<int>(i) + 1);
        QObject::connect(w.channel.get(), &CameraChannel::motionStarted,
                         [&w](qint64 startMs) { w.starts.push_back(startMs); });
        QObject::connect(w.channel.get(), &CameraChannel::motionEnded,
                         [&w](const MotionEventRecord& e) { w.ends.push_back(e); });
        w.before = wallMs();
        if (rows[i].fails) {
            try {
                w.channel->startPreview();
                ADD_FAILURE() << "a file that cannot be played starts";
            } catch (const std::exception& e) {
                EXPECT_NE(std::string(e.what()).find("cannot be played"), std::string::npos)
                    << e.what();
                EXPECT_NE(std::string(e.what()).find(paths[i]), std::string::npos)
                    << "names the file: " << e.what();
            }
            EXPECT_EQ(w.channel->state(), ChannelState::Idle);
            continue;
        }
        w.channel->startPreview();
        w.after = wallMs();
    }

    // Every file plays once (7 s) and a little more; the crossing's event has ended by then.
    const std::int64_t until = watched.back().before + (Frames / Fps) * 1000 + 500;
    waitFor([&] { return wallMs() > until; }, 15000);
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        const Watched& w = watched[i];
        SCOPED_TRACE(row.scene);
        if (!row.event) {
            EXPECT_TRUE(w.starts.empty()) << "no event for " << row.scene;
            EXPECT_TRUE(w.ends.empty());
            continue;
        }
        ASSERT_EQ(w.starts.size(), 1u);
        ASSERT_EQ(w.ends.size(), 1u);
        const auto [entry, length] = *row.event;
        // The file starts playing while the start runs: the entry lies between the two marks.
        const auto entryFrom = w.before + static_cast<std::int64_t>(entry * 1000);
        const auto entryTo = w.after + static_cast<std::int64_t>(entry * 1000);
        EXPECT_GE(w.starts[0], entryFrom - 150);
        EXPECT_LE(w.starts[0], entryTo + 500) << "within half a second of the entry";
        const MotionEventRecord& e = w.ends[0];
        EXPECT_EQ(e.startMs, w.starts[0]);
        EXPECT_NEAR(double(e.endMs - e.startMs) / 1000.0, length, 0.4);
        EXPECT_EQ(e.camera, static_cast<int>(i) + 1);
        EXPECT_TRUE(e.file.empty()) << "not recording";
        EXPECT_GT(e.peak, 0.005);
        ASSERT_GT(e.thumbnailJpeg.size(), 3u);
        EXPECT_EQ(e.thumbnailJpeg[0], 0xFF);
        EXPECT_EQ(e.thumbnailJpeg[1], 0xD8);
        EXPECT_FALSE(w.channel->motionActive());
    }

    // Stopping ends an open event at once: the crossing comes round again with the loop.
    Watched& crossing = watched[1];
    // The detector is fed every other frame of these 15 fps files, however long they play.
    const double played = double(wallMs() - crossing.after) / 1000.0;
    const auto fed = double(crossing.channel->motionGrabber().PicturesDelivered());
    EXPECT_LE(fed, played * Fps / 2 + 2);
    EXPECT_GE(fed, (played - 1) * Fps / 2);
    ASSERT_TRUE(waitFor([&] { return crossing.starts.size() == 2; }, 10000));
    EXPECT_TRUE(crossing.channel->motionActive());
    // What a settings page shows meanwhile: the detector's picture and the pixels it counts.
    MotionView view;
    ASSERT_TRUE(waitFor(
        [&] {
            return crossing.channel->motionView(view) &&
                   std::count(view.changed.begin(), view.changed.end(), 0) <
                       static_cast<long>(view.changed.size());
        },
        2000));
    EXPECT_EQ(view.width, 160);
    EXPECT_EQ(view.height, 120);
    EXPECT_EQ(view.grey.size(), 160u * 120u);
    EXPECT_EQ(view.changed.size(), view.grey.size());
    crossing.channel->stopPreview();
    ASSERT_EQ(crossing.ends.size(), 2u) << "told before the stop returns";
    EXPECT_FALSE(crossing.channel->motionActive());
    EXPECT_EQ(crossing.ends[1].startMs, crossing.starts[1]);
    unsetenv("NORVALE_TEST_FILES");
}
