#pragma once
// One camera's engine, without widgets: its capture graph and the four components, its state,
// the recording and its file watch, timed snapshots, and the way back of a device that went away.
//
// The state is one of four:
//   Idle        nothing runs
//   Previewing  live video runs
//   Recording   live video runs and is written to a file
//   Lost        the device went away or stopped delivering frames while the channel ran; the
//               graph is torn down (what was recorded is finished) and the channel waits for a
//               device of the same identity to come back, then returns to the state it had
// Every change of state goes through enter(), which also says which changes exist; a
// command that asks for one that does not (stopping into Lost, losing an idle channel) is refused.
//
// A recording whose file branch fails on its own while it runs (a full disk, its folder gone, its
// file removed) halts: the recording ends, live video goes on, and the channel keeps why and
// when. A halt for a failed write or a folder gone may be resumed by itself later (resumeRecording:
// whoever watches the disks says when there is room again); any command of a person ends the halt.
//
// Besides the state the channel keeps the two published flags of a camera, "previewing" and
// "recording". They follow the commands rather than the graph: stopping the live video of a
// recording leaves the recording flag set until the recording itself is stopped, and a recording
// started without live video leaves the previewing flag clear. The camera frame shows them.
//
// All calls run on the GUI thread (the thread of the Qt event loop); the frame callback runs on
// the streaming thread and hands everything else to the GUI thread.
#include "channel/MotionWatch.h"
#include "core/CameraSettings.h"
#include "core/Clock.h"
#include "core/MotionDetector.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QTimer;

namespace norvale {

class TASFWriter;
class TDeviceArrivals;
class TEnumMediaType;
class TFilter;
class TFilterGraph;
class TGreyGrabber;
class TSampleGrabber;
class TSysDevEnum;
class TVideoRenderer;
struct TBitmap;

enum class ChannelState { Idle, Previewing, Recording, Lost };
const char* channelStateName(ChannelState state);

// Whether `from` -> `to` is a change the channel makes (the same state again rebuilds it: a new
// preview, or a recording into a new file).
bool channelTransitionAllowed(ChannelState from, ChannelState to);

struct ChannelServices {
    // The application's device and format lists; none in tests that need no capture.
    TSysDevEnum* videoDevices = nullptr;
    TEnumMediaType* deviceFormats = nullptr;
    // The clocks for file names, the snapshot rule and profile names; none: the system's. It
    // outlives the channel.
    const Clock* clock = nullptr;
};

// How long the channel waits before it calls a running device stalled, and the back-off of its
// attempts to reopen a lost one (doubling from the first to the longest).
struct ChannelTimings {
    std::chrono::milliseconds stallTimeout{10000};
    std::chrono::milliseconds retryFirst{1000};
    std::chrono::milliseconds retryLongest{60000};
    // How often a running channel looks at its frame count and its recording file.
    std::chrono::milliseconds watchInterval{1000};
    // The wait between two recordings the channel starts again by itself after a halt, doubling
    // from the first to the longest; back to none once a person starts a recording, or once a
    // resumed recording ran for the longest wait.
    std::chrono::milliseconds resumeFirst{10000};
    std::chrono::milliseconds resumeLongest{600000};
};

// Why a recording halted on its own.
enum class RecordingHalt {
    None,
    WriteFailed, // the writer could not write (a full disk, above all): resumed when there is room
    FolderGone,  // the recording folder went away: resumed once it is back
    FileRemoved, // the file being written was removed or replaced: not resumed
    Ended,       // failed while its graph was being stopped or rebuilt: not resumed
};

class CameraChannel : public QObject {
    Q_OBJECT
public:
    explicit CameraChannel(ChannelServices services, QObject* parent = nullptr);
    ~CameraChannel() override;

    // The settings as one value. Taking them changes nothing that runs: they apply at the next
    // start. The device index is taken as given (the frame checks it against the device list).
    CameraSettings settings() const;
    void setSettings(const CameraSettings& settings);

