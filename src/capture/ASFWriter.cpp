#include "ASFWriter.h"

#include "CaptureLog.h"
#include "GraphInternal.h"
#include "NetworkStream.h"
#include "core/AsfStream.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace norvale {

namespace {

using WallClock = std::chrono::system_clock;

// How long finishing a file left behind may wait for its end of stream to reach the file.
constexpr std::chrono::seconds FinishTimeout{5};

// How late an event's start may reach a gated writer and still find all its pre-roll: the
// detector needs a few frames to be sure, then the news goes through the GUI thread.
constexpr GstClockTime EventLatency = 3 * GST_SECOND;
// An event starts with the first frame the detector judged, which may show an object that
// entered up to a detection interval earlier (and only its edge): an event's file reaches back
// this much more than its pre-roll, so the pre-roll is whole before the entry itself.
constexpr GstClockTime EntryAllowance = GST_SECOND / 2;

} // namespace

// One file of a recording: its muxer and file sink inside the writer's bin.
struct WriterSegment {
    TASFWriter::Impl* owner = nullptr;
    gst::Ref<GstElement> muxer, sink;
    gst::Ref<GstPad> input; // the muxer's video pad
    gulong eosProbe = 0;
    std::filesystem::path file;
    FileNameClaim claim;
    WallClock::time_point started, ended;
    GstClockTime first = GST_CLOCK_TIME_NONE; // stream time of its first frame
    GstClockTime end = GST_CLOCK_TIME_NONE;   // and of the end of its last one
    GstClockTime shift = 0; // taken off its frames' times, so that the file starts at 0
    std::uint64_t frames = 0;
    bool eos = false; // the end of stream has reached the file (guarded by the owner's lock)

    ~WriterSegment() {
        if (eosProbe && sink)
            if (gst::Ref<GstPad> pad{gst_element_get_static_pad(sink.get(), "sink")})
                gst_pad_remove_probe(pad.get(), eosProbe);
    }
};

namespace {

// Finishes the files that segment changes leave behind, one after the other, on its own thread,
// so the streaming thread only swaps branches.
class SegmentFinisher {
public:
    explicit SegmentFinisher(std::function<void(WriterSegment&)> finish)
        : finish_(std::move(finish)) {}
    ~SegmentFinisher() { shutdown(); }

    void post(std::unique_ptr<WriterSegment> segment) {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(segment));
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        wake_.notify_all();
    }
    // Returns once every file posted so far is finished.
    void drain() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return jobs_.empty() && !busy_; });
    }
    // Finishes what is posted, then ends the thread.
    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            wake_.notify_all();
        }
        if (thread_.joinable())
            thread_.join();
        std::lock_guard lock(mutex_);
        stop_ = false;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            std::unique_ptr<WriterSegment> job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ = true;
            lock.unlock();
            finish_(*job);
            job.reset();
            lock.lock();
            busy_ = false;
            idle_.notify_all();
        }
    }

    const std::function<void(WriterSegment&)> finish_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<std::unique_ptr<WriterSegment>> jobs_;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace

namespace {

// The encoded frames a gated writer keeps for the start of the next event: a ring of references
// whose size is fixed when a run starts, so holding a frame never allocates.
class FrameRing {
public:
    struct Frame {
        gst::Buffer buffer;
        GstClockTime pts = GST_CLOCK_TIME_NONE;
        bool key = false;
    };

    // Any thread while nothing streams.
    void reset(std::size_t capacity) {
        slots_.clear();
        slots_.resize(capacity);
        head_ = size_ = 0;
    }
    void clear() {
        while (size_ > 0)
            popFront();
    }

    std::size_t size() const { return size_; }
    const Frame& at(std::size_t i) const { return slots_[(head_ + i) % slots_.size()]; }

    // Keeps a reference to the frame; a full ring lets its oldest frame go.
    void push(GstBuffer* buffer, GstClockTime pts, bool key) {
        if (slots_.empty())
            return;
        if (size_ == slots_.size())
            popFront();
        Frame& f = slots_[(head_ + size_) % slots_.size()];
        f.buffer.reset(gst_buffer_ref(buffer));
        f.pts = pts;
        f.key = key;
        ++size_;
    }

    // Lets go of every frame before the newest key frame at or before `from`: a file starting at
    // `from` or later never needs them. Only frames that old are looked at.
    void trim(GstClockTime from) {
        std::size_t cut = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            const Frame& f = at(i);
            if (!GST_CLOCK_TIME_IS_VALID(f.pts) || f.pts > from)
                break;
            if (f.key)
                cut = i;
        }
        while (cut-- > 0)
            popFront();
    }

    // Where a file that is to show everything from `from` on begins: the newest key frame at or
    // before it, else the oldest key frame held; size() when no key frame is held.
    std::size_t startFor(GstClockTime from) const {
        std::size_t start = size_;
        for (std::size_t i = 0; i < size_; ++i) {
            const Frame& f = at(i);
            if (!f.key)
                continue;
            if (start == size_ || (GST_CLOCK_TIME_IS_VALID(f.pts) && f.pts <= from))
                start = i;
            else
                break;
        }
        return start;
    }

private:
    void popFront() {
        slots_[head_].buffer.reset();
        head_ = (head_ + 1) % slots_.size();
        --size_;
    }

    std::vector<Frame> slots_;
    std::size_t head_ = 0, size_ = 0;
};

} // namespace

struct TASFWriter::Impl {
    Impl() : finisher([this](WriterSegment& s) { finishLeftBehind(s); }) {}

