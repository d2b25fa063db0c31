#include "Exporter.h"

#include "ASFWriter.h"
#include "GstHandles.h"
#include "GstRuntime.h"
#include "PipelineUtil.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <algorithm>
#include <unistd.h>

namespace norvale {

namespace {

constexpr GstClockTime ReadTimeout = 10 * GST_SECOND;
constexpr GstClockTime FrameTime = GST_SECOND / 15;

using gst::Pipeline;

// The first error the pipeline posted, if any.
std::string pendingError(GstElement* pipeline) {
    gst::Ref<GstBus> bus(gst_element_get_bus(pipeline));
    while (gst::Message m{gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)}) {
        GError* raw = nullptr;
        gst_message_parse_error(m.get(), &raw, nullptr);
        gst::Error e(raw);
        return e ? e->message : "unknown error";
    }
    return {};
}

// The media type of a sample's stream ("video/x-wmv", "image/jpeg", ...).
std::string codecOf(GstSample* sample) {
    GstCaps* caps = gst_sample_get_caps(sample);
    if (!caps || gst_caps_get_size(caps) == 0)
        return {};
    return gst_structure_get_name(gst_caps_get_structure(caps, 0));
}

const char* h264Encoder() {
    for (const char* name : {"x264enc", "openh264enc"})
        if (gst::Ref<GstElementFactory> f{gst_element_factory_find(name)})
            return name;
    return nullptr;
}

std::string writerDescription(TExporter::Format format, const std::filesystem::path& file) {
    const std::string sink = " ! filesink sync=false location=" + gst::quotedLocation(file);
    const std::string src = "appsrc name=src format=time block=true max-bytes=4000000";
    if (format == TExporter::Format::Wmv)
        return src + " ! video/x-wmv ! asfmux packet-size=1400 streamable=false" + sink;
    if (format == TExporter::Format::Mkv)
        return src + " ! matroskamux" + sink;
    const std::string encoder = h264Encoder();
    const std::string settings =
        encoder == "x264enc" ? " speed-preset=veryfast key-int-max=45" : " gop-size=45";
    // Phones and browsers want 4:2:0 and an index at the front is not needed for a file.
    // `trim` is where decoded frames before the span are dropped: only the encoded formats can
    // start exactly where the span does.
    return src + " ! decodebin ! videoconvert name=trim ! video/x-raw,format=I420 ! " + encoder +
           settings + " ! h264parse ! mp4mux" + sink;
}

// A recording's compressed frames, as they were written: WMV1 from ASF, or whatever a camera's
// own stream was from Matroska (parsed, so key frames are marked).
std::string readerDescription(const std::filesystem::path& file) {
    const std::string src = "filesrc location=" + gst::quotedLocation(file);
    const std::string sink = " ! appsink name=sink sync=false max-buffers=64";
    if (file.extension() == ".mkv")
        return src + " ! matroskademux ! parsebin" + sink;
    return src + " ! asfdemux ! video/x-wmv" + sink;
}

// Decoded frames of a re-encoded export: those before the span (decoded from the key frame
// before it only to make the first frame of the span) are dropped, and the rest start at 0.
struct Trim {
    std::atomic<GstClockTime> before{0};
    std::atomic<std::int64_t> dropped{0};
};

GstPadProbeReturn trimProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* t = static_cast<Trim*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    const GstClockTime before = t->before.load();
    if (!buffer || before == 0 || !GST_BUFFER_PTS_IS_VALID(buffer))
        return GST_PAD_PROBE_OK;
    if (GST_BUFFER_PTS(buffer) < before) {
        ++t->dropped;
        return GST_PAD_PROBE_DROP;
    }
    buffer = gst_buffer_make_writable(buffer);
    GST_BUFFER_PTS(buffer) -= before;
    if (GST_BUFFER_DTS_IS_VALID(buffer))
        GST_BUFFER_DTS(buffer) -= std::min(before, GST_BUFFER_DTS(buffer));
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}

} // namespace

bool TExporter::mp4Available() {
    gst::ensureInitialised();
    return h264Encoder() != nullptr;
}

TExporter::~TExporter() {
    cancel();
    wait();
}

void TExporter::wait() {
    if (worker_.joinable())
        worker_.join();
}

