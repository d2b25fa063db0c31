#pragma once
// Keeps the recording disks from filling while the program runs. On the GUI thread it reads what
// the retention service needs to know (the cameras' folders, the files being written, the
// limits) every few seconds and whenever asked; the service sweeps on its own thread, and its
// results come back to the GUI thread as signals.
#include "storage/RetentionService.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>

namespace norvale {

class StorageKeeper : public QObject {
    Q_OBJECT
public:
    // Read on the GUI thread each time the service is brought up to date.
    using SetupSource = std::function<RetentionSetup()>;

    explicit StorageKeeper(SetupSource source, QObject* parent = nullptr,
                           RetentionService::Timing timing = {},
                           std::chrono::milliseconds refreshEvery = std::chrono::seconds(10));
    // Waits for a running sweep to end (it stops between two deletions).
    ~StorageKeeper() override;

    // Sweeps once now and keeps the service up to date from then on.
    void start();
    // Brings the service up to date; a camera that began recording has the free space checked
    // at once.
    void refresh();
    // Brings the service up to date and sweeps at once (a write failed, the limits changed).
    void sweepNow();

    std::optional<SweepResult> lastResult() const { return service_->lastResult(); }
    std::vector<DiskSpace> disks() const { return service_->lastDisks(); }

signals:
    // After every sweep.
    void swept();
    // The files a sweep deleted (full paths, where they really are), when it deleted any.
    void filesRemoved(const QStringList& paths);
    // After every look at the recording disks, a sweep's included: disks() is new. Whoever
    // waits for space to come back (a recording stopped by a full disk) listens here.
    void disksChecked();

private:
    SetupSource source_;
    QTimer refreshTimer_;
    bool wasRecording_ = false;
    std::unique_ptr<RetentionService> service_;
};

} // namespace norvale