    gst::Ref<GstElement> bin;
    gst::Ref<GstElement> rate, scale, format, encoder, rebase;
    // Recording the camera's own stream: its parser instead of the encoding chain, Matroska
    // instead of ASF.
    gst::Ref<GstElement> parser;
    bool ownStream = false;
    // The live service: a tee after the encoder feeds the file and, behind a leaky queue that
    // can never hold up the recording, the viewers.
    gst::Ref<GstElement> tee, fileQueue, netQueue;
    std::unique_ptr<NetworkStream> network;
    // The pad the current file's muxer hangs on; a probe on it changes files.
    gst::Ref<GstPad> feed;
    int segmentsMade = 0;
    FileNameClaim pendingClaim; // for the first file, until the writer joins a graph

    std::mutex lock;
    std::condition_variable finished;
    std::unique_ptr<WriterSegment> current; // swapped by the streaming thread while running
    // Fixed when a run starts.
    GstClockTime segmentLength = 0;
    FileNameProvider provider;
    SegmentHandler onFinished;
    TWriterProfile profile;
    bool indexed = true;
    bool rolling = false; // off after a failed change of file, until the next run

    SegmentFinisher finisher;

    // The event gate: on from joining a graph to leaving it.
    std::atomic<bool> gated{false};
    GstClockTime preRoll = 0;
    GstClockTime keySpacing = 3 * GST_SECOND; // the longest the encoder goes without a key frame
    FrameRing ring;                           // the streaming thread's while running
    // Events asked for (guarded by the lock): a start is pending while begun != served.
    std::uint64_t begun = 0, served = 0;
    FileNameClaim eventClaim; // the pending event's file, named when it began
    // Its name, kept while the streaming thread takes the claim and opens the file.
    std::filesystem::path eventPath;
    GstClockTime openFrom = 0; // running time the pending event's file is to show from
    bool closeWanted = false;
    bool stopping = false; // no event opens once the graph is stopping
    // Wall clock less running time, in nanoseconds, as measured when the last event began.
    std::int64_t wallOffset = 0;
    bool replaying = false; // the streaming thread feeds a new event's file from the ring

    std::unique_ptr<WriterSegment> makeSegment(const std::filesystem::path& file, bool indexed);
    void roll(GstPad* feedPad, GstClockTime at);
    bool gate(GstPad* feedPad, GstBuffer* buffer);
    enum class Opening { Opened, NotYet, Failed };
    Opening openEvent(GstPad* feedPad, GstClockTime from);
    void closeEvent(GstPad* feedPad);
    WallClock::time_point wallTimeOf(GstClockTime running);
    void discard(WriterSegment& s);
    void finishLeftBehind(WriterSegment& s);
    void report(WriterSegment& s);
};

namespace {

GstPadProbeReturn eosProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (event && GST_EVENT_TYPE(event) == GST_EVENT_EOS) {
        auto* s = static_cast<WriterSegment*>(data);
        std::lock_guard lock(s->owner->lock);
        s->eos = true;
        s->owner->finished.notify_all();
    }
    return GST_PAD_PROBE_OK;
}

// Every encoded frame on its way to the file: counted into its file, and the moment a file is
// due to change, the one that starts the next file.
GstPadProbeReturn feedProbe(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* d = static_cast<TASFWriter::Impl*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    if (d->gated.load(std::memory_order_relaxed) && !d->replaying && !d->gate(pad, buffer))
        return GST_PAD_PROBE_DROP;
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    bool due = false;
    {
        std::lock_guard lock(d->lock);
        const WriterSegment* s = d->current.get();
        due = s && d->rolling && d->segmentLength > 0 && s->frames > 0 &&
              GST_CLOCK_TIME_IS_VALID(pts) && GST_CLOCK_TIME_IS_VALID(s->first) &&
              !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT) &&
              pts >= s->first + d->segmentLength;
    }
    if (due)
        d->roll(pad, pts);
    GstClockTime shift = 0;
    {
        std::lock_guard lock(d->lock);
        WriterSegment* s = d->current.get();
        if (!s)
            return GST_PAD_PROBE_OK;
        if (!GST_CLOCK_TIME_IS_VALID(s->first))
            s->first = pts;
        ++s->frames;
        if (GST_CLOCK_TIME_IS_VALID(pts))
            s->end = pts + (GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : 0);
        shift = s->shift;
    }
    if (shift > 0) {
        buffer = gst_buffer_make_writable(buffer);
        if (GST_BUFFER_PTS_IS_VALID(buffer))
            GST_BUFFER_PTS(buffer) -= std::min(shift, GST_BUFFER_PTS(buffer));
        if (GST_BUFFER_DTS_IS_VALID(buffer))
            GST_BUFFER_DTS(buffer) -= std::min(shift, GST_BUFFER_DTS(buffer));
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
    }
    return GST_PAD_PROBE_OK;
}

// Frames a gated run keeps at most: the pre-roll, the allowance for late news of an event and a
// group of pictures, at the profile's frame rate, with room to spare. Bounded whatever the
// profile says.
std::size_t ringCapacity(const TWriterProfile& p, std::chrono::seconds preRoll) {
    const double fps = p.AvgTimePerFrame > 0 ? std::clamp(1e7 / p.AvgTimePerFrame, 1.0, 120.0) : 15;
    const double gop = p.MaxKeyFrameSpacing > 0 ? std::min(p.MaxKeyFrameSpacing / 1e7, 60.0) : 3.0;
    const double seconds = static_cast<double>(preRoll.count()) +
                           static_cast<double>(EventLatency + EntryAllowance) / GST_SECOND + gop +
                           1;
    return std::clamp<std::size_t>(static_cast<std::size_t>(seconds * fps) + 16, 16, 16384);
}

} // namespace

