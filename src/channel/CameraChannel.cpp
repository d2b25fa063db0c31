#include "channel/CameraChannel.h"

#include "capture/ASFWriter.h"
#include "capture/CaptureLog.h"
#include "capture/DeviceArrivals.h"
#include "capture/FilterGraph.h"
#include "capture/GreyGrabber.h"
#include "capture/SampleGrabber.h"
#include "capture/VideoRenderer.h"
#include "core/AtomicFile.h"
#include "core/FileNaming.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace norvale {

const char* channelStateName(ChannelState state) {
    switch (state) {
    case ChannelState::Idle:
        return "Idle";
    case ChannelState::Previewing:
        return "Previewing";
    case ChannelState::Recording:
        return "Recording";
    case ChannelState::Lost:
        return "Lost";
    }
    return "?";
}

bool channelTransitionAllowed(ChannelState from, ChannelState to) {
    using S = ChannelState;
    // Only something that runs can be lost, and only once.
    if (to == S::Lost)
        return from == S::Previewing || from == S::Recording;
    // Every state can be stopped or (re)started: a start from Lost is a person's command that
    // comes before the device's return.
    return true;
}

CameraChannel::CameraChannel(ChannelServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)) {
    if (!services_.clock)
        services_.clock = &systemClock();
    settings_ = defaultCameraSettings("untitled");
    asfWriter_ = std::make_unique<TASFWriter>("ASFWriter");
    asfWriter_->SetProfile(TWMProfiles8::wmp_V80_56VideoOnly);
    asfWriter_->SetPort(0);
    asfWriter_->SetMaxUsers(8);
    videoSampleGrabber_ = std::make_unique<TSampleGrabber>("VideoSampleGrabber");
    videoSampleGrabber_->SetOnBuffer(
        [this](TSampleGrabber& sender, double, const std::uint8_t* buffer, std::size_t length) {
            frameArrived(sender, buffer, length);
        });
    // Frames are converted for the callback only when it will take a snapshot of them; the
    // test is the callback's own first steps (read the clock, compare).
    videoSampleGrabber_->SetBufferWanted([this] {
        return eventSnapshotDue_.load(std::memory_order_relaxed) ||
               (autoSnapshot_.load(std::memory_order_relaxed) &&
                snapshotDue(services_.clock->monotonicSeconds(),
                            lastSnapshotSecond_.load(std::memory_order_relaxed),
                            snapshotSeconds_.load(std::memory_order_relaxed)));
    });
    // The picture of an event's first moments, beside the timed ones and by the same rule.
    connect(this, &CameraChannel::motionStarted, this, [this] {
        if (settings_.motionSnapshot)
            eventSnapshotDue_.store(true);
    });
    motionWatch_ = std::make_unique<MotionWatch>(
        [this](MotionWatch::Notice&& notice) { queueMotionNotice(std::move(notice)); });
    motionGrabber_ = std::make_unique<TGreyGrabber>("MotionGrabber");
    motionGrabber_->SetOnPicture([watch = motionWatch_.get()](const GreyView& picture,
                                                              std::int64_t wallMs,
                                                              bool firstOfRun) {
        watch->feed(picture, wallMs, firstOfRun);
    });
    videoSourceFilter_ = std::make_unique<TFilter>("VideoSourceFilter");
    videoRenderer_ = std::make_unique<TVideoRenderer>("VideoWindow");
    videoRenderer_->SetOnFramesWantedChanged([this] { updateDecoding(); });
    captureGraph_ = std::make_unique<TFilterGraph>("CaptureGraph");
    captureGraph_->SetMode(TGraphMode::gmCapture);
    captureGraph_->SetGraphEdit(true);
    captureGraph_->SetOnError([this](const std::string& text, TFilterComponent* origin) {
        // Handled from the event loop, not inside the bus dispatch; a graph rebuilt in between
        // (a new run) makes it stale.
        const Origin from = origin == asfWriter_.get() ? Origin::Writer : Origin::Device;
        QMetaObject::invokeMethod(
            this,
            [this, run = graphRun_, text = QString::fromStdString(text), from] {
                graphFailed(run, text, from);
            },
            Qt::QueuedConnection);
    });
    reportFinishedFiles();
    connect(this, &CameraChannel::motionStarted, this, &CameraChannel::beginEventFile);
    connect(this, &CameraChannel::motionEnded, this,
            [this](const MotionEventRecord&) { endEventFile(); });
    watchTimer_ = new QTimer(this);
    connect(watchTimer_, &QTimer::timeout, this, &CameraChannel::watch);
    retryTimer_ = new QTimer(this);
    retryTimer_->setSingleShot(true);
    connect(retryTimer_, &QTimer::timeout, this, &CameraChannel::tryReturn);
    setTimings(timings_);
}

