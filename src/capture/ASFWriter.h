#pragma once
// The Windows Media writer: WMV1 video in an ASF file.
//
// Its element is a bin: frame-rate and size adaptation, our WMV1 encoder (which honours the bit
// rate), a time-stamp rebase (the encoder's output carries a large offset that players choke
// on), the ASF muxer with small packets, and an unbuffered file sink, so a recording killed
// with the process keeps all but its last fraction of a second. Stopping the graph ends the
// stream (bounded wait), which writes duration and index, and then the last data packet's
// length field is corrected (the muxer writes it wrongly and players would drop that packet).
//
// The live HTTP service hangs beside the file: a tee after the encoder with a queue per branch,
// one of them feeding the viewers' own muxer; Port and MaxUsers are kept for it (0 in either:
// no service).
//
// Segments. With a segment length set, the writer starts a new file by itself at the first key
// frame at least that long (in stream time) after the current file began: only the file branch
// (its muxer and file sink) is swapped, in the streaming thread between two frames, so no frame
// is lost or written twice and the viewers' stream runs on untouched. Each new file's times start
// at 0. The file left behind is finished off the streaming thread by a worker of the writer (end
// of stream into its muxer, which writes duration and index, then the repairs below) and reported
// through OnSegmentFinished; the last file of a run is finished when the graph stops, as without
// segments. The names of later files come from the file-name provider.
//
// The camera's own stream. Told the compressed media type its input carries (H.264, H.265 or
// MJPEG: SetOwnStream before it joins a graph), the writer records that stream as it comes, with
// no decoding or encoding: its parser, then Matroska files (short clusters, unbuffered, so a
// killed recording keeps all but its last second) by the same segments and event gate. The
// profile is kept but not applied. Its viewers get that stream too: H.264/H.265 as MPEG-TS, MJPEG
// as multipart JPEG (see NetworkStream).
//
// Recording on motion (the event gate). Gated, the writer encodes and serves its viewers all the
// time, but the file branch writes only events: it keeps the encoded stream of the last pre-roll
// seconds, and a few more, back to a key frame in a ring of fixed size (whole groups of pictures
// older than that are let go; the ring holds references to the encoded frames, no copies). An
// event gets a file of its own, named by the file-name provider, that starts at the key frame at
// or before the event's start less the pre-roll and goes on live until the event ends; segments
// cut long events as they cut a recording. Between events no file is open. Event files are
// finished and reported like segments, the one open when the graph stops like the last file.
#include "FilterGraph.h"
#include "core/FileNaming.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace norvale {

class NetworkStream;

// The profile the recording configures: one WMV1 video stream.
struct TWriterProfile {
    std::string Name;
    std::string Description;
    uint32_t BitRate = 56000;              // bits per second
    int64_t AvgTimePerFrame = 666667;      // 100 ns units: 15 frames per second
    int64_t MaxKeyFrameSpacing = 30000000; // 100 ns units: 3 seconds
    uint32_t Quality = 100;                // kept; the encoder's rate control decides
    int Width = 0;                         // 0: the size that arrives
    int Height = 0;
    uint32_t BufferWindow = 0xFFFFFFFF; // kept
};

enum class TWMProfiles8 { wmp_V80_56VideoOnly };

// One finished recording file.
struct TRecordingSegment {
    std::filesystem::path file;
    // Wall-clock time when the file was started and when its last frame was cut off.
    std::chrono::system_clock::time_point started, ended;
    // Stream time (the graph's running time) of its first frame and of the end of its last one.
    std::chrono::nanoseconds streamStart{0}, streamEnd{0};
    std::uint64_t frames = 0; // encoded frames written into it
    std::uint64_t bytes = 0;  // the file's size once finished
};

class TASFWriter : public TFilterComponent {
public:
    explicit TASFWriter(std::string name = "ASFWriter");
    ~TASFWriter() override;

    // The system profile the writer starts with when it joins a graph.
    TWMProfiles8 Profile() const { return profile_; }
    void SetProfile(TWMProfiles8 p) { profile_ = p; }
    static TWriterProfile SystemProfile(TWMProfiles8 p);

    // Kept, and given to the element at once when it exists (takes effect at the next run).
    // With a claim, the claim is held until that file is finished.
    const std::filesystem::path& FileName() const { return fileName_; }
    void SetFileName(const std::filesystem::path& name);
    void SetFileName(FileNameClaim claim);
    // The file being written now (the newest segment); FileName() before the first run. Gated,
    // the event's file from its beginning on, none between events. Any thread.
    std::filesystem::path CurrentFileName() const;

    // Segments (see above). 0 seconds: one file per run. Both take effect at the next run. The
    // provider is called on a streaming thread whenever a new file starts; a provider that throws
    // or an empty name leaves the recording in the current file.
    int SegmentSeconds() const { return segmentSeconds_; }
    void SetSegmentSeconds(int seconds) { segmentSeconds_ = seconds; }
    using FileNameProvider = std::function<FileNameClaim()>;
    void SetFileNameProvider(FileNameProvider provider);
    // Called for every finished file: on the writer's worker thread for files left behind while
    // recording, on the stopping thread for the last one. Set before the run.
    using SegmentHandler = std::function<void(const TRecordingSegment&)>;
    void SetOnSegmentFinished(SegmentHandler handler);