std::unique_ptr<WriterSegment> TASFWriter::Impl::makeSegment(const std::filesystem::path& file,
                                                             bool indexed) {
    auto s = std::make_unique<WriterSegment>();
    s->owner = this;
    s->file = file;
    // Names are unique inside the bin; the first file keeps the plain ones.
    const std::string suffix = segmentsMade == 0 ? "" : std::to_string(segmentsMade + 1);
    s->muxer = gst::make(ownStream ? "matroskamux" : "asfmux", ("muxer" + suffix).c_str());
    s->sink = gst::make("filesink", ("file" + suffix).c_str());
    if (!s->muxer || !s->sink)
        return nullptr;
    // Index and duration need the finished file (not streamable); small packets (ASF) or short
    // clusters (Matroska) and no file buffering keep a killed recording almost whole.
    if (ownStream)
        g_object_set(s->muxer.get(), "streamable", !indexed, "min-cluster-duration",
                     gint64{500 * GST_MSECOND}, "max-cluster-duration", gint64{GST_SECOND},
                     nullptr);
    else
        g_object_set(s->muxer.get(), "streamable", !indexed, "packet-size", PacketSize, nullptr);
    g_object_set(s->sink.get(), "location", file.c_str(), "buffer-mode", 2 /* unbuffered */,
                 "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(bin.get()), s->muxer.get());
    gst_bin_add(GST_BIN(bin.get()), s->sink.get());
    ++segmentsMade;
    s->input.reset(gst_element_request_pad_simple(s->muxer.get(), "video_%u"));
    if (!s->input || !gst_element_link(s->muxer.get(), s->sink.get())) {
        discard(*s);
        return nullptr;
    }
    gst::Ref<GstPad> fileInput(gst_element_get_static_pad(s->sink.get(), "sink"));
    s->eosProbe = gst_pad_add_probe(fileInput.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, eosProbe,
                                    s.get(), nullptr);
    return s;
}

// Takes a file branch out of the bin; it must no longer receive data.
void TASFWriter::Impl::discard(WriterSegment& s) {
    for (GstElement* e : {s.sink.get(), s.muxer.get()}) {
        if (!e)
            continue;
        gst_element_set_locked_state(e, TRUE);
        gst_element_set_state(e, GST_STATE_NULL);
    }
    if (s.input && s.muxer)
        gst_element_release_request_pad(s.muxer.get(), s.input.get());
    for (GstElement* e : {s.sink.get(), s.muxer.get()})
        if (e && GST_OBJECT_PARENT(e) == GST_OBJECT(bin.get()))
            gst_bin_remove(GST_BIN(bin.get()), e);
}

// Streaming thread, between two frames: the frame at `at` (a key frame) starts a new file.
void TASFWriter::Impl::roll(GstPad* feedPad, GstClockTime at) {
    FileNameProvider next;
    {
        std::lock_guard guard(lock);
        next = provider;
    }
    FileNameClaim claim;
    try {
        if (next)
            claim = next();
    } catch (...) {
    }
    std::unique_ptr<WriterSegment> s;
    if (!claim.empty())
        s = makeSegment(claim.path(), indexed);
    // Without a name, or with a file that cannot be made or opened (its error is on the bus
    // then, and ends the recording), the recording stays in the file it is in: nothing is lost.
    auto stay = [&] {
        if (s)
            discard(*s);
        std::lock_guard guard(lock);
        rolling = false;
    };
    if (!s || !gst_element_sync_state_with_parent(s->sink.get()) ||
        !gst_element_sync_state_with_parent(s->muxer.get())) {
        stay();
        return;
    }
    s->claim = std::move(claim);
    // An event's frames may come out of the ring, long after they were taken.
    s->started = gated ? wallTimeOf(at) : WallClock::now();
    s->first = at;
    s->shift = at;
    // Only this thread changes the current file while the graph runs.
    GstPad* oldInput = current->input.get();
    gst_pad_unlink(feedPad, oldInput);
    // The sticky events (caps, segment) go to the new muxer ahead of this frame.
    if (gst_pad_link(feedPad, s->input.get()) != GST_PAD_LINK_OK) {
        gst_pad_link(feedPad, oldInput);
        stay();
        return;
    }
    std::unique_ptr<WriterSegment> old;
    {
        std::lock_guard guard(lock);
        old = std::move(current);
        current = std::move(s);
        old->ended = current->started;
    }
    finisher.post(std::move(old));
}

// Streaming thread, gated runs, every encoded frame: kept in the ring; an event's file closed
// and opened as asked. True when the frame goes on into the open event's file.
bool TASFWriter::Impl::gate(GstPad* feedPad, GstBuffer* buffer) {
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    const bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    bool close = false, open = false;
    std::uint64_t asked = 0;
    GstClockTime from = 0;
    {
        std::lock_guard guard(lock);
        close = closeWanted;
        closeWanted = false;
        asked = begun;
        open = begun != served && !stopping;
        from = openFrom;
    }
    if (close && current)
        closeEvent(feedPad);
    ring.push(buffer, pts, key);
    if (GST_CLOCK_TIME_IS_VALID(pts)) {
        // Enough for the key frame at or before the earliest start an event may still ask for.
        const GstClockTime keep = preRoll + EventLatency + EntryAllowance + keySpacing;
        ring.trim(pts > keep ? pts - keep : 0);
    }
    if (open && !current) {
        const Opening o = openEvent(feedPad, from);
        if (o != Opening::NotYet) {
            std::lock_guard guard(lock);
            served = std::max(served, asked);
        }
        // Opened: this frame went in with the ones before it.
        return false;
    }
    if (open) { // begun again while its file is open: the same event
        std::lock_guard guard(lock);
        served = std::max(served, asked);
    }
    return current != nullptr;
}

// Streaming thread: opens a file for the event that is to show everything from `from` (running
// time) on and feeds it the frames the ring holds from the key frame that covers it, this one
// included. NotYet while no key frame is held: the next one opens it.
TASFWriter::Impl::Opening TASFWriter::Impl::openEvent(GstPad* feedPad, GstClockTime from) {
    const std::size_t start = ring.startFor(from);
    if (start == ring.size())
        return Opening::NotYet;
    FileNameClaim claim;
    {
        std::lock_guard guard(lock);
        claim = std::move(eventClaim);
    }
    // A file that cannot be made or opened puts its error on the bus, which ends the recording.
    std::unique_ptr<WriterSegment> s;
    if (!claim.empty())
        s = makeSegment(claim.path(), indexed);
    if (!s)
        return Opening::Failed;
    if (!gst_element_sync_state_with_parent(s->sink.get()) ||
        !gst_element_sync_state_with_parent(s->muxer.get()) ||
        gst_pad_link(feedPad, s->input.get()) != GST_PAD_LINK_OK) {
        discard(*s);
        return Opening::Failed;
    }
    const GstClockTime first = ring.at(start).pts;
    s->claim = std::move(claim);
    s->first = first;
    s->shift = GST_CLOCK_TIME_IS_VALID(first) ? first : 0;
    s->started = wallTimeOf(first);
    {
        std::lock_guard guard(lock);
        current = std::move(s);
    }
    // Pushed on the feed pad itself, so the new muxer gets the stream's caps and segment first
    // and each frame goes through the probe's bookkeeping (count, times, segment changes).
    replaying = true;
    for (std::size_t i = start; i < ring.size(); ++i)
        if (gst_pad_push(feedPad, gst_buffer_ref(ring.at(i).buffer.get())) != GST_FLOW_OK)
            break; // the failure is on the bus
    replaying = false;
    return Opening::Opened;
}

// Streaming thread: the event's file leaves the stream and is finished by the worker.
void TASFWriter::Impl::closeEvent(GstPad* feedPad) {
    gst_pad_unlink(feedPad, current->input.get());
    std::unique_ptr<WriterSegment> old;
    {
        std::lock_guard guard(lock);
        old = std::move(current);
    }
    old->ended = GST_CLOCK_TIME_IS_VALID(old->end) ? wallTimeOf(old->end) : WallClock::now();
    finisher.post(std::move(old));
}

WallClock::time_point TASFWriter::Impl::wallTimeOf(GstClockTime running) {
    if (!GST_CLOCK_TIME_IS_VALID(running))
        return WallClock::now();
    std::int64_t offset = 0;
    {
        std::lock_guard guard(lock);
        offset = wallOffset;
    }
    return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
        std::chrono::nanoseconds(static_cast<std::int64_t>(running) + offset)));
}

