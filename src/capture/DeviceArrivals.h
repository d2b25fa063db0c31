#pragma once
// Tells when a capture device of a category appears (a camera plugged in, a driver loaded),
// through GStreamer's device monitor. Devices whose provider only lists (the synthetic cameras)
// are never announced: whoever waits for one of those also tries again on a timer.
//
// The announcement is delivered by GLib's default main context (the GUI thread under Qt's
// event loop) for as long as the object lives.
#include "core/Guid.h"

#include <functional>
#include <memory>

namespace norvale {

class TDeviceArrivals {
public:
    // Starts watching `category` (every watcher shares one category: the first one's); `arrived`
    // runs for each device that appears. Providers that cannot start announce nothing.
    TDeviceArrivals(const TGuid& category, std::function<void()> arrived);
    ~TDeviceArrivals();
    TDeviceArrivals(const TDeviceArrivals&) = delete;
    TDeviceArrivals& operator=(const TDeviceArrivals&) = delete;

    struct Impl;

private:
    std::unique_ptr<Impl> d_;
};

} // namespace norvale