    // The event gate (see above). Set before the writer joins a graph; FileName() is then unused
    // and no file is open until the first event.
    bool EventGate() const { return eventGate_; }
    std::chrono::seconds PreRoll() const { return preRoll_; }
    void SetEventGate(bool on, std::chrono::seconds preRoll = std::chrono::seconds(0));
    // While a gated graph runs: an event began at `start` (wall clock), or the event ended. The
    // event's file is named at once by the file-name provider (CurrentFileName() says it from
    // then on); it opens, and closes, with the next encoded frame. Beginning again while an
    // event runs goes on with it. A start further back than the ring reaches begins the file at
    // the oldest key frame held. Ignored (false) when not gated, not running or given no name.
    bool BeginEvent(std::chrono::system_clock::time_point start);
    void EndEvent();
    // Whether an event's file is open. Any thread.
    bool WritingEvent() const;

    // The compressed media type ("video/x-h264", "video/x-h265", "image/jpeg") recorded as it
    // comes; empty: WMV1, encoded here. Takes effect when the writer next joins a graph.
    const std::string& OwnStream() const { return ownStream_; }
    void SetOwnStream(std::string mediaType) { ownStream_ = std::move(mediaType); }
    bool TakesCompressedStream() const override { return !ownStream_.empty(); }

    uint32_t Port() const { return port_; }
    void SetPort(uint32_t port) { port_ = port; }
    uint32_t MaxUsers() const { return maxUsers_; }
    void SetMaxUsers(uint32_t users) { maxUsers_ = users; }
    // The camera's number, under which the port also serves its stream (/camera/N); 0: none.
    int CameraNumber() const { return cameraNumber_; }
    void SetCameraNumber(int number) { cameraNumber_ = number; }
    bool NetworkServiceWanted() const { return port_ > 0 && maxUsers_ > 0; }
    // The live service while the writer is in an active graph and a service is wanted.
    const NetworkStream* Network() const;

    bool AutoIndex() const { return autoIndex_; }
    void SetAutoIndex(bool on) { autoIndex_ = on; }
    bool MultiPass() const { return multiPass_; }
    void SetMultiPass(bool on) { multiPass_ = on; }
    bool DontCompress() const { return dontCompress_; }
    void SetDontCompress(bool on) { dontCompress_ = on; }

    // The writer's profile configuration: encodes with `profile` from the next run on, its bit
    // rate brought into MinBitRate .. MaxBitRate. Throws EIntfCastError when the writer has no
    // element (not in an active graph).
    HResult ConfigureFilterUsingProfile(const TWriterProfile& profile);
    // What the writer encodes with; its bit rate is the one the file's header states.
    const TWriterProfile& CurrentProfile() const { return current_; }

    // The bit rates the encoder holds, in bits per second. Below the lowest (the built-in
    // profile's) a plain picture would keep only a frame now and then; the encoder refuses any
    // rate above the highest.
    static constexpr uint32_t MinBitRate = 56000;
    static constexpr uint32_t MaxBitRate = 100000000;

    // Bytes per ASF data packet: small, so little is lost when the process dies.
    static constexpr uint32_t PacketSize = 1400;

private:
    void Joining() override;
    void Joined() override;
    void Left() override;
    void AboutToRun() override;
    void Stopping(std::chrono::milliseconds timeout) override;
    void Stopped() override;
    void applyProfile();

    TWMProfiles8 profile_ = TWMProfiles8::wmp_V80_56VideoOnly;
    TWriterProfile current_;
    std::filesystem::path fileName_;
    uint32_t port_ = 0;
    uint32_t maxUsers_ = 8;
    int cameraNumber_ = 0;
    bool autoIndex_ = true;
    bool multiPass_ = false;
    bool dontCompress_ = false;
    bool ran_ = false;
    int segmentSeconds_ = 0;
    bool eventGate_ = false;
    std::chrono::seconds preRoll_{0};
    std::string ownStream_;

public:
    struct Impl; // internal

private:
    std::unique_ptr<Impl> d_;
};

// Corrects the length field of the last data packet of a finished ASF file (see above).
// Returns true when the file was changed. Never reads or writes past the file.
bool RepairLastAsfPacket(const std::filesystem::path& file);

// Writes the profile's bit rate, frame time and the image size in bytes into the header of a
// finished ASF file (the muxer leaves them 0 or counts the image in bits). Returns true when
// the file was changed.
bool RepairAsfHeader(const std::filesystem::path& file, const TWriterProfile& profile);

// Completes the simple index of a finished ASF file so that every time of the file can be
// sought (the muxer's index ends after 7 min 9.5 s). Returns true when the file was changed.
// Never reads or writes past the file; anything it does not understand is left alone.
bool RepairAsfIndex(const std::filesystem::path& file);

} // namespace norvale
