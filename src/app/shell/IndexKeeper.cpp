#include "app/shell/IndexKeeper.h"

#include "app/shell/Translator.h"
#include "channel/CameraChannel.h"
#include "storage/RecordingIndex.h"

#include <QMetaObject>
#include <sys/stat.h>

namespace norvale {

namespace {
bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}
} // namespace

IndexKeeper::IndexKeeper(std::string databasePath, CameraSource cameras, QObject* parent)
    : QObject(parent), path_(std::move(databasePath)), cameras_(std::move(cameras)) {
    existedAtStart_ = fileExists(path_);
    // Both handlers run on the index's thread; what they say is shown from the GUI thread.
    service_ = std::make_unique<IndexService>(
        path_,
        [this](RecordingIndex& index) {
            if (index.rebuilt())
                reportLater([reason = QString::fromStdString(index.rebuildReason())] {
                    return Translator::tr(QStringLiteral("The recordings index was damaged and is "
                                                         "rebuilt from the files: %1"))
                        .arg(reason);
                });
        },
        [this](const std::string& text) {
            reportLater([text = QString::fromStdString(text)] {
                return Translator::tr(QStringLiteral("Recordings index: %1")).arg(text);
            });
        });
}

IndexKeeper::~IndexKeeper() {
    // The service finishes what was posted before its thread ends; nothing is reported after.
    service_.reset();
}

void IndexKeeper::reportLater(std::function<QString()> text) {
    // Worded on the GUI thread, where the catalogue is read.
    QMetaObject::invokeMethod(
        this, [this, text = std::move(text)] { emit report(text()); }, Qt::QueuedConnection);
}

void IndexKeeper::start() {
    std::vector<ScannedCamera> cameras = cameras_ ? cameras_() : std::vector<ScannedCamera>{};
    const bool missing = !existedAtStart_;
    service_->post([this, cameras = std::move(cameras), missing](RecordingIndex& index) {
        const auto found = findRecordings(cameras);
        const auto result = index.reconcile(found, fileExists);
        // A first start finds nothing to add; an index deleted under recordings is news.
        if (missing && result.added > 0)
            reportLater([added = result.added] {
                return Translator::tr(QStringLiteral("The recordings index was missing and is "
                                                     "rebuilt from %1 recording files."))
                    .arg(added);
            });
    });
}

void IndexKeeper::watch(int camera, CameraChannel& channel) {
    connect(&channel, &CameraChannel::recordingFileFinished, this,
            [this, camera](const QString& path, qint64 startMs, qint64 endMs, qint64 bytes) {
                addRecording(camera, path.toStdString(), startMs, endMs, bytes);
            });
    connect(&channel, &CameraChannel::motionEnded, this,
            [this, camera](const MotionEventRecord& event) {
                MotionEventRecord numbered = event;
                numbered.camera = camera;
                addEvent(numbered);
            });
}

void IndexKeeper::addRecording(int camera, const std::string& file, qint64 startMs, qint64 endMs,
                               qint64 bytes) {
    service_->post([=](RecordingIndex& index) {
        index.recordingStarted(camera, file, startMs);
        index.recordingUpdated(file, std::max(startMs, endMs), bytes, true);
    });
}

void IndexKeeper::addEvent(const MotionEventRecord& event) {
    service_->post([event](RecordingIndex& index) {
        Transaction t(index.database());
        const std::int64_t id = index.eventStarted(event.camera, event.startMs, event.file);
        index.eventUpdated(id, std::max(event.startMs, event.endMs), event.peak,
                           event.thumbnailJpeg.empty() ? nullptr : &event.thumbnailJpeg);
        t.commit();
    });
}

void IndexKeeper::filesRemoved(const QStringList& paths) {
    if (paths.isEmpty())
        return;
    std::vector<std::string> files;
    for (const QString& p : paths)
        files.push_back(p.toStdString());
    service_->post([files = std::move(files)](RecordingIndex& index) {
        for (const auto& f : files)
            index.recordingRemoved(f);
        // The sweep names files where they really are; a row may spell the folder otherwise.
        index.reconcile({}, fileExists);
    });
}

void IndexKeeper::flush() {
    service_->flush();
}

} // namespace norvale