// Worker thread: a file left behind gets its end of stream (its muxer writes what it holds, the
// index and the header), leaves the bin, and is repaired and reported.
void TASFWriter::Impl::finishLeftBehind(WriterSegment& s) {
    gst_pad_send_event(s.input.get(), gst_event_new_eos());
    {
        std::unique_lock guard(lock);
        finished.wait_for(guard, FinishTimeout, [&] { return s.eos; });
    }
    discard(s);
    report(s);
}

void TASFWriter::Impl::report(WriterSegment& s) {
    std::error_code ec;
    if (s.file.empty() || !std::filesystem::is_regular_file(s.file, ec))
        return;
    if (!ownStream) {
        RepairLastAsfPacket(s.file);
        RepairAsfHeader(s.file, profile);
        RepairAsfIndex(s.file);
    }
    SegmentHandler handler;
    {
        std::lock_guard guard(lock);
        handler = onFinished;
    }
    if (!handler)
        return;
    TRecordingSegment r;
    r.file = s.file;
    r.started = s.started;
    r.ended = s.ended;
    if (GST_CLOCK_TIME_IS_VALID(s.first))
        r.streamStart = std::chrono::nanoseconds(s.first);
    if (GST_CLOCK_TIME_IS_VALID(s.end))
        r.streamEnd = std::chrono::nanoseconds(s.end);
    r.frames = s.frames;
    r.bytes = std::filesystem::file_size(s.file, ec);
    if (ec)
        r.bytes = 0;
    handler(r);
}

TASFWriter::TASFWriter(std::string name)
    : TFilterComponent(std::move(name)), current_(SystemProfile(profile_)),
      d_(std::make_unique<Impl>()) {}

TASFWriter::~TASFWriter() {
    try {
        SetFilterGraph(nullptr);
    } catch (...) {
        LogSwallowedFailure("the writer leaving its graph");
    }
    d_->finisher.shutdown();
}

TWriterProfile TASFWriter::SystemProfile(TWMProfiles8) {
    TWriterProfile p;
    p.Name = "Windows Media Video 8 for Dial-up Modem (No audio, 56 Kbps)";
    p.Description = p.Name;
    p.BitRate = 56000;
    return p;
}

void TASFWriter::SetFileName(const std::filesystem::path& name) {
    fileName_ = name;
    std::lock_guard lock(d_->lock);
    d_->pendingClaim = {};
    if (WriterSegment* s = d_->current.get()) {
        s->file = name;
        s->claim = {};
        g_object_set(s->sink.get(), "location", fileName_.c_str(), nullptr);
    }
}

