#include "storage/RetentionService.h"

namespace norvale {

RetentionService::RetentionService(SweepHandler onSweep, SpaceHandler onSpace, Timing timing)
    : onSweep_(std::move(onSweep)), onSpace_(std::move(onSpace)), timing_(timing),
      worker_([this] { run(); }) {}

RetentionService::~RetentionService() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cancel_ = true;
    wake_.notify_all();
    worker_.join();
}

void RetentionService::configure(RetentionSetup setup) {
    {
        std::lock_guard lock(mutex_);
        setup_ = std::move(setup);
    }
    wake_.notify_all();
}

void RetentionService::sweepNow() {
    {
        std::lock_guard lock(mutex_);
        sweepRequested_ = true;
    }
    wake_.notify_all();
}

void RetentionService::checkSpace() {
    {
        std::lock_guard lock(mutex_);
        checkRequested_ = true;
    }
    wake_.notify_all();
}

std::optional<SweepResult> RetentionService::lastResult() const {
    std::lock_guard lock(mutex_);
    return lastResult_;
}

std::vector<DiskSpace> RetentionService::lastDisks() const {
    std::lock_guard lock(mutex_);
    return lastDisks_;
}

void RetentionService::run() {
    using Clock = std::chrono::steady_clock;
    const auto later = [](std::chrono::milliseconds every) {
        return every.count() > 0 ? std::optional(Clock::now() + every) : std::nullopt;
    };
    std::optional<Clock::time_point> nextSweep = later(timing_.sweepEvery);
    std::optional<Clock::time_point> nextCheck = later(timing_.checkEvery);

    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto requested = [this] {
            return stopping_ || (setup_ && (sweepRequested_ || checkRequested_));
        };
        std::optional<Clock::time_point> due;
        if (setup_) {
            due = nextSweep;
            if (setup_->recording && nextCheck && (!due || *nextCheck < *due))
                due = nextCheck;
        }
        if (due)
            wake_.wait_until(lock, *due, requested);
        else
            wake_.wait(lock, requested);
        if (stopping_)
            break;
        if (!setup_)
            continue;
        const auto now = Clock::now();
        bool sweep = sweepRequested_ || (nextSweep && now >= *nextSweep);
        const bool check = checkRequested_ || (setup_->recording && nextCheck && now >= *nextCheck);
        sweepRequested_ = checkRequested_ = false;
        if (!sweep && !check)
            continue;
        const RetentionSetup setup = *setup_;
        lock.unlock();

        std::vector<DiskSpace> disks;
        if (!sweep) {
            disks = recordingDisks(setup.cameras);
            sweep = belowKeepFree(disks, setup.policy);
        }
        std::optional<SweepResult> result;
        if (sweep) {
            result = runSweep(setup, &cancel_);
            disks = result->disks;
        }

        lock.lock();
        lastDisks_ = disks;
        if (result)
            lastResult_ = result;
        nextCheck = later(timing_.checkEvery);
        if (sweep)
            nextSweep = later(timing_.sweepEvery);
        if (stopping_)
            break;
        lock.unlock();
        if (onSpace_)
            onSpace_(disks);
        if (result && onSweep_)
            onSweep_(*result);
        lock.lock();
    }
}

} // namespace norvale