    // Single settings, for the frame's published properties.
    const std::string& name() const { return settings_.name; }
    void setName(const std::string& name);
    const std::string& saveFilePath() const { return settings_.saveFilePath; }
    void setSaveFilePath(const std::string& path) { settings_.saveFilePath = path; }
    int videoDeviceIndex() const { return settings_.videoDeviceIndex; }
    void setVideoDeviceIndex(int index) { settings_.videoDeviceIndex = index; }
    int videoFormatIndex() const { return settings_.videoFormatIndex; }
    void setVideoFormatIndex(int index) { settings_.videoFormatIndex = index; }
    int bitRate() const { return settings_.bitRate; }
    void setBitRate(int kbps) { settings_.bitRate = kbps; }
    // Seconds of one recording file (0: one file per recording); from the next recording on.
    int segmentSeconds() const { return settings_.segmentSeconds; }
    void setSegmentSeconds(int seconds) { settings_.segmentSeconds = seconds; }
    bool autoSnapshot() const { return autoSnapshot_.load(); }
    void setAutoSnapshot(bool on) { autoSnapshot_.store(on); }
    int snapshotSeconds() const { return snapshotSeconds_.load(); }
    void setSnapshotSeconds(int seconds) { snapshotSeconds_.store(seconds); }
    std::string snapshotPath() const;
    void setSnapshotPath(const std::string& path);
    // The port of the live stream (0: none) and the camera's number on it.
    int mmsPort() const { return mmsPort_; }
    void setMMSPort(int port) { mmsPort_ = port; }
    int cameraNumber() const { return cameraNumber_; }
    void setCameraNumber(int number) { cameraNumber_ = number; }

    ChannelState state() const { return state_; }
    bool previewing() const { return previewFlag_; }
    bool recording() const { return recordFlag_; }
    // The state a restart of the program brings the channel back to: the one it is in, or while
    // Lost the one it waits to return to.
    ChannelState resumeState() const {
        return state_ == ChannelState::Lost ? returnState_ : state_;
    }
    // While Lost: the state it returns to and the local time it was lost.
    ChannelState returnState() const { return returnState_; }
    const std::tm& lostSince() const { return lostSince_; }
    // The last halt of a recording on its own, the local time it happened and its reason; None
    // once a person gave a command or the recording started again.
    RecordingHalt halt() const { return halt_; }
    const std::tm& haltedAt() const { return haltedAt_; }
    const QString& haltText() const { return haltText_; }
    // A halted recording that may start again by itself (not while Lost: the return comes first).
    bool waitsToRecord() const {
        return (halt_ == RecordingHalt::WriteFailed || halt_ == RecordingHalt::FolderGone) &&
               state_ != ChannelState::Lost;
    }
    // Starts a halted recording again into a new file, unless the last attempt is too recent.
    // The caller has seen room on its disk; a folder that is gone is never created. True when it
    // records again; a failed attempt reports nothing and keeps waiting.
    bool resumeRecording();

    // The commands. Errors are raised to the caller, after the channel came to rest in the
    // state the failure leaves (see the .cpp for which).
    void startPreview();
    void stopPreview();
    void startRecording();
    void stopRecording();
    void stopAll();
    // Tears the graph down (the state becomes Idle unless the channel is Lost); the flags stay.
    void tearDownGraph();

    // Builds the recording profile and gives it to the writer; 0, or the failing call's code
    // after onProfileFailed was told.
    std::int32_t configureWriterProfile(int width, int height, std::int64_t bitsPerSecond);

    // The frame callback of the grabber (streaming thread): takes a timed snapshot when due, and
    // one at the start of every motion event when the camera is set so.
    void frameArrived(TSampleGrabber& sender, const std::uint8_t* buffer, std::size_t length);
    std::uint32_t lastSnapshotSecond() const { return lastSnapshotSecond_.load(); }

    void setTimings(const ChannelTimings& timings);
    const ChannelTimings& timings() const { return timings_; }

    // Motion detection. While MotionDetect is on, every run of the camera (live video or a
    // recording, shown or hidden) gets a motion branch that feeds the detector; events are told
    // by motionStarted and motionEnded. An open event ends when the camera stops (also when its
    // graph is rebuilt, or it is lost), and detection starts over with every run. With detection
    // off the graph has no motion branch at all.
    //
    // Whether an event is open, as told by the signals (GUI thread).
    bool motionActive() const { return motionActive_; }
    // For the settings page (these two from any thread):
    // - setMotionSettings: the detector's sensitivity, minimum area and mask, from the next
    //   frame on; the stored settings (setSettings) apply again from the camera's next start.
    // - motionView: the last grey picture the detector saw and what it counted as changed (see
    //   MotionWatch::view); call it again and again while the page is open, every 100 ms or so.
    // While the view is asked for, the detector runs on whatever feeds motionGrabber(), making
    // no events when the camera does not run itself. So a page with a preview of its own on the
    // camera's graph (GUI thread) links motionGrabber() to that graph after its renderer,
    // renders it from the source as a preview branch, sets the settings it shows, and unlinks it
    // when it closes.
    void setMotionSettings(const MotionSettings& settings);
    bool motionView(MotionView& out) const;
    TGreyGrabber& motionGrabber() const { return *motionGrabber_; }