void TASFWriter::SetFileName(FileNameClaim claim) {
    SetFileName(std::filesystem::path(claim.path()));
    std::lock_guard lock(d_->lock);
    if (d_->current)
        d_->current->claim = std::move(claim);
    else
        d_->pendingClaim = std::move(claim);
}

std::filesystem::path TASFWriter::CurrentFileName() const {
    std::lock_guard lock(d_->lock);
    if (d_->current)
        return d_->current->file;
    if (!d_->gated)
        return fileName_;
    return d_->begun != d_->served ? d_->eventPath : std::filesystem::path();
}

void TASFWriter::SetEventGate(bool on, std::chrono::seconds preRoll) {
    eventGate_ = on;
    preRoll_ = std::max(std::chrono::seconds(0), preRoll);
}

bool TASFWriter::BeginEvent(std::chrono::system_clock::time_point start) {
    Impl& d = *d_;
    GstElement* bin = d.bin.get();
    if (!d.gated || !bin)
        return false;
    {
        std::lock_guard lock(d.lock);
        if ((d.current && !d.closeWanted) || d.begun != d.served)
            return true; // the event under way goes on
    }
    // The stream's frames carry running time: the pipeline clock less its base time.
    gst::Ref<GstClock> clock(gst_element_get_clock(bin));
    if (!clock)
        return false; // not running
    const GstClockTime base = gst_element_get_base_time(bin);
    const GstClockTime now = gst_clock_get_time(clock.get());
    const std::int64_t running = now > base ? static_cast<std::int64_t>(now - base) : 0;
    const std::int64_t wallNow =
        std::chrono::duration_cast<std::chrono::nanoseconds>(WallClock::now().time_since_epoch())
            .count();
    const std::int64_t startNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
    const std::int64_t from = std::min(startNs, wallNow) - (wallNow - running) -
                              static_cast<std::int64_t>(d.preRoll + EntryAllowance);
    // Named now, so whoever is told of the event's start knows its file.
    FileNameClaim claim;
    FileNameProvider provider;
    {
        std::lock_guard lock(d.lock);
        provider = d.provider;
    }
    try {
        if (provider)
            claim = provider();
    } catch (...) {
    }
    if (claim.empty())
        return false;
    std::lock_guard lock(d.lock);
    d.eventPath = claim.path();
    d.eventClaim = std::move(claim);
    d.wallOffset = wallNow - running;
    d.openFrom = static_cast<GstClockTime>(std::max<std::int64_t>(0, from));
    ++d.begun;
    return true;
}

void TASFWriter::EndEvent() {
    std::lock_guard lock(d_->lock);
    if (!d_->gated)
        return;
    d_->served = d_->begun; // one still waiting for its key frame never opens
    d_->eventClaim = {};
    d_->closeWanted = true;
}

bool TASFWriter::WritingEvent() const {
    std::lock_guard lock(d_->lock);
    return d_->gated && d_->current != nullptr;
}

void TASFWriter::SetFileNameProvider(FileNameProvider provider) {
    std::lock_guard lock(d_->lock);
    d_->provider = std::move(provider);
}

void TASFWriter::SetOnSegmentFinished(SegmentHandler handler) {
    std::lock_guard lock(d_->lock);
    d_->onFinished = std::move(handler);
}

void TASFWriter::Joining() {
    Impl& d = *d_;
    gst::Ref<GstElement> bin = gst::adopt(gst_bin_new(Name().c_str()));
    d.bin = gst::addRef(bin.get());
    d.segmentsMade = 0;
    d.ownStream = !ownStream_.empty();
    std::vector<GstElement*> chain;
    if (d.ownStream) {
        d.parser = gst::make(ownStream_ == "video/x-h264"   ? "h264parse"
                             : ownStream_ == "video/x-h265" ? "h265parse"
                                                            : "jpegparse",
                             "parser");
        d.rebase = gst::make("identity", "rebase");
        chain = {d.parser.get(), d.rebase.get()};
    } else {
        d.rate = gst::make("videorate", "rate");
        d.scale = gst::make("videoscale", "scale");
        d.format = gst::make("capsfilter", "format");
        d.encoder = gst::make("norvalewmv1enc", "encoder");
        d.rebase = gst::make("identity", "rebase");
        chain = {d.rate.get(), d.scale.get(), d.format.get(), d.encoder.get(), d.rebase.get()};
    }
    for (GstElement* e : chain)
        if (!e) {
            Left();
            return;
        }
    for (GstElement* e : chain)
        gst_bin_add(GST_BIN(bin.get()), e);
    // Gated, no file is open until an event begins.
    std::unique_ptr<WriterSegment> first;
    if (!eventGate_) {
        first = d.makeSegment(fileName_, autoIndex_);
        if (!first) {
            Left();
            return;
        }
        first->claim = std::move(d.pendingClaim);
    }
    bool linked = true;
    for (std::size_t i = 1; i < chain.size() && linked; ++i)
        linked = gst_element_link(chain[i - 1], chain[i]);
    GstElement* feeder = d.rebase.get();
    if (linked && NetworkServiceWanted() && port_ <= 65535) {
        d.tee = gst::make("tee", "split");
        d.fileQueue = gst::make("queue", "filequeue");
        d.netQueue = gst::make("queue", "netqueue");
        NetworkStreamOptions options;
        options.port = static_cast<std::uint16_t>(port_);
        options.maxUsers = maxUsers_;
        options.camera = cameraNumber_;
        options.ownStream = ownStream_;
        d.network = std::make_unique<NetworkStream>(options);
        if (d.tee && d.fileQueue && d.netQueue && d.network->element()) {
            g_object_set(d.netQueue.get(), "leaky", 2 /* downstream */, "max-size-buffers", 0,
                         "max-size-bytes", 0, "max-size-time", guint64(2 * GST_SECOND), nullptr);
            for (GstElement* e :
                 {d.tee.get(), d.fileQueue.get(), d.netQueue.get(), d.network->element()})
                gst_bin_add(GST_BIN(bin.get()), e);
            linked =
                gst_element_link_many(d.rebase.get(), d.tee.get(), d.fileQueue.get(), nullptr) &&
                gst_element_link_many(d.tee.get(), d.netQueue.get(), d.network->element(), nullptr);
            feeder = d.fileQueue.get();
        } else {
            // Without its parts the service is left out; the recording goes on.
            d.network.reset();
        }
    }
    if (linked) {
        d.feed.reset(gst_element_get_static_pad(feeder, "src"));
        linked =
            d.feed && (!first || gst_pad_link(d.feed.get(), first->input.get()) == GST_PAD_LINK_OK);
    }
    if (!linked) {
        if (first)
            d.discard(*first);
        Left();
        return;
    }
    gst_pad_add_probe(d.feed.get(), GST_PAD_PROBE_TYPE_BUFFER, feedProbe, d_.get(), nullptr);
    gst::Ref<GstPad> input(gst_element_get_static_pad(chain.front(), "sink"));
    gst_element_add_pad(bin.get(), gst_ghost_pad_new("sink", input.get()));
    {
        std::lock_guard lock(d.lock);
        d.current = std::move(first);
    }
    d.gated = eventGate_;
    core().element = std::move(bin);
}

