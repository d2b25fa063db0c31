#pragma once
// Real recordings for the tests that read them back: made by the recorder from a synthetic
// camera as the camera channel makes them, and read with ffprobe.
#include "CaptureTestSupport.h"

#include "capture/ASFWriter.h"
#include "capture/SampleGrabber.h"
#include "capture/TestCameras.h"
#include "capture/VideoRenderer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace norvale::test {

struct PipeCloser {
    void operator()(std::FILE* f) const { pclose(f); }
};

// ffprobe's codec, frame count and duration of a file's video.
struct Probe {
    std::string codec;
    int frames = 0;
    double duration = 0;
};

inline Probe probe(const std::filesystem::path& file) {
    const std::string cmd = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                            "stream=codec_name,nb_read_frames:format=duration -of "
                            "default=noprint_wrappers=1 '" +
                            file.string() + "' 2>/dev/null";
    std::unique_ptr<std::FILE, PipeCloser> pipe(popen(cmd.c_str(), "r"));
    Probe p;
    std::array<char, 256> line{};
    while (pipe && std::fgets(line.data(), line.size(), pipe.get())) {
        const std::string l(line.data());
        const auto eq = l.find('=');
        if (eq == std::string::npos)
            continue;
        const auto key = l.substr(0, eq), value = l.substr(eq + 1);
        if (key == "codec_name")
            p.codec = value.substr(0, value.find('\n'));
        else if (key == "nb_read_frames")
            p.frames = std::atoi(value.c_str());
        else if (key == "duration")
            p.duration = std::atof(value.c_str());
    }
    return p;
}

// Records `frames` frames of test camera 1 into `file` as the camera channel does; with
// `ownStream`, camera 1 sends MJPEG and its own stream is recorded (give a .mkv name).
inline void record(const std::filesystem::path& file, int frames, bool ownStream = false) {
    testcameras::setMjpeg(1, ownStream);
    TFilterGraph graph;
    TASFWriter writer;
    TSampleGrabber grabber;
    TFilter source;
    TVideoRenderer renderer;
    test::FrameCounter counter;
    for (TFilterComponent* c :
         std::initializer_list<TFilterComponent*>{&grabber, &source, &renderer})
        c->SetFilterGraph(&graph);
    if (!ownStream)
        writer.SetFilterGraph(&graph);
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    source.BaseFilter().StoreMoniker(devices.MonikerAt(test::testCameraIndex(devices, 1)));
    grabber.SetOnBuffer([&](TSampleGrabber&, double, const uint8_t*, size_t) { counter.add(); });
    writer.SetFileName(file);
    graph.SetActive(true);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
    if (ownStream) {
        writer.SetOwnStream(graph.SourceMediaType(source));
        writer.SetFilterGraph(&graph);
    }
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_CAPTURE, source, nullptr, writer), hr::S_OK);
    auto [w, h] = graph.NativeVideoSize();
    TWriterProfile profile;
    profile.BitRate = 256000;
    profile.Width = w;
    profile.Height = h;
    ASSERT_EQ(writer.ConfigureFilterUsingProfile(profile), hr::S_OK);
    graph.RunGraph();
    ASSERT_TRUE(counter.waitFor(frames));
    graph.StopGraph();
    graph.PurgeGraph();
    graph.SetActive(false);
    testcameras::setMjpeg(1, false);
}

} // namespace norvale::test