    // The components.
    TFilterGraph& graph() const { return *captureGraph_; }
    TFilter& sourceFilter() const { return *videoSourceFilter_; }
    TSampleGrabber& sampleGrabber() const { return *videoSampleGrabber_; }
    TVideoRenderer& renderer() const { return *videoRenderer_; }
    TASFWriter& writer() const { return *asfWriter_; }
    // The last recording's file name (empty before the first); recording on motion, the newest
    // event's file.
    const std::string& lastRecordingFile() const { return lastRecordingFile_; }

    // Recording on motion (record mode 1 with detection on; with detection off a recording is
    // continuous): while recording, the channel is armed and writes nothing until an event
    // begins, then writes the event into a file of its own, with the pre-roll before it.
    bool recordsOnMotion() const { return recordsOnMotion_; }
    bool armed() const { return recordsOnMotion_ && !eventOpen_; }
    bool writingEvent() const { return recordsOnMotion_ && eventOpen_; }
    // The file being written now: the newest segment, or the event's file; empty when none.
    std::string currentRecordingFile() const;

    // Hooks for the frame (all on the GUI thread).
    // A snapshot was written; its picture.
    std::function<void(std::shared_ptr<const TBitmap>)> onSnapshot;
    // The graph no longer runs (after every teardown, also a failed one).
    std::function<void()> onGraphStopped;
    // A call configuring the writer failed.
    std::function<void(const char* call, std::int32_t code)> onProfileFailed;

signals:
    // After every successful start of live video (also a recording's, and a return).
    void previewStarted();
    // The state changed on its own (a failure, a loss, a return) or a start failed, so that
    // what shows the state can follow. Not sent for commands that succeeded.
    void stateChangedByItself();
    // A failure to be reported as the answer to a command: a recording a person started that
    // failed before it opened its file, a device failure of a graph stopped meanwhile. Losing the
    // device is no report (the state says it), nor is a halted recording (recordingHalted).
    void failed(const QString& text);
    // A recording halted on its own (halt() says why): its report, for the frame, the list and
    // the tray; never a box to click away. `again` when the recording was one the channel had
    // started again by itself after an earlier halt.
    void recordingHalted(const QString& text, bool again);
    // The recording's file branch failed on its own (a full disk, a folder gone), before the
    // recording is settled: space can be made at once.
    void recordingWriteFailed();
    // The device went away or stalled; the channel is Lost.
    void lost(const QString& text);
    // A lost device is back and the channel in the state it had.
    void returned();
    // After every change of state, whoever caused it (a command, a failure, a loss, a return).
    void stateEntered(norvale::ChannelState state);
    // Motion, while detection is on: an event began (milliseconds since the epoch of its first
    // frame of motion); an event ended.
    void motionStarted(qint64 startMs);
    void motionEnded(const norvale::MotionEventRecord& event);
    // A recording file is finished and closed (a segment, the end of a recording, an event's
    // file): its path, first and last moment in milliseconds since the epoch, and size.
    void recordingFileFinished(const QString& path, qint64 startMs, qint64 endMs, qint64 bytes);
    // Recording on motion: an event's file was opened or closed (armed() and writingEvent()).
    void eventRecordingChanged();

private:
    enum class Binding { ByIndex, Stored };
    void enter(ChannelState to, Binding binding = Binding::ByIndex);
    void buildPreview(Binding binding);
    void buildRecording();
    void settleAfterFailure(bool resumePreview);
    enum class Origin { Device, Writer, FileWatch };
    void graphFailed(quint64 run, const QString& text, Origin origin);
    void clearHalt() { halt_ = RecordingHalt::None; }
    // `silentFor`: how long the camera had already delivered nothing when this was noticed;
    // the loss dates from then.
    void lose(const QString& text, std::chrono::steady_clock::duration silentFor = {});
    void tryReturn();
    void scheduleReturn();
    void watch();
    // Hidden, not detecting motion and not encoding again: the source decodes sparingly.
    void updateDecoding();
    // Pictures decoded, or (sparing) stream buffers received: what shows the camera alive.
    std::uint64_t framesSeen() const;
    void startWatching();
    // Recording on motion.
    bool prepareRecordOnMotion();
    void beginEventFile(qint64 startMs);
    void endEventFile();
    void watchEventFile();
    void reportFinishedFiles();
    void setState(ChannelState state);
    // Motion: the branch of a run with detection on, the end of a run, and the hand-over of the
    // watch's notices to the GUI thread, in the order they happened.
    void addMotionBranch();
    void endMotion(const std::string& file);
    void queueMotionNotice(MotionWatch::Notice&& notice);
    void deliverMotionNotices();