void TASFWriter::Joined() {
    Impl& d = *d_;
    if (!d.feed)
        return;
    current_ = SystemProfile(profile_);
    applyProfile();
    g_object_set(d.rebase.get(), "single-segment", TRUE, nullptr);
    if (d.rate)
        g_object_set(d.rate.get(), "drop-only", TRUE, nullptr);
}

void TASFWriter::applyProfile() {
    Impl& d = *d_;
    if (!d.format)
        return;
    const TWriterProfile& p = current_;
    int fpsN = 15, fpsD = 1;
    if (p.AvgTimePerFrame > 0) {
        double fps = std::round(1e10 / static_cast<double>(p.AvgTimePerFrame)) / 1000.0;
        gst_util_double_to_fraction(fps, &fpsN, &fpsD);
    }
    gst::Caps caps(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "framerate",
                                       GST_TYPE_FRACTION, fpsN, fpsD, nullptr));
    if (p.Width > 0 && p.Height > 0)
        gst_caps_set_simple(caps.get(), "width", G_TYPE_INT, p.Width, "height", G_TYPE_INT,
                            p.Height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(d.format.get(), "caps", caps.get(), nullptr);
    guint keyInt = 45;
    if (p.AvgTimePerFrame > 0 && p.MaxKeyFrameSpacing > 0)
        keyInt = static_cast<guint>(std::max<int64_t>(1, p.MaxKeyFrameSpacing / p.AvgTimePerFrame));
    g_object_set(d.encoder.get(), "bitrate", std::max<guint>(1000, p.BitRate), "key-int-max",
                 keyInt, nullptr);
    if (d.network)
        d.network->setHeaderFacts(p.BitRate, static_cast<std::uint64_t>(p.AvgTimePerFrame));
}

const NetworkStream* TASFWriter::Network() const {
    return d_->network.get();
}

HResult TASFWriter::ConfigureFilterUsingProfile(const TWriterProfile& profile) {
    RequireFilter();
    current_ = profile;
    // A rate the encoder cannot hold would be refused (the recording would go on at the
    // built-in rate, its header claiming another) or held by dropping nearly every frame.
    current_.BitRate = std::clamp(profile.BitRate, MinBitRate, MaxBitRate);
    applyProfile();
    return hr::S_OK;
}

void TASFWriter::AboutToRun() {
    ran_ = true;
    std::lock_guard lock(d_->lock);
    d_->segmentLength =
        segmentSeconds_ > 0 ? static_cast<GstClockTime>(segmentSeconds_) * GST_SECOND : 0;
    d_->profile = current_;
    d_->indexed = autoIndex_;
    d_->rolling = true;
    d_->preRoll = static_cast<GstClockTime>(preRoll_.count()) * GST_SECOND;
    d_->keySpacing =
        current_.MaxKeyFrameSpacing > 0
            ? std::min<GstClockTime>(static_cast<GstClockTime>(current_.MaxKeyFrameSpacing) * 100,
                                     60 * GST_SECOND)
            : 3 * GST_SECOND;
    d_->begun = d_->served = 0;
    d_->eventClaim = {};
    d_->closeWanted = d_->stopping = false;
    d_->ring.reset(d_->gated ? ringCapacity(current_, preRoll_) : 0);
    if (WriterSegment* s = d_->current.get()) {
        s->eos = false;
        s->frames = 0;
        s->first = s->end = GST_CLOCK_TIME_NONE;
        s->shift = 0;
        s->started = WallClock::now();
    }
}

void TASFWriter::Stopping(std::chrono::milliseconds timeout) {
    if (!HasFilter())
        return;
    // End the stream at the writer's own input, so the file is finished even when the source
    // has gone; then wait, bounded, until the end reached the file. No file changes after it.
    {
        std::lock_guard lock(d_->lock);
        d_->stopping = true;
    }
    gst::Ref<GstPad> input = gst::firstPad(core().element.get(), GST_PAD_SINK);
    if (input && gst_pad_is_linked(input.get()))
        gst_pad_send_event(input.get(), gst_event_new_eos());
    {
        // Gated and between events there is no file to wait for.
        std::unique_lock lock(d_->lock);
        d_->finished.wait_for(lock, timeout,
                              [&] { return d_->current ? d_->current->eos : d_->gated.load(); });
    }
    // The files left behind are finished before the graph stops around them.
    d_->finisher.drain();
}