CameraChannel::~CameraChannel() {
    try {
        stopRecording();
        stopPreview();
    } catch (const std::exception& e) {
        // A destructor must not throw; the graph is released below all the same.
        std::fprintf(stderr, "%s: %s\n", settings_.name.c_str(), e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unknown error while stopping\n", settings_.name.c_str());
    }
}

void CameraChannel::setTimings(const ChannelTimings& timings) {
    timings_ = timings;
    watchTimer_->setInterval(static_cast<int>(timings_.watchInterval.count()));
}

CameraSettings CameraChannel::settings() const {
    CameraSettings s = settings_;
    s.autoSnapshot = autoSnapshot_.load();
    s.snapshotSeconds = snapshotSeconds_.load();
    s.snapshotPath = snapshotPath();
    return s;
}

void CameraChannel::setSettings(const CameraSettings& settings) {
    {
        // The name and the snapshot folder are read on the streaming thread.
        std::lock_guard lock(canvasLock_);
        settings_ = settings;
    }
    autoSnapshot_.store(settings.autoSnapshot);
    snapshotSeconds_.store(settings.snapshotSeconds);
}

// The name and the snapshot folder are read on the streaming thread while a snapshot is taken.
void CameraChannel::setName(const std::string& name) {
    std::lock_guard lock(canvasLock_);
    settings_.name = name;
}

std::string CameraChannel::snapshotPath() const {
    std::lock_guard lock(canvasLock_);
    return settings_.snapshotPath;
}

void CameraChannel::setSnapshotPath(const std::string& path) {
    std::lock_guard lock(canvasLock_);
    settings_.snapshotPath = path;
}

void CameraChannel::setState(ChannelState state) {
    if (state_ == ChannelState::Lost && state != ChannelState::Lost) {
        retryTimer_->stop();
        arrivals_.reset();
    }
    if (state == ChannelState::Idle)
        returnUnproven_ = returnUntold_ = false; // a person's stop ends any return
    state_ = state;
}

// The one place where the graph changes state. The flags are the commands' business.
void CameraChannel::enter(ChannelState to, Binding binding) {
    if (!channelTransitionAllowed(state_, to))
        throw std::logic_error(std::string("A camera cannot go from ") + channelStateName(state_) +
                               " to " + channelStateName(to) + ".");
    const bool returning = state_ == ChannelState::Lost && binding == Binding::Stored;
    try {
        switch (to) {
        case ChannelState::Idle:
            tearDownGraph();
            break;
        case ChannelState::Previewing:
            buildPreview(binding);
            break;
        case ChannelState::Recording:
            buildRecording();
            break;
        case ChannelState::Lost:
            tearDownGraph();
            break;
        }
    } catch (...) {
        // Nothing half-built stays behind; a failed return keeps waiting.
        try {
            tearDownGraph();
        } catch (...) {
        }
        // The writer opens its file before the source fails: an empty file is no recording.
        if (to == ChannelState::Recording) {
            struct stat st {};
            if (::stat(lastRecordingFile_.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                st.st_size == 0)
                ::unlink(lastRecordingFile_.c_str());
        }
        if (!returning)
            setState(ChannelState::Idle);
        emit stateEntered(state_);
        throw;
    }
    setState(to);
    if (to == ChannelState::Previewing || to == ChannelState::Recording)
        startWatching();
    emit stateEntered(state_);
}

void CameraChannel::tearDownGraph() {
    // Black at once once nothing runs, also when a step below fails.
    struct Blank {
        CameraChannel* self;
        ~Blank() {
            if (self->onGraphStopped)
                self->onGraphStopped();
        }
    } blank{this};
    // An open motion event ends with the run, once its frames have stopped (also when a step
    // below fails); it is told before this returns.
    struct MotionEnd {
        CameraChannel* self;
        std::string file;
        ~MotionEnd() {
            try {
                self->endMotion(file);
            } catch (...) {
                LogSwallowedFailure("ending a motion event");
            }
        }
    } motionEnd{this, state_ == ChannelState::Recording && asfWriter_->HasFilter()
                          ? asfWriter_->CurrentFileName().string()
                          : std::string()};
    ++graphRun_;
    watchTimer_->stop();
    recordsOnMotion_ = eventOpen_ = false;
    if (state_ != ChannelState::Lost)
        state_ = ChannelState::Idle;
    captureGraph_->StopGraph();
    captureGraph_->PurgeGraph();
    captureGraph_->SetActive(false);
    motionGrabber_->SetFilterGraph(nullptr);
    asfWriter_->SetFilterGraph(nullptr);
    videoSampleGrabber_->SetFilterGraph(nullptr);
    videoSourceFilter_->SetFilterGraph(nullptr);
    videoRenderer_->SetFilterGraph(nullptr);
}

void CameraChannel::buildPreview(Binding binding) {
    tearDownGraph();
    videoSourceFilter_->SetFilterGraph(captureGraph_.get());
    videoRenderer_->SetFilterGraph(captureGraph_.get());
    videoSampleGrabber_->SetFilterGraph(captureGraph_.get());
    // The device at this position now (an empty identity when there is none any more); a device
    // that comes back is bound by the identity it had.
    if (binding == Binding::ByIndex)
        videoSourceFilter_->BaseFilter().StoreMoniker(
            services_.videoDevices ? services_.videoDevices->MonikerAt(settings_.videoDeviceIndex)
                                   : std::nullopt);
    captureGraph_->SetActive(true);
    // A missing device fails here with "Interface not supported"; other results are not examined.
    captureGraph_->RenderStream(PIN_CATEGORY_PREVIEW, *videoSourceFilter_,
                                videoSampleGrabber_.get(), *videoRenderer_);
    addMotionBranch();
    captureGraph_->RunGraph();
}

void CameraChannel::buildRecording() {
    tearDownGraph();
    recordingIdentity_ = {};
    ownStreamUnknown_ = false;
    // Recording the camera's own stream depends on what the camera sends, known once its stream
    // is rendered: then the writer joins last. Otherwise the writer is linked first.
    const bool ownStreamAsked = settings_.recordFormat == static_cast<int>(RecordFormat::OwnStream);
    asfWriter_->SetOwnStream({});
    if (!ownStreamAsked)
        asfWriter_->SetFilterGraph(captureGraph_.get());
    videoSampleGrabber_->SetFilterGraph(captureGraph_.get());
    videoSourceFilter_->SetFilterGraph(captureGraph_.get());
    videoRenderer_->SetFilterGraph(captureGraph_.get());

    settings_.saveFilePath = folderWithSeparator(settings_.saveFilePath);
    std::string fileName;
    // The first file and every later segment are named by the same rule, never twice the same.
    auto nameFiles = [&](RecordFormat format) {
        auto nextFile = [folder = settings_.saveFilePath, name = settings_.name,
                         clock = services_.clock, extension = recordingExtension(format)] {
            return claimTimestampedFileName(folder, name, clock->localTime(), extension);
        };
        if (!prepareRecordOnMotion()) {
            FileNameClaim first = nextFile();
            fileName = first.path();
            lastRecordingFile_ = fileName;
            asfWriter_->SetFileName(std::move(first));
        }
        asfWriter_->SetSegmentSeconds(settings_.segmentSeconds);
        asfWriter_->SetFileNameProvider(nextFile);
        asfWriter_->SetPort(static_cast<std::uint32_t>(std::max(0, mmsPort_)));
        asfWriter_->SetCameraNumber(cameraNumber_);
    };
    if (!ownStreamAsked)
        nameFiles(RecordFormat::Wmv);
    captureGraph_->SetActive(true);

    if (settings_.videoFormatIndex != -1) {
        // A device that is gone has no pins to configure: "Interface not supported".
        videoSourceFilter_->RequireFilter();
        TPinList pins(videoSourceFilter_.get());
        const int count = services_.deviceFormats ? services_.deviceFormats->Count() : 0;
        if (settings_.videoFormatIndex >= 0 && settings_.videoFormatIndex <= count - 1)
            pins.FirstPin().SetFormat(services_.deviceFormats->ItemAt(settings_.videoFormatIndex));
    }
    CheckDirectShowResult(captureGraph_->RenderStream(PIN_CATEGORY_PREVIEW, *videoSourceFilter_,
                                                      videoSampleGrabber_.get(), *videoRenderer_));
    if (ownStreamAsked) {
        // A camera without a compressed stream of its own is recorded as WMV1.
        const std::string mediaType = captureGraph_->SourceMediaType(*videoSourceFilter_);
        const RecordFormat format = recordFormatFor(settings_, mediaType);
        ownStreamUnknown_ = videoSourceFilter_->IsNetworkCamera() && mediaType == "video/x-raw";
        nameFiles(format);
        if (format == RecordFormat::OwnStream)
            asfWriter_->SetOwnStream(mediaType);
        asfWriter_->SetFilterGraph(captureGraph_.get());
        asfWriter_->RequireFilter();
    }
    CheckDirectShowResult(captureGraph_->RenderStream(PIN_CATEGORY_CAPTURE, *videoSourceFilter_,
                                                      nullptr, *asfWriter_));
    addMotionBranch();
    const auto [width, height] = captureGraph_->NativeVideoSize();
    configureWriterProfile(width, height, static_cast<std::int64_t>(settings_.bitRate) * 1000);
    captureGraph_->RunGraph();
    recordingIdentity_ = fileIdentity(fileName);
}

void CameraChannel::startWatching() {
    lastFrames_ = framesSeen();
    lastFrameSeen_ = std::chrono::steady_clock::now();
    watchTimer_->start();
    updateDecoding();
}

void CameraChannel::startPreview() {
    clearHalt();
    enter(ChannelState::Previewing);
    previewFlag_ = true;
    emit previewStarted();
}

void CameraChannel::stopPreview() {
    clearHalt();
    enter(ChannelState::Idle);
    previewFlag_ = false;
}

void CameraChannel::stopRecording() {
    clearHalt();
    // The newest segment; recording on motion, between events there is none.
    if (std::string file = currentRecordingFile(); !file.empty())
        lastRecordingFile_ = std::move(file);
    enter(ChannelState::Idle);
    recordFlag_ = false;
}

void CameraChannel::stopAll() {
    stopRecording();
    stopPreview();
}

void CameraChannel::startRecording() {
    // A person's recording: whatever halted before is theirs to see again, the waits start over.
    clearHalt();
    automaticStart_ = false;
    resumeWait_ = std::chrono::milliseconds(0);
    nextResume_ = {};
    recordingSince_ = std::chrono::steady_clock::now();
    try {
        recordFlag_ = false;
        enter(ChannelState::Recording);
        recordFlag_ = true;
    } catch (...) {
        // The one report is the error going on to the caller. When only the recording could
        // not start (its file cannot be opened), live video resumes; when the preview cannot
        // start either, the camera rests idle.
        settleAfterFailure(previewFlag_);
        emit stateChangedByItself();
        throw;
    }
}

// After a failure of the recording: the recording is over, live video resumes when it ran
// before, else (or when it cannot start) the channel rests idle.
void CameraChannel::settleAfterFailure(bool resumePreview) {
    try {
        stopRecording();
        if (resumePreview)
            startPreview();
        else
            stopPreview();
    } catch (const std::exception&) {
        try {
            stopPreview();
        } catch (const std::exception&) {
        }
        previewFlag_ = false;
    }
}

void CameraChannel::graphFailed(quint64 run, const QString& text, Origin origin) {
    const bool recordingOnly = origin != Origin::Device;
    if (run != graphRun_) {
        // The graph that failed was torn down meanwhile (the user stopped it, or it was rebuilt):
        // only the report is left to give. A recording's file branch failed while it ran, so
        // that one is told like any halt, though nothing is resumed of a graph gone.
        if (recordingOnly && state_ != ChannelState::Lost) {
            // The same failure told again by a part of the graph it halted: once is enough.
            if (halt_ != RecordingHalt::None) {
                std::fprintf(stderr, "%s: %s\n", settings_.name.c_str(), qUtf8Printable(text));
                return;
            }
            halt_ = RecordingHalt::Ended;
            haltedAt_ = services_.clock->localTime();
            haltText_ = text;
            emit stateChangedByItself();
            emit recordingHalted(text, false);
            return;
        }
        emit failed(text);
        return;
    }
    // While lost, nothing runs that could fail: what an attempt to return left is its own.
    if (state_ == ChannelState::Lost)
        return;
    // A failure of the device (unplugged, its driver gone) makes the channel wait for it to
    // come back. A failure of the file branch (full disk, folder gone) ends only the recording
    // and live video resumes. The recording so far stays readable either way.
    if (!recordingOnly &&
        (state_ == ChannelState::Previewing || state_ == ChannelState::Recording)) {
        lose(text);
        return;
    }
    const bool wasRecording = recordingOnly && recordFlag_;
    // A recording that never opened its file failed to start: when a person started it, that is
    // the answer to their command, given as every failed command is. Anything else happened
    // while nobody acted.
    // Recording on motion opens its files while nobody acts.
    const bool onItsOwn =
        wasRecording && (recordingIdentity_.valid || automaticStart_ || recordsOnMotion_);
    const bool again = automaticStart_;
    const auto ranFor = std::chrono::steady_clock::now() - recordingSince_;
    // Space may be made at once (the disk filled): told before the recording is settled.
    if (wasRecording)
        emit recordingWriteFailed();
    settleAfterFailure(wasRecording && previewFlag_);
    if (!onItsOwn) {
        emit stateChangedByItself();
        emit failed(text);
        return;
    }
    struct stat st {};
    const bool folderThere =
        ::stat(settings_.saveFilePath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    halt_ = !folderThere                  ? RecordingHalt::FolderGone
            : origin == Origin::FileWatch ? RecordingHalt::FileRemoved
                                          : RecordingHalt::WriteFailed;
    haltedAt_ = services_.clock->localTime();
    haltText_ = text;
    // A recording that ran well for a long while earns a quick try again.
    if (ranFor >= timings_.resumeLongest)
        resumeWait_ = std::chrono::milliseconds(0);
    emit stateChangedByItself();
    emit recordingHalted(text, again);
}

bool CameraChannel::resumeRecording() {
    if (!waitsToRecord())
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextResume_)
        return false;
    // Each try waits longer before the next: a disk that fills again at once costs one attempt
    // per wait, not a loop.
    resumeWait_ = resumeWait_.count() == 0 ? timings_.resumeFirst
                                           : std::min(resumeWait_ * 2, timings_.resumeLongest);
    nextResume_ = now + resumeWait_;
    try {
        enter(ChannelState::Recording);
    } catch (const std::exception& e) {
        // Not yet: the live video it had resumes, and the halt stays as it was told.
        std::fprintf(stderr, "%s: %s\n", settings_.name.c_str(), e.what());
        try {
            if (previewFlag_)
                enter(ChannelState::Previewing);
        } catch (const std::exception&) {
            previewFlag_ = false;
        }
        emit stateChangedByItself();
        return false;
    }
    recordFlag_ = true;
    automaticStart_ = true;
    recordingSince_ = now;
    clearHalt();
    emit stateChangedByItself();
    return true;
}

void CameraChannel::lose(const QString& text, std::chrono::steady_clock::duration silentFor) {
    returnState_ = state_;
    returnPreviewFlag_ = previewFlag_;
    lostSince_ = services_.clock->localTime(); // before the state is told
    const auto silentSeconds = std::chrono::duration_cast<std::chrono::seconds>(silentFor).count();
    if (silentSeconds > 0) {
        std::tm noticed = lostSince_;
        const std::time_t lastPicture = std::mktime(&noticed) - silentSeconds;
        localtime_r(&lastPicture, &lostSince_);
    }
    try {
        enter(ChannelState::Lost);
    } catch (const std::exception& e) {
        // Torn down as far as it went; the channel waits all the same.
        std::fprintf(stderr, "%s: %s\n", settings_.name.c_str(), e.what());
        setState(ChannelState::Lost);
        emit stateEntered(state_);
    }
    previewFlag_ = recordFlag_ = false;
    // Lost again before its first picture since it came back: the back-off goes on where it
    // was, so such a device costs one attempt per (growing) wait, not one a second.
    const bool unproven = returnUnproven_ && framesSeen() == lastFrames_;
    // Lost again before its return was told: nothing new to tell.
    const bool untold = unproven && returnUntold_;
    returnUntold_ = false;
    // Lost again soon after a return (its stream comes, but something in the graph fails on
    // it): the back-off goes on as well.
    const bool soon = returnedAt_ != std::chrono::steady_clock::time_point{} &&
                      std::chrono::steady_clock::now() - returnedAt_ < timings_.stallTimeout;
    retryDelay_ =
        unproven || soon ? std::min(retryDelay_ * 2, timings_.retryLongest) : timings_.retryFirst;
    returnUnproven_ = false;
    scheduleReturn();
    if (services_.videoDevices)
        arrivals_ = std::make_unique<TDeviceArrivals>(services_.videoDevices->category(), [this] {
            // Out of the monitor's dispatch; a device appeared, perhaps this one.
            QMetaObject::invokeMethod(this, &CameraChannel::tryReturn, Qt::QueuedConnection);
        });
    emit stateChangedByItself();
    if (!untold)
        emit lost(text);
}

void CameraChannel::scheduleReturn() {
    retryTimer_->start(static_cast<int>(retryDelay_.count()));
}

void CameraChannel::tryReturn() {
    if (state_ != ChannelState::Lost)
        return;
    const ChannelState target = returnState_;
    // Only a device that is listed again is opened: an attempt on one still gone would cost a
    // graph (and an empty file) each time.
    if (!videoSourceFilter_->BaseFilter().BindFilter()) {
        retryDelay_ = std::min(retryDelay_ * 2, timings_.retryLongest);
        scheduleReturn();
        return;
    }
    try {
        enter(target, Binding::Stored);
    } catch (const std::exception&) {
        // Not back yet: the next attempt waits twice as long, up to the longest wait.
        retryDelay_ = std::min(retryDelay_ * 2, timings_.retryLongest);
        scheduleReturn();
        return;
    }
    returnUnproven_ = true;
    returnedAt_ = std::chrono::steady_clock::now();
    previewFlag_ = returnPreviewFlag_;
    recordFlag_ = target == ChannelState::Recording;
    if (recordFlag_) {
        automaticStart_ = true;
        recordingSince_ = std::chrono::steady_clock::now();
    }
    if (target == ChannelState::Previewing)
        emit previewStarted();
    emit stateChangedByItself();
    returnUntold_ = videoSourceFilter_->IsNetworkCamera();
    if (!returnUntold_)
        emit returned();
}

void CameraChannel::watch() {
    if (state_ != ChannelState::Previewing && state_ != ChannelState::Recording)
        return;
    // A running device that delivers nothing (a stalled driver) is treated as gone.
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t frames = framesSeen();
    updateDecoding();
    if (frames != lastFrames_) {
        lastFrames_ = frames;
        lastFrameSeen_ = now;
        returnUnproven_ = false;
        if (returnUntold_) {
            returnUntold_ = false;
            emit returned();
        }
    } else if (now - lastFrameSeen_ >= timings_.stallTimeout) {
        lose(
            QString::fromLatin1("The camera %1 has delivered no picture for %2 seconds.")
                .arg(QString::fromStdString(settings_.name))
                .arg(
                    std::chrono::duration_cast<std::chrono::seconds>(now - lastFrameSeen_).count()),
            now - lastFrameSeen_);
        return;
    }
    if (state_ == ChannelState::Recording && ownStreamUnknown_ && frames > 0 &&
        carriesOwnStream(captureGraph_->SourceMediaType(*videoSourceFilter_))) {
        try {
            enter(ChannelState::Recording);
        } catch (const std::exception& e) {
            graphFailed(graphRun_, QString::fromStdString(e.what()), Origin::Writer);
        }
        return;
    }
    // The writer keeps writing into a file whose folder was deleted (or that was replaced)
    // without a complaint, and nothing of it would survive: when the path no longer names the
    // file being written, the recording ends now, with a report.
    if (state_ == ChannelState::Recording && recordsOnMotion_) {
        watchEventFile();
        return;
    }
    if (state_ != ChannelState::Recording || !recordingIdentity_.valid)
        return;
    // At each new segment the watch moves on to the file being written now.
    if (const std::string newest = asfWriter_->CurrentFileName().string();
        !newest.empty() && newest != lastRecordingFile_) {
        lastRecordingFile_ = newest;
        recordingIdentity_ = fileIdentity(newest);
    }
    const FileIdentity current = fileIdentity(lastRecordingFile_);
    if (current.valid && current.device == recordingIdentity_.device &&
        current.inode == recordingIdentity_.inode)
        return;
    graphFailed(graphRun_,
                QStringLiteral("The recording file %1 has been removed; the recording has stopped.")
                    .arg(QString::fromStdString(lastRecordingFile_)),
                Origin::FileWatch);
}

void CameraChannel::updateDecoding() {
    if (state_ != ChannelState::Previewing && state_ != ChannelState::Recording)
        return;
    const bool encodes = state_ == ChannelState::Recording && asfWriter_->OwnStream().empty();
    captureGraph_->SetSparseDecoding(*videoSourceFilter_, !videoRenderer_->FramesWanted() &&
                                                              !motionRules(settings_).detect &&
                                                              !encodes);
}

std::uint64_t CameraChannel::framesSeen() const {
    return videoSampleGrabber_->FramesDelivered() +
           captureGraph_->StreamBuffersSeen(*videoSourceFilter_);
}

std::string CameraChannel::currentRecordingFile() const {
    if (state_ != ChannelState::Recording || !asfWriter_->HasFilter())
        return {};
    return asfWriter_->CurrentFileName().string();
}

// The writer's gate for the recording about to start. True when it writes motion events only:
// record mode 1 with detection on (without detection a camera records as it always did).
bool CameraChannel::prepareRecordOnMotion() {
    const MotionRules rules = motionRules(settings_);
    recordsOnMotion_ = rules.detect && rules.recordMode == RecordMode::OnMotion;
    eventOpen_ = false;
    asfWriter_->SetEventGate(recordsOnMotion_, std::chrono::seconds(rules.preSeconds));
    return recordsOnMotion_;
}

// An event began: armed, the writer opens its file, with the pre-roll before `startMs`.
void CameraChannel::beginEventFile(qint64 startMs) {
    if (!recordsOnMotion_ || state_ != ChannelState::Recording || eventOpen_)
        return;
    if (!asfWriter_->BeginEvent(
            std::chrono::system_clock::time_point(std::chrono::milliseconds(startMs))))
        return;
    // Named at once: whoever hears of the event's start can tell its file.
    lastRecordingFile_ = asfWriter_->CurrentFileName().string();
    eventOpen_ = true;
    emit eventRecordingChanged();
}

void CameraChannel::endEventFile() {
    if (!eventOpen_)
        return;
    if (std::string file = asfWriter_->CurrentFileName().string(); !file.empty())
        lastRecordingFile_ = std::move(file);
    asfWriter_->EndEvent();
    eventOpen_ = false;
    emit eventRecordingChanged();
}

// Recording on motion, the watch follows each event's file while it is written; between events
// there is none.
void CameraChannel::watchEventFile() {
    const std::string file = asfWriter_->CurrentFileName().string();
    if (file.empty()) {
        recordingIdentity_ = {};
        return;
    }
    if (file != lastRecordingFile_ || !recordingIdentity_.valid) {
        lastRecordingFile_ = file;
        recordingIdentity_ = fileIdentity(file);
        return;
    }
    const FileIdentity now = fileIdentity(file);
    if (now.valid && now.device == recordingIdentity_.device &&
        now.inode == recordingIdentity_.inode)
        return;
    graphFailed(graphRun_,
                QStringLiteral("The recording file %1 has been removed; the recording has stopped.")
                    .arg(QString::fromStdString(file)),
                Origin::FileWatch);
}

// Every recording file, once finished (a segment, an event's file, the last of a recording), is
// announced on the GUI thread. The writer finishes files on its own thread while it records; the
// last one it finishes while the graph stops, on this thread, and that one is announced at once,
// so a program that is closing still tells of it.
void CameraChannel::reportFinishedFiles() {
    asfWriter_->SetOnSegmentFinished([this](const TRecordingSegment& s) {
        using namespace std::chrono;
        const auto ms = [](system_clock::time_point t) {
            return static_cast<qint64>(duration_cast<milliseconds>(t.time_since_epoch()).count());
        };
        auto announce = [this, path = QString::fromStdString(s.file.string()),
                         start = ms(s.started), end = ms(s.ended),
                         bytes = static_cast<qint64>(s.bytes)] {
            emit recordingFileFinished(path, start, end, bytes);
        };
        if (QThread::currentThread() == thread())
            announce();
        else
            QMetaObject::invokeMethod(this, announce, Qt::QueuedConnection);
    });
}

CameraChannel::FileIdentity CameraChannel::fileIdentity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return {true, st.st_dev, st.st_ino};
}

std::int32_t CameraChannel::configureWriterProfile(int width, int height,
                                                   std::int64_t bitsPerSecond) {
    TWriterProfile profile;
    profile.Name = settings_.name + std::to_string(services_.clock->tickCount());
    profile.Description = "Norvale WMV ProFiles";
    // A bit rate that does not fit the stream's 32-bit field (or is not positive) would wrap
    // into nonsense; the nearest rate the stream can carry is used instead.
    profile.BitRate = static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(bitsPerSecond, 1000, std::numeric_limits<std::int32_t>::max()));
    profile.AvgTimePerFrame = 666667;
    profile.MaxKeyFrameSpacing = 30000000;
    profile.Quality = 100;
    profile.Width = width;
    profile.Height = height;
    profile.BufferWindow = 0xFFFFFFFF;
    auto fail = [this](const char* call, std::int32_t code) {
        if (onProfileFailed)
            onProfileFailed(call, code);
        return code;
    };
    if (!asfWriter_->HasFilter())
        return fail("pWriter.QueryInterface", hr::E_NOINTERFACE);
    const HResult result = asfWriter_->ConfigureFilterUsingProfile(profile);
    if (result < 0)
        return fail("pWriter.ConfigureFilterUsingProfile", result);
    return 0;
}