    struct FileIdentity {
        bool valid = false;
        unsigned long device = 0;
        unsigned long inode = 0;
    };
    static FileIdentity fileIdentity(const std::string& path);

    ChannelServices services_;
    ChannelTimings timings_;
    CameraSettings settings_;
    std::atomic<bool> autoSnapshot_{false};
    std::atomic<int> snapshotSeconds_{60};
    int mmsPort_ = 8801;
    int cameraNumber_ = 0;

    ChannelState state_ = ChannelState::Idle;
    bool previewFlag_ = false;
    bool recordFlag_ = false;
    ChannelState returnState_ = ChannelState::Idle;
    bool returnPreviewFlag_ = false;
    std::tm lostSince_{};
    std::chrono::milliseconds retryDelay_{0};
    // Returned from Lost, and no picture since: a device whose start succeeds but which then
    // delivers nothing (a network camera that accepts and says nothing) is not "back".
    bool returnUnproven_ = false;
    std::chrono::steady_clock::time_point returnedAt_; // the last return, for the back-off
    // A network camera's return is told with its first picture: that its stream could be
    // started says nothing about whether the camera answers.
    bool returnUntold_ = false;
    RecordingHalt halt_ = RecordingHalt::None;
    std::tm haltedAt_{};
    QString haltText_;
    // Whether the recording running now was started by the channel itself (a return, a resume):
    // a failure of its start is then no person's to be told of in a box.
    bool automaticStart_ = false;
    std::chrono::milliseconds resumeWait_{0};
    std::chrono::steady_clock::time_point nextResume_{};
    std::chrono::steady_clock::time_point recordingSince_{};

    std::atomic<std::uint32_t> lastSnapshotSecond_{0};
    // A motion event began with MotionSnapshot on: the next frame is a snapshot too.
    std::atomic<bool> eventSnapshotDue_{false};
    std::string lastRecordingFile_;
    // Counts graph teardowns, so a failure handled late can tell it belongs to a graph gone.
    quint64 graphRun_ = 0;
    // While running: the frame count and when it last moved, the file being written.
    QTimer* watchTimer_ = nullptr;
    std::uint64_t lastFrames_ = 0;
    std::chrono::steady_clock::time_point lastFrameSeen_{};
    FileIdentity recordingIdentity_;
    // Its own stream asked of a network camera whose stream was not seen yet: recorded as WMV1
    // until it shows what it sends, then in a new file of its own stream.
    bool ownStreamUnknown_ = false;
    bool recordsOnMotion_ = false; // this recording writes motion events only
    bool eventOpen_ = false;       // and an event is being written
    QTimer* retryTimer_ = nullptr;
    std::unique_ptr<TDeviceArrivals> arrivals_;

    // The snapshot folder (read on the streaming thread) and the snapshot's bitmap.
    mutable std::mutex canvasLock_;
    std::unique_ptr<TBitmap> snapshotBitmap_;

    // Motion: notices waiting for the GUI thread, and what the GUI thread knows of the event.
    std::unique_ptr<MotionWatch> motionWatch_;
    std::mutex motionNoticeLock_;
    std::deque<MotionWatch::Notice> motionNotices_;
    bool motionActive_ = false;
    std::string motionFile_;

    // Components first, the graph last: the graph goes first and unlinks them.
    std::unique_ptr<TGreyGrabber> motionGrabber_;
    std::unique_ptr<TASFWriter> asfWriter_;
    std::unique_ptr<TSampleGrabber> videoSampleGrabber_;
    std::unique_ptr<TFilter> videoSourceFilter_;
    std::unique_ptr<TVideoRenderer> videoRenderer_;
    std::unique_ptr<TFilterGraph> captureGraph_;
};

} // namespace norvale

Q_DECLARE_METATYPE(norvale::MotionEventRecord)
