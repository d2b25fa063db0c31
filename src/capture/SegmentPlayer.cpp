#include "SegmentPlayer.h"

#include "GstRuntime.h"
#include "PipelineUtil.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <algorithm>

namespace norvale {

namespace {

constexpr GstClockTime PrerollTimeout = 5 * GST_SECOND;

} // namespace

// One file's pipeline. Its frames reach the screen only while it is the current one: the next
// file's pipeline prerolls meanwhile, and its first frame must wait for its turn.
struct Leg {
    std::uint64_t id = 0; // commands name a leg by id: a pointer could be reused
    std::size_t index = 0;
    std::int64_t startMs = 0;
    std::atomic<bool> current{false};
    std::atomic<bool> failed{false};
    gst::Ref<GstElement> sink;
    gst::Pipeline pipeline; // last: goes first, stopping the streaming threads that use the rest
};

struct TSegmentPlayer::Impl {
    std::vector<ExportSource> sources;
    std::uint64_t lastId = 0;
    std::unique_ptr<Leg> current;
    std::unique_ptr<Leg> next;
};

TSegmentPlayer::TSegmentPlayer(Callbacks callbacks)
    : callbacks_(std::move(callbacks)), d_(std::make_unique<Impl>()) {
    gst::ensureInitialised();
    worker_ = std::thread([this] { loop(); });
}

TSegmentPlayer::~TSegmentPlayer() {
    {
        std::lock_guard lock(commandLock_);
        quit_ = true;
    }
    commandWake_.notify_all();
    worker_.join();
}

void TSegmentPlayer::post(std::function<void()> command) {
    {
        std::lock_guard lock(commandLock_);
        commands_.push_back(std::move(command));
    }
    commandWake_.notify_one();
}

void TSegmentPlayer::loop() {
    for (;;) {
        std::function<void()> command;
        {
            std::unique_lock lock(commandLock_);
            commandWake_.wait(lock, [this] { return quit_ || !commands_.empty(); });
            if (quit_)
                break;
            command = std::move(commands_.front());
            commands_.pop_front();
        }
        command();
    }
    // Pipelines go down on the thread that ran them.
    d_->next.reset();
    d_->current.reset();
}

std::shared_ptr<const TVideoFrame> TSegmentPlayer::LatestFrame() const {
    std::lock_guard lock(frameLock_);
    const_cast<TSegmentPlayer*>(this)->listenerArmed_ = true;
    return latest_;
}

void TSegmentPlayer::SetFrameListener(std::function<void()> listener) {
    std::lock_guard lock(frameLock_);
    listener_ = std::move(listener);
    listenerArmed_ = true;
}

namespace {

struct LegContext {
    TSegmentPlayer* player;
    Leg* leg;
};

} // namespace

// The streaming threads' side: frames of the current leg become the latest frame, and the
// leg's end or failure becomes a command for the player's thread.
struct PlayerHooks {
    static GstFlowReturn deliver(TSegmentPlayer& p, Leg& leg, gst::Sample sample) {
        if (!leg.current.load() || !sample)
            return GST_FLOW_OK;
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        GstCaps* caps = gst_sample_get_caps(sample.get());
        GstVideoInfo info;
        if (!buffer || !caps || !gst_video_info_from_caps(&info, caps))
            return GST_FLOW_OK;
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
            return GST_FLOW_OK;
        const uint8_t* data = map.data;
        gst_buffer_unmap(buffer, &map); // the sample keeps the memory alive
        auto owner = std::shared_ptr<GstSample>(sample.release(), gst_sample_unref);
        auto frame = std::make_shared<TVideoFrame>(
            GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info),
            GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), data, owner, TVideoFrame::PixelFormat::Bgrx32);
        if (GST_BUFFER_PTS_IS_VALID(buffer))
            p.position_ =
                leg.startMs + static_cast<std::int64_t>(GST_BUFFER_PTS(buffer) / GST_MSECOND);
        std::function<void()> notify;
        {
            std::lock_guard lock(p.frameLock_);
            p.latest_ = std::move(frame);
            if (p.listenerArmed_ && p.listener_) {
                p.listenerArmed_ = false;
                notify = p.listener_;
            }
        }
        if (notify)
            notify();
        return GST_FLOW_OK;
    }
};