void TASFWriter::Stopped() {
    if (!ran_)
        return;
    ran_ = false;
    d_->finisher.drain();
    d_->ring.clear();
    WriterSegment* s = nullptr;
    {
        std::lock_guard lock(d_->lock);
        s = d_->current.get();
        if (s)
            s->ended = WallClock::now();
    }
    // Only the GUI thread changes the current file once nothing streams.
    if (s)
        d_->report(*s);
}

void TASFWriter::Left() {
    Impl& d = *d_;
    d.finisher.shutdown();
    {
        std::lock_guard lock(d.lock);
        d.current.reset();
        d.eventClaim = {}; // an event that never got its file leaves its name free
    }
    d.gated = false;
    d.ring.reset(0);
    d.feed.reset();
    d.rate.reset();
    d.scale.reset();
    d.format.reset();
    d.encoder.reset();
    d.rebase.reset();
    d.parser.reset();
    d.ownStream = false;
    d.tee.reset();
    d.fileQueue.reset();
    d.netQueue.reset();
    // The viewers' sockets and the port go with the writer leaving its graph.
    d.network.reset();
    d.bin.reset();
}

namespace {

// Object identifiers in their on-disk byte order.
constexpr TGuid headerObject = guid("{75B22630-668E-11CF-A6D9-00AA0062CE6C}");
constexpr TGuid filePropertiesObject = guid("{8CABDCA1-A947-11CF-8EE4-00C00C205365}");
constexpr TGuid dataObject = guid("{75B22636-668E-11CF-A6D9-00AA0062CE6C}");
constexpr TGuid simpleIndexObject = guid("{33000890-E5B1-11CF-89F4-00A0C90349CB}");

uint64_t le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

void put(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool readAt(std::FILE* f, uint64_t offset, uint8_t* out, size_t n) {
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(out, 1, n, f) == n;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// What the repairs need from an ASF file's header: its size and the file properties of
// fixed-size packets. Nothing for anything else, or for packets that carry their own length.
struct AsfFileProperties {
    uint64_t fileSize = 0;
    uint64_t headerSize = 0;
    uint32_t packetSize = 0;
    uint64_t prerollMs = 0;
};

std::optional<AsfFileProperties> readFileProperties(std::FILE* f,
                                                    const std::filesystem::path& path) {
    AsfFileProperties p;
    std::error_code ec;
    p.fileSize = std::filesystem::file_size(path, ec);
    if (ec || p.fileSize < 30)
        return std::nullopt;
    uint8_t head[30];
    if (!readAt(f, 0, head, sizeof head) || TGuid::fromBytes(head) != headerObject)
        return std::nullopt;
    p.headerSize = le(head + 16, 8);
    const uint64_t objects = le(head + 24, 4);
    if (p.headerSize > p.fileSize || p.headerSize < 30)
        return std::nullopt;
    uint64_t pos = 30;
    for (uint64_t i = 0; i < objects && pos + 24 <= p.headerSize; ++i) {
        uint8_t obj[100];
        if (!readAt(f, pos, obj, 24))
            return std::nullopt;
        const uint64_t objSize = le(obj + 16, 8);
        if (objSize < 24 || pos + objSize > p.headerSize)
            return std::nullopt;
        if (TGuid::fromBytes(obj) == filePropertiesObject && objSize >= 100) {
            if (!readAt(f, pos, obj, 100))
                return std::nullopt;
            const uint64_t minSize = le(obj + 92, 4), maxSize = le(obj + 96, 4);
            if (minSize != maxSize)
                return std::nullopt; // variable-size packets carry their own length
            p.packetSize = static_cast<uint32_t>(minSize);
            p.prerollMs = le(obj + 80, 8);
        }
        pos += objSize;
    }
    return p;
}

} // namespace

bool RepairLastAsfPacket(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r+b"));
    if (!file)
        return false;
    std::FILE* f = file.get();
    const auto props = readFileProperties(f, path);
    if (!props)
        return false;
    const uint64_t fileSize = props->fileSize, headerSize = props->headerSize;
    const uint32_t packetSize = props->packetSize;
    if (packetSize < 16)
        return false;

    // Data object: 50 bytes, then fixed-size packets.
    uint8_t data[50];
    if (headerSize + 50 > fileSize || !readAt(f, headerSize, data, sizeof data) ||
        TGuid::fromBytes(data) != dataObject)
        return false;
    const uint64_t dataEnd = std::min<uint64_t>(fileSize, headerSize + le(data + 16, 8));
    if (dataEnd < headerSize + 50 + packetSize)
        return false;
    const uint64_t packets = (dataEnd - headerSize - 50) / packetSize;
    const uint64_t last = headerSize + 50 + (packets - 1) * packetSize;

    uint8_t packet[32];
    if (!readAt(f, last, packet, sizeof packet))
        return false;
    size_t at = 0;
    if (packet[0] & 0x80) // error correction data first
        at += 1 + (packet[0] & 0x0F);
    if (at + 2 >= sizeof packet)
        return false;
    const uint8_t lengthFlags = packet[at];
    at += 2; // length type flags, property flags
    static constexpr int widths[4] = {0, 1, 2, 4};
    const int lengthWidth = widths[(lengthFlags >> 5) & 3];
    if (lengthWidth == 0 || at + static_cast<size_t>(lengthWidth) > sizeof packet)
        return false;
    const uint64_t declared = le(packet + at, lengthWidth);
    if (declared == packetSize || (lengthWidth == 1 && packetSize > 0xFF) ||
        (lengthWidth == 2 && packetSize > 0xFFFF))
        return false;
    uint8_t fixed[4];
    for (int i = 0; i < lengthWidth; ++i)
        fixed[i] = static_cast<uint8_t>(packetSize >> (8 * i));
    if (fseeko(f, static_cast<off_t>(last + at), SEEK_SET) != 0 ||
        std::fwrite(fixed, 1, static_cast<size_t>(lengthWidth), f) !=
            static_cast<size_t>(lengthWidth))
        return false;
    return std::fflush(f) == 0;
}

bool RepairAsfHeader(const std::filesystem::path& path, const TWriterProfile& profile) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r+b"));
    if (!file)
        return false;
    std::FILE* f = file.get();
    uint8_t head[30];
    if (!readAt(f, 0, head, sizeof head) || TGuid::fromBytes(head) != headerObject)
        return false;
    // Our headers are a few hundred bytes; anything far larger is not ours to rewrite.
    const uint64_t headerSize = le(head + 16, 8);
    if (headerSize < 30 || headerSize > (1u << 20))
        return false;
    std::vector<uint8_t> header(static_cast<size_t>(headerSize));
    if (!readAt(f, 0, header.data(), header.size()))
        return false;
    const asf::HeaderFacts facts{profile.BitRate, static_cast<uint64_t>(profile.AvgTimePerFrame)};
    if (asf::repairHeader(header.data(), header.size(), facts) == 0)
        return false;
    return fseeko(f, 0, SEEK_SET) == 0 &&
           std::fwrite(header.data(), 1, header.size(), f) == header.size() && std::fflush(f) == 0;
}

bool RepairAsfIndex(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r+b"));
    if (!file)
        return false;
    std::FILE* f = file.get();
    const auto props = readFileProperties(f, path);
    if (!props)
        return false;
    const uint64_t fileSize = props->fileSize, headerSize = props->headerSize;
    const uint32_t packetSize = props->packetSize;
    const uint64_t prerollMs = props->prerollMs;
    if (packetSize < 16 || packetSize > (1u << 20))
        return false;

    // Data object, then the simple index as the file's last object.
    uint8_t data[50];
    if (headerSize + 50 > fileSize || !readAt(f, headerSize, data, sizeof data) ||
        TGuid::fromBytes(data) != dataObject)
        return false;
    const uint64_t dataSize = le(data + 16, 8);
    if (dataSize < 50 || headerSize + dataSize + 56 > fileSize)
        return false;
    const uint64_t packets = (dataSize - 50) / packetSize;
    const uint64_t indexAt = headerSize + dataSize;
    uint8_t index[56];
    if (!readAt(f, indexAt, index, sizeof index) || TGuid::fromBytes(index) != simpleIndexObject)
        return false;
    const uint64_t indexSize = le(index + 16, 8);
    const uint64_t interval = le(index + 40, 8); // 100 ns units
    const uint64_t count = le(index + 52, 4);
    if (indexAt + indexSize != fileSize || indexSize != 56 + count * 6 || interval == 0 ||
        packets == 0)
        return false;
    std::vector<uint8_t> entries(static_cast<size_t>(count * 6));
    if (!entries.empty() && !readAt(f, indexAt + 56, entries.data(), entries.size()))
        return false;

    // The muxer stops adding entries once the presentation time no longer fits its 32-bit count
    // of 100 ns units (after 7 min 9.5 s), so a later time cannot be found. The entries go on from
    // there: each names the last packet at or before its time in which a key frame begins.
    std::vector<uint8_t> packet(packetSize);
    const uint64_t firstPacket = count > 0 ? le(entries.data() + (count - 1) * 6, 4) : 0;
    uint64_t keyPacket = firstPacket;
    uint64_t next = count; // entry number still to write
    uint32_t maxCount = static_cast<uint32_t>(le(index + 48, 4));
    const auto timeOf = [&](uint64_t entry) { return entry * interval / 10000; }; // ms
    for (uint64_t n = firstPacket; n < packets; ++n) {
        if (!readAt(f, headerSize + 50 + n * packetSize, packet.data(), packet.size()))
            return false;
        const auto send = asf::packetSendTime(packet.data(), packet.size());
        const auto key = asf::packetStartsKeyFrame(packet.data(), packet.size());
        if (!send || !key)
            return false;
        const uint64_t presented = *send + prerollMs;
        for (; timeOf(next) < presented; ++next) {
            put(entries, keyPacket, 4);
            put(entries, 1, 2);
            maxCount = std::max<uint32_t>(maxCount, 1);
        }
        if (*key)
            keyPacket = n;
    }
    if (next == count)
        return false; // the index was whole

    uint8_t header[56];
    std::copy(index, index + 56, header);
    const uint64_t newSize = 56 + entries.size();
    for (int i = 0; i < 8; ++i)
        header[16 + i] = static_cast<uint8_t>(newSize >> (8 * i));
    for (int i = 0; i < 4; ++i) {
        header[48 + i] = static_cast<uint8_t>(maxCount >> (8 * i));
        header[52 + i] = static_cast<uint8_t>(next >> (8 * i));
    }
    return fseeko(f, static_cast<off_t>(indexAt), SEEK_SET) == 0 &&
           std::fwrite(header, 1, sizeof header, f) == sizeof header &&
           std::fwrite(entries.data(), 1, entries.size(), f) == entries.size() &&
           std::fflush(f) == 0;
}

} // namespace norvale
