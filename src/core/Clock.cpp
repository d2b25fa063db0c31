#include "core/Clock.h"

#include <chrono>

namespace norvale {

namespace {
class SystemClock final : public Clock {
public:
    std::tm localTime() const override {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return local;
    }
    std::uint32_t monotonicSeconds() const override {
        using namespace std::chrono;
        return static_cast<std::uint32_t>(
            duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
    }
    std::uint32_t tickCount() const override {
        using namespace std::chrono;
        return static_cast<std::uint32_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
};
} // namespace

const Clock& systemClock() {
    static const SystemClock clock;
    return clock;
}

} // namespace norvale
