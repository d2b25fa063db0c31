#pragma once
// Shared set-up of the capture tests: synthetic cameras and waiting for frames.
#include "capture/SysDevEnum.h"

#include <chrono>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace norvale::test {

inline void useTestCameras(int count) {
    setenv("NORVALE_TEST_DEVICES", std::to_string(count).c_str(), 1);
}

// Index of test camera `number` in a fresh listing (real devices come first).
inline int testCameraIndex(const TSysDevEnum& devices, int number) {
    for (int i = 0; i < devices.DeviceCount(); ++i)
        if (devices.EntryAt(i).FriendlyName == "Norvale Test Camera " + std::to_string(number))
            return i;
    return -1;
}

// Counts frames and lets a test wait for the n-th one (bounded, generous wait).
class FrameCounter {
public:
    void add() {
        std::lock_guard lock(mutex_);
        ++count_;
        cv_.notify_all();
    }
    bool waitFor(int n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return count_ >= n; });
    }
    int count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
};

} // namespace norvale::test
