#pragma once
// The clocks the engine reads, behind one interface so tests can set the time: local time for
// file names, whole seconds of a monotonic clock for the snapshot rule, milliseconds of it for
// profile names. Readings may be taken on any thread (the streaming threads name snapshots).
#include <cstdint>
#include <ctime>

namespace norvale {

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::tm localTime() const = 0;
    virtual std::uint32_t monotonicSeconds() const = 0;
    virtual std::uint32_t tickCount() const = 0;
};

// The system's clocks: the local wall time and the steady clock, which never wraps or jumps.
// Lives for the whole process.
const Clock& systemClock();

} // namespace norvale