namespace {

GstFlowReturn onSample(GstAppSink* sink, gpointer data) {
    auto* c = static_cast<LegContext*>(data);
    return PlayerHooks::deliver(*c->player, *c->leg, gst::Sample(gst_app_sink_pull_sample(sink)));
}

GstFlowReturn onPreroll(GstAppSink* sink, gpointer data) {
    auto* c = static_cast<LegContext*>(data);
    return PlayerHooks::deliver(*c->player, *c->leg, gst::Sample(gst_app_sink_pull_preroll(sink)));
}

} // namespace

struct PlayerControl {
    // Builds and prerolls the pipeline of file `index`; nothing when the file cannot be opened.
    static std::unique_ptr<Leg> open(TSegmentPlayer& p, std::size_t index) {
        const ExportSource& source = p.d_->sources[index];
        auto leg = std::make_unique<Leg>();
        leg->id = ++p.d_->lastId;
        leg->index = index;
        leg->startMs = source.startMs;
        std::string error;
        leg->pipeline = gst::parsePipeline(
            "filesrc location=" + gst::quotedLocation(source.file) +
                " ! decodebin ! videoconvert ! video/x-raw,format=BGRx ! appsink name=sink "
                "sync=true max-buffers=2",
            error);
        if (!leg->pipeline)
            return nullptr;
        leg->sink = gst::childByName(leg->pipeline.get(), "sink");
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = onSample;
        callbacks.new_preroll = onPreroll;
        callbacks.eos = [](GstAppSink*, gpointer data) {
            auto* c = static_cast<LegContext*>(data);
            c->player->post(
                [player = c->player, id = c->leg->id] { PlayerControl::ended(*player, id); });
        };
        gst_app_sink_set_callbacks(GST_APP_SINK(leg->sink.get()), &callbacks,
                                   new LegContext{&p, leg.get()},
                                   [](gpointer data) { delete static_cast<LegContext*>(data); });
        // Errors come as bus messages; a sync handler turns them into a command at once.
        gst::Ref<GstBus> bus(gst_element_get_bus(leg->pipeline.get()));
        gst_bus_set_sync_handler(
            bus.get(),
            [](GstBus*, GstMessage* message, gpointer data) {
                if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
                    auto* c = static_cast<LegContext*>(data);
                    if (!c->leg->failed.exchange(true))
                        c->player->post([player = c->player, id = c->leg->id] {
                            PlayerControl::failed(*player, id);
                        });
                }
                return GST_BUS_DROP;
            },
            new LegContext{&p, leg.get()},
            [](gpointer data) { delete static_cast<LegContext*>(data); });
        gst_element_set_state(leg->pipeline.get(), GST_STATE_PAUSED);
        if (gst_element_get_state(leg->pipeline.get(), nullptr, nullptr, PrerollTimeout) ==
                GST_STATE_CHANGE_FAILURE ||
            leg->failed) {
            if (p.callbacks_.damaged)
                p.callbacks_.damaged(source.file.string());
            return nullptr;
        }
        return leg;
    }

    static void seek(TSegmentPlayer& p, Leg& leg, std::int64_t offsetMs, bool accurate) {
        const auto flags = static_cast<GstSeekFlags>(
            GST_SEEK_FLAG_FLUSH | (accurate ? GST_SEEK_FLAG_ACCURATE : GST_SEEK_FLAG_KEY_UNIT));
        gst_element_seek(leg.pipeline.get(), p.rate_.load(), GST_FORMAT_TIME, flags,
                         GST_SEEK_TYPE_SET, std::max<std::int64_t>(offsetMs, 0) * GST_MSECOND,
                         GST_SEEK_TYPE_NONE, GST_CLOCK_TIME_NONE);
        gst_element_get_state(leg.pipeline.get(), nullptr, nullptr, PrerollTimeout);
    }

    // Makes `leg` the one shown and lets it run (unless paused); readies the file after it.
    static void makeCurrent(TSegmentPlayer& p, std::unique_ptr<Leg> leg) {
        p.d_->current = std::move(leg);
        p.d_->current->current = true;
        if (!p.paused_)
            gst_element_set_state(p.d_->current->pipeline.get(), GST_STATE_PLAYING);
        p.running_ = true;
        p.d_->next.reset();
        for (std::size_t i = p.d_->current->index + 1; i < p.d_->sources.size() && !p.d_->next; ++i)
            p.d_->next = open(p, i);
    }

    static bool is(const std::unique_ptr<Leg>& leg, std::uint64_t id) {
        return leg && leg->id == id;
    }

    static void ended(TSegmentPlayer& p, std::uint64_t id) {
        if (is(p.d_->current, id)) // not a leg already replaced
            advance(p);
    }

    static void failed(TSegmentPlayer& p, std::uint64_t id) {
        if (is(p.d_->next, id)) {
            // Found again, and reported, when its turn comes.
            p.d_->next.reset();
            return;
        }
        if (!is(p.d_->current, id))
            return;
        if (p.callbacks_.damaged)
            p.callbacks_.damaged(p.d_->sources[p.d_->current->index].file.string());
        advance(p);
    }

    static void advance(TSegmentPlayer& p) {
        const std::size_t after = p.d_->current ? p.d_->current->index : 0;
        if (p.d_->current)
            p.d_->current->current = false;
        std::unique_ptr<Leg> next = std::move(p.d_->next);
        if (!next)
            for (std::size_t i = after + 1; i < p.d_->sources.size() && !next; ++i)
                next = open(p, i);
        p.d_->current.reset();
        if (!next) {
            p.running_ = false;
            if (p.callbacks_.ended)
                p.callbacks_.ended();
            return;
        }
        if (p.rate_.load() != 1.0)
            seek(p, *next, 0, false);
        makeCurrent(p, std::move(next));
    }
};

