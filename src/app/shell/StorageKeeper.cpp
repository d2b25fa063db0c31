#include "app/shell/StorageKeeper.h"

#include <QMetaObject>

namespace norvale {

StorageKeeper::StorageKeeper(SetupSource source, QObject* parent, RetentionService::Timing timing,
                             std::chrono::milliseconds refreshEvery)
    : QObject(parent), source_(std::move(source)) {
    // The service's handlers run on its thread; the signals go out from the GUI thread. A
    // result that arrives while this object is being destroyed is dropped by Qt.
    service_ = std::make_unique<RetentionService>(
        [this](const SweepResult& result) {
            QStringList removed;
            for (const auto& path : result.removed)
                removed << QString::fromStdString(path);
            QMetaObject::invokeMethod(
                this,
                [this, removed] {
                    if (!removed.isEmpty())
                        emit filesRemoved(removed);
                    emit swept();
                },
                Qt::QueuedConnection);
        },
        [this](const std::vector<DiskSpace>&) {
            QMetaObject::invokeMethod(
                this, [this] { emit disksChecked(); }, Qt::QueuedConnection);
        },
        timing);
    refreshTimer_.setInterval(refreshEvery);
    connect(&refreshTimer_, &QTimer::timeout, this, &StorageKeeper::refresh);
}

StorageKeeper::~StorageKeeper() {
    refreshTimer_.stop();
    service_.reset();
}

void StorageKeeper::start() {
    sweepNow();
    refreshTimer_.start();
}

void StorageKeeper::refresh() {
    RetentionSetup setup = source_();
    const bool beganRecording = setup.recording && !wasRecording_;
    wasRecording_ = setup.recording;
    service_->configure(std::move(setup));
    if (beganRecording)
        service_->checkSpace();
}

void StorageKeeper::sweepNow() {
    refresh();
    service_->sweepNow();
}

} // namespace norvale