void CameraChannel::frameArrived(TSampleGrabber& sender, const std::uint8_t* buffer,
                                 std::size_t length) {
    // Runs for every frame: when nothing is due, read the clock and compare, nothing more. An
    // event's snapshot leaves the timer's schedule as it is.
    if (!(eventSnapshotDue_.load(std::memory_order_relaxed) && eventSnapshotDue_.exchange(false))) {
        if (!autoSnapshot_.load(std::memory_order_relaxed))
            return;
        const std::uint32_t now = services_.clock->monotonicSeconds();
        if (!snapshotDue(now, lastSnapshotSecond_.load(std::memory_order_relaxed),
                         snapshotSeconds_.load(std::memory_order_relaxed)))
            return;
        // Counted as taken before the attempt: a failed snapshot waits for the next interval too.
        lastSnapshotSecond_.store(now, std::memory_order_relaxed);
    }
    try {
        // The folder gains its separator like the recording folder. The property is changed on
        // the GUI thread; both sides hold the canvas lock, as this thread reads it while running.
        std::string folder, name;
        {
            std::lock_guard lock(canvasLock_);
            folder = settings_.snapshotPath;
            name = settings_.name;
        }
        const std::string withSeparator = folderWithSeparator(folder);
        if (withSeparator != folder) {
            QMetaObject::invokeMethod(
                this,
                [this, folder, withSeparator] {
                    std::lock_guard lock(canvasLock_);
                    if (settings_.snapshotPath == folder)
                        settings_.snapshotPath = withSeparator;
                },
                Qt::QueuedConnection);
        }
        const std::string fileName =
            timestampedFileName(withSeparator, name, services_.clock->localTime(), ".bmp");
        std::shared_ptr<const TBitmap> shown;
        {
            std::lock_guard lock(canvasLock_);
            if (!snapshotBitmap_)
                snapshotBitmap_ = std::make_unique<TBitmap>();
            sender.FrameToBitmap(snapshotBitmap_.get(), buffer, length);
            if (!snapshotBitmap_->empty()) {
                const std::vector<std::uint8_t> file = snapshotBitmap_->BmpFile();
                // Whole or not at all: a full disk leaves no truncated or empty pictures.
                writeFileAtomically(fileName, file.data(), file.size());
                shown = std::make_shared<const TBitmap>(*snapshotBitmap_);
            }
        }
        if (shown)
            QMetaObject::invokeMethod(
                this,
                [this, shown] {
                    if (onSnapshot)
                        onSnapshot(shown);
                },
                Qt::QueuedConnection);
    } catch (...) {
        // Snapshots fail silently; the next one is due an interval later.
        LogSwallowedFailure("a timed snapshot");
    }
}

