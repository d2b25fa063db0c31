#pragma once
// A clock the test sets. A reading that was never set is the system's; readings may come from
// the streaming threads while the test sets the next value.
#include "core/Clock.h"

#include <mutex>
#include <optional>

namespace norvale::test {

class FakeClock final : public Clock {
public:
    void setLocalTime(const std::tm& time) {
        std::lock_guard<std::mutex> hold(lock_);
        localTime_ = time;
    }
    void setMonotonicSeconds(std::uint32_t seconds) {
        std::lock_guard<std::mutex> hold(lock_);
        monotonicSeconds_ = seconds;
    }

    std::tm localTime() const override {
        std::lock_guard<std::mutex> hold(lock_);
        return localTime_ ? *localTime_ : systemClock().localTime();
    }
    std::uint32_t monotonicSeconds() const override {
        std::lock_guard<std::mutex> hold(lock_);
        return monotonicSeconds_ ? *monotonicSeconds_ : systemClock().monotonicSeconds();
    }
    std::uint32_t tickCount() const override { return systemClock().tickCount(); }

private:
    mutable std::mutex lock_;
    std::optional<std::tm> localTime_;
    std::optional<std::uint32_t> monotonicSeconds_;
};

} // namespace norvale::test