bool TExporter::start(std::vector<ExportSource> sources, std::int64_t fromMs, std::int64_t toMs,
                      std::filesystem::path target, Format format,
                      std::function<void(double)> progress,
                      std::function<void(const Result&)> done) {
    if (running_)
        return false;
    wait();
    cancel_ = false;
    running_ = true;
    worker_ = std::thread([=, this, sources = std::move(sources), target = std::move(target)] {
        const Result r = run(sources, fromMs, toMs, target, format, progress, cancel_);
        running_ = false;
        if (done)
            done(r);
    });
    return true;
}

TExporter::Result TExporter::run(const std::vector<ExportSource>& sources, std::int64_t fromMs,
                                 std::int64_t toMs, const std::filesystem::path& target,
                                 Format format, const std::function<void(double)>& progress,
                                 const std::atomic<bool>& cancel) {
    gst::ensureInitialised();
    Result result;
    if (sources.empty() || toMs <= fromMs) {
        result.error = "Nothing was recorded in that time.";
        return result;
    }
    if (format == Format::Mp4 && !h264Encoder()) {
        result.error = "No H.264 encoder is installed (x264enc or openh264enc).";
        return result;
    }
    // A hidden name beside the target: renamed at the end, removed on any other way out.
    const auto partial = target.parent_path() /
                         ("." + target.filename().string() + ".part-" + std::to_string(::getpid()));
    struct Cleanup {
        const std::filesystem::path& path;
        bool keep = false;
        ~Cleanup() {
            if (!keep) {
                std::error_code ec;
                std::filesystem::remove(path, ec);
            }
        }
    } cleanup{partial};

    Trim trim; // before the writer: its probe may run until the writer is gone
    Pipeline writer = gst::parsePipeline(writerDescription(format, partial), result.error);
    if (!writer)
        return result;
    auto src = gst::childByName(writer.get(), "src");
    auto* appsrc = GST_APP_SRC(src.get());
    if (auto trimElement = gst::childByName(writer.get(), "trim")) {
        gst::Ref<GstPad> pad(gst_element_get_static_pad(trimElement.get(), "sink"));
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, trimProbe, &trim, nullptr);
    }
    bool writerStarted = false;

    // The file holding the span's start: the last that began at or before it.
    std::size_t first = 0;
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (sources[i].startMs <= fromMs)
            first = i;

    const double span = static_cast<double>(toMs - fromMs);
    std::int64_t baseMs = -1; // wall-clock time of the export's first frame
    GstClockTime lastOut = GST_CLOCK_TIME_NONE;
    gst::Buffer held; // the frame before, waiting for its duration
    auto push = [&](GstClockTime next) {
        if (!held)
            return true;
        GST_BUFFER_DURATION(held.get()) = next - GST_BUFFER_PTS(held.get());
        return gst_app_src_push_buffer(appsrc, held.release()) == GST_FLOW_OK;
    };
    bool finished = false;
    std::string codecName;   // of the export's first frame
    bool wrongCodec = false; // a recording that WMV cannot hold
    for (std::size_t i = first; i < sources.size() && !finished; ++i) {
        const ExportSource& source = sources[i];
        if (source.startMs >= toMs)
            break;
        Pipeline reader = gst::parsePipeline(readerDescription(source.file), result.error);
        if (!reader)
            return result;
        auto sinkElement = gst::childByName(reader.get(), "sink");
        auto* sink = GST_APP_SINK(sinkElement.get());
        if (gst_element_set_state(reader.get(), GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE ||
            gst_element_get_state(reader.get(), nullptr, nullptr, ReadTimeout) ==
                GST_STATE_CHANGE_FAILURE) {
            // A damaged or missing file: go on with the next one.
            continue;
        }
        if (source.startMs < fromMs)
            gst_element_seek_simple(reader.get(), GST_FORMAT_TIME,
                                    static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH |
                                                              GST_SEEK_FLAG_KEY_UNIT |
                                                              GST_SEEK_FLAG_SNAP_BEFORE),
                                    static_cast<gint64>(fromMs - source.startMs) * GST_MSECOND);
        gst_element_set_state(reader.get(), GST_STATE_PLAYING);

        bool keySeen = false;
        while (!finished) {
            if (cancel) {
                result.cancelled = true;
                return result;
            }
            gst::Sample sample(gst_app_sink_try_pull_sample(sink, ReadTimeout));
            if (!sample)
                break; // end of this file (or it stopped delivering)
            GstBuffer* in = gst_sample_get_buffer(sample.get());
            if (!in || !GST_BUFFER_PTS_IS_VALID(in))
                continue;
            const bool key = !GST_BUFFER_FLAG_IS_SET(in, GST_BUFFER_FLAG_DELTA_UNIT);
            const std::int64_t atMs =
                source.startMs + static_cast<std::int64_t>(GST_BUFFER_PTS(in) / GST_MSECOND);
            if (atMs >= toMs) {
                finished = true;
                break;
            }
            // Every file is entered at a key frame; a frame before the span's key frame is
            // not wanted.
            if (!keySeen && !key)
                continue;
            if (!keySeen) {
                // One codec per export: a file in another than the first is left out.
                const std::string codec = codecOf(sample.get());
                if (codecName.empty())
                    codecName = codec;
                if (codec != codecName || (format == Format::Wmv && codec != "video/x-wmv")) {
                    if (format == Format::Wmv && codec != "video/x-wmv")
                        wrongCodec = true;
                    break;
                }
            }
            keySeen = true;
            if (baseMs < 0) {
                baseMs = atMs;
                trim.before = static_cast<GstClockTime>(std::max<std::int64_t>(0, fromMs - atMs)) *
                              GST_MSECOND;
                if (GstCaps* caps = gst_sample_get_caps(sample.get()))
                    gst_app_src_set_caps(appsrc, caps);
                if (gst_element_set_state(writer.get(), GST_STATE_PLAYING) ==
                    GST_STATE_CHANGE_FAILURE) {
                    result.error = pendingError(writer.get());
                    return result;
                }
                writerStarted = true;
            }
            const GstClockTime out = static_cast<GstClockTime>(atMs - baseMs) * GST_MSECOND;
            if (GST_CLOCK_TIME_IS_VALID(lastOut) && out <= lastOut)
                continue; // overlapping files: each moment once
            lastOut = out;
            // Each frame lasts until the next one (the recorder drops frames to hold its bit
            // rate, and the muxer adds the durations up for the file's length), so a frame is
            // sent on once the next has come.
            gst::Buffer copy(gst_buffer_copy(in));
            GST_BUFFER_PTS(copy.get()) = out;
            GST_BUFFER_DTS(copy.get()) = out;
            if (!push(out)) {
                result.error = pendingError(writer.get());
                if (result.error.empty())
                    result.error = "The export file cannot be written.";
                return result;
            }
            held = std::move(copy);
            ++result.frames;
            if (progress)
                progress(std::clamp((atMs - fromMs) / span, 0.0, 1.0));
        }
    }
    if (!writerStarted || result.frames == 0) {
        result.error = wrongCodec ? "These recordings are not WMV: export them as MKV or MP4."
                                  : "Nothing was recorded in that time.";
        return result;
    }
    if (!push(lastOut + FrameTime)) {
        result.error = "The export file cannot be written.";
        return result;
    }
    gst_app_src_end_of_stream(appsrc);
    gst::Ref<GstBus> bus(gst_element_get_bus(writer.get()));
    gst::Message end(gst_bus_timed_pop_filtered(
        bus.get(), 120 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    if (!end || GST_MESSAGE_TYPE(end.get()) != GST_MESSAGE_EOS) {
        if (end) {
            GError* raw = nullptr;
            gst_message_parse_error(end.get(), &raw, nullptr);
            gst::Error e(raw);
            result.error = e ? e->message : "The export file cannot be written.";
        } else {
            result.error = "The export did not finish.";
        }
        return result;
    }
    writer.reset();
    result.frames -= trim.dropped.load();
    if (format == Format::Wmv) {
        // The same finishing touches as a recording gets.
        RepairLastAsfPacket(partial);
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(partial, ec);
        TWriterProfile facts;
        const double seconds = static_cast<double>(lastOut + FrameTime) / GST_SECOND;
        facts.BitRate = seconds > 0 ? static_cast<uint32_t>(bytes * 8 / seconds) : 0;
        RepairAsfHeader(partial, facts);
    }
    std::error_code ec;
    std::filesystem::rename(partial, target, ec);
    if (ec) {
        result.error = ec.message();
        return result;
    }
    cleanup.keep = true;
    if (progress)
        progress(1.0);
    result.ok = true;
    return result;
}

} // namespace norvale
