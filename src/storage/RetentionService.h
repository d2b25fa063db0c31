#pragma once
// Runs retention sweeps on a worker thread of its own, never on the caller's.
//
// A sweep runs every `sweepEvery`, when asked (sweepNow: a write failed for lack of space, the
// program started, the limits changed), and whenever a check finds a recording disk below the
// space to keep free; checks run every `checkEvery` while a camera records, and when asked.
// Requests made while one is pending or a sweep runs coalesce into one more sweep afterwards.
// Nothing happens before the first configure().
#include "storage/RetentionSweep.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace norvale {

class RetentionService {
public:
    struct Timing {
        // Zero: never on its own.
        std::chrono::milliseconds sweepEvery{std::chrono::minutes(1)};
        std::chrono::milliseconds checkEvery{std::chrono::seconds(10)};
    };
    // Called on the worker thread after every sweep, and after every check with its disks.
    using SweepHandler = std::function<void(const SweepResult&)>;
    using SpaceHandler = std::function<void(const std::vector<DiskSpace>&)>;

    RetentionService(SweepHandler onSweep, SpaceHandler onSpace, Timing timing);
    explicit RetentionService(SweepHandler onSweep, SpaceHandler onSpace = {})
        : RetentionService(std::move(onSweep), std::move(onSpace), Timing{}) {}
    // Ends a running sweep between two deletions and waits for the worker.
    ~RetentionService();
    RetentionService(const RetentionService&) = delete;
    RetentionService& operator=(const RetentionService&) = delete;

    // The cameras, the files being written and the limits, as of now. Thread-safe.
    void configure(RetentionSetup setup);
    void sweepNow();
    void checkSpace();

    // The last sweep's result and the disks as last seen by a sweep or a check.
    std::optional<SweepResult> lastResult() const;
    std::vector<DiskSpace> lastDisks() const;

private:
    void run();

    SweepHandler onSweep_;
    SpaceHandler onSpace_;
    Timing timing_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<RetentionSetup> setup_;
    bool sweepRequested_ = false;
    bool checkRequested_ = false;
    bool stopping_ = false;
    std::atomic<bool> cancel_{false};
    std::optional<SweepResult> lastResult_;
    std::vector<DiskSpace> lastDisks_;

    std::thread worker_; // last: starts once everything above exists
};

} // namespace norvale