void TSegmentPlayer::setSources(std::vector<ExportSource> sources) {
    post([this, sources = std::move(sources)]() mutable {
        d_->next.reset();
        d_->current.reset();
        running_ = false;
        d_->sources = std::move(sources);
    });
}

void TSegmentPlayer::playFrom(std::int64_t wallMs) {
    ++playsAsked_;
    post([this, wallMs] {
        d_->next.reset();
        d_->current.reset();
        running_ = false;
        auto& sources = d_->sources;
        std::size_t index = 0;
        for (std::size_t i = 0; i < sources.size(); ++i)
            if (sources[i].startMs <= wallMs)
                index = i;
        std::unique_ptr<Leg> leg;
        for (; index < sources.size() && !leg; ++index)
            leg = PlayerControl::open(*this, index);
        if (leg) {
            leg->current = true;
            if (wallMs > leg->startMs)
                PlayerControl::seek(*this, *leg, wallMs - leg->startMs, true);
            else if (rate_.load() != 1.0)
                PlayerControl::seek(*this, *leg, 0, false);
            PlayerControl::makeCurrent(*this, std::move(leg));
        }
        --playsAsked_;
        if (!running_ && !sources.empty() && callbacks_.ended)
            callbacks_.ended();
    });
}

void TSegmentPlayer::pause() {
    paused_ = true;
    post([this] {
        if (d_->current)
            gst_element_set_state(d_->current->pipeline.get(), GST_STATE_PAUSED);
    });
}

void TSegmentPlayer::resume() {
    paused_ = false;
    post([this] {
        if (d_->current)
            gst_element_set_state(d_->current->pipeline.get(), GST_STATE_PLAYING);
    });
}

void TSegmentPlayer::setRate(double rate) {
    rate_ = std::clamp(rate, 0.5, 16.0);
    post([this] {
        if (!d_->current)
            return;
        gint64 at = 0;
        if (!gst_element_query_position(d_->current->pipeline.get(), GST_FORMAT_TIME, &at))
            at = (position_.load() - d_->current->startMs) * static_cast<gint64>(GST_MSECOND);
        PlayerControl::seek(*this, *d_->current, at / static_cast<gint64>(GST_MSECOND), true);
        if (!paused_)
            gst_element_set_state(d_->current->pipeline.get(), GST_STATE_PLAYING);
    });
}

void TSegmentPlayer::stepFrame() {
    post([this] {
        if (!d_->current || !paused_)
            return;
        gst_element_send_event(d_->current->sink.get(),
                               gst_event_new_step(GST_FORMAT_BUFFERS, 1, 1.0, TRUE, FALSE));
    });
}

void TSegmentPlayer::stop() {
    post([this] {
        d_->next.reset();
        d_->current.reset();
        running_ = false;
    });
}

} // namespace norvale