// ---------------------------------------------------------------------------------------------
// Motion

void CameraChannel::addMotionBranch() {
    const MotionRules rules = motionRules(settings_);
    if (!rules.detect)
        return;
    try {
        // Linked after the renderer, so the renderer's picture stays the graph's video size.
        motionGrabber_->SetFilterGraph(captureGraph_.get());
        CheckDirectShowResult(captureGraph_->RenderStream(PIN_CATEGORY_PREVIEW, *videoSourceFilter_,
                                                          nullptr, *motionGrabber_));
    } catch (const std::exception& e) {
        // Live video and recording go on without detection rather than not at all.
        std::fprintf(stderr, "%s: no motion detection: %s\n", settings_.name.c_str(), e.what());
        return;
    }
    motionWatch_->start(rules.detector, std::int64_t{rules.postSeconds} * 1000, true);
}

void CameraChannel::endMotion(const std::string& file) {
    using namespace std::chrono;
    const std::int64_t nowMs =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    motionWatch_->stop(nowMs);
    // An event of a recording that is being stopped belongs to the file it was in.
    if (motionActive_ && motionFile_.empty())
        motionFile_ = file;
    deliverMotionNotices();
}

void CameraChannel::setMotionSettings(const MotionSettings& settings) {
    motionWatch_->setSettings(settings);
}

bool CameraChannel::motionView(MotionView& out) const {
    return motionWatch_->view(out);
}

void CameraChannel::queueMotionNotice(MotionWatch::Notice&& notice) {
    // Under the watch's lock: notices queue up in the order they happened, whichever thread
    // told them.
    {
        std::lock_guard lock(motionNoticeLock_);
        motionNotices_.push_back(std::move(notice));
    }
    QMetaObject::invokeMethod(this, &CameraChannel::deliverMotionNotices, Qt::QueuedConnection);
}

void CameraChannel::deliverMotionNotices() {
    for (;;) {
        MotionWatch::Notice notice;
        {
            std::lock_guard lock(motionNoticeLock_);
            if (motionNotices_.empty())
                return;
            notice = std::move(motionNotices_.front());
            motionNotices_.pop_front();
        }
        if (notice.started) {
            motionActive_ = true;
            emit motionStarted(notice.event.startMs);
            // The file being written once the start is told (recording on motion opens the
            // event's own file as it hears of it) holds the event.
            motionFile_ = state_ == ChannelState::Recording && asfWriter_->HasFilter()
                              ? asfWriter_->CurrentFileName().string()
                              : std::string();
            continue;
        }
        motionActive_ = false;
        MotionEventRecord record;
        record.camera = cameraNumber_;
        record.startMs = notice.event.startMs;
        record.endMs = notice.event.endMs;
        record.peak = notice.event.peak;
        record.file = std::move(motionFile_);
        motionFile_.clear();
        // Encoded once per event, here rather than on the streaming thread.
        if (!notice.peakPicture.empty())
            record.thumbnailJpeg = EncodeGreyJpeg(
                GreyView{notice.peakPicture.data(), notice.width, notice.height, notice.width});
        emit motionEnded(record);
    }
}

} // namespace norvale
