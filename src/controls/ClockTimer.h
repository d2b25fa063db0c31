#pragma once
// A periodic timer that delivers its ticks on the GUI thread, either from a worker thread that
// waits on a stop event (the default) or from an ordinary GUI timer.
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>

// The platform refused a timer.
class EOutOfResources : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TClockTimerType {
    ttThread = 0, // a worker thread waits Interval ms between ticks
    ttSystem = 1, // a GUI timer
};

enum class TThreadPriority {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

// Lives on the GUI thread: create, change and destroy it there (a handler running on the worker,
// with syncEvent off, must not destroy it). Ticks reach OnTimer only while Enabled, Interval is
// above 0 and a handler is set. In thread mode the worker waits Interval ms, then hands the tick to
// the GUI thread and waits for it to finish before it starts the next wait, so ticks drift by the
// handler's run time. An exception thrown by the handler is caught and its text passed to the
// error handler; the timer keeps running.
class TClockTimer : public QObject {
    Q_OBJECT
public:
    using TimerHandler = std::function<void()>;
    using ErrorHandler = std::function<void(const QString& text)>;

    explicit TClockTimer(QObject* owner = nullptr);
    // Stops and joins the worker at once, even while it waits for a tick to be handed over.
    ~TClockTimer() override;

    TClockTimer(const TClockTimer&) = delete;
    TClockTimer& operator=(const TClockTimer&) = delete;

    // Default true. Switching it off only stops delivery; the worker keeps waking.
    bool enabled() const { return enabled_; }
    // Throws EOutOfResources ("No timer resources left.") in system mode when the platform
    // refuses a timer.
    void setEnabled(bool value);

    // Milliseconds between ticks, default 1000; 0 delivers none.
    std::uint32_t interval() const { return interval_; }
    void setInterval(std::uint32_t value);

    // Thread mode: run the tick on the GUI thread (default) or directly on the worker. Takes
    // effect from the next tick.
    bool syncEvent() const { return syncEvent_; }
    void setSyncEvent(bool value);

    TClockTimerType timerType() const { return timerType_; }
    void setTimerType(TClockTimerType value);

    TThreadPriority priority() const { return priority_; }
    void setPriority(TThreadPriority value);

    // The tick. Setting or clearing it while enabled restarts or stops the machinery.
    void setOnTimer(TimerHandler handler);
    bool hasOnTimer() const;

    // Receives the text of an exception thrown by the tick handler. Unset: the text goes to
    // standard error.
    void setErrorHandler(ErrorHandler handler);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    struct Worker;

    void updateTimer();
    void destroyTimer();
    void deliverTick();

    std::atomic<bool> enabled_{true};
    std::uint32_t interval_ = 1000;
    std::atomic<bool> syncEvent_{true};
    TClockTimerType timerType_ = TClockTimerType::ttThread;
    TThreadPriority priority_ = TThreadPriority::tpNormal;

    mutable std::mutex handlerMutex_; // the worker reads the handlers when syncEvent is off
    TimerHandler onTimer_;
    ErrorHandler onError_;

    int systemTimerId_ = 0;          // system mode: the running GUI timer, 0 when none
    std::shared_ptr<Worker> worker_; // thread mode
    bool timerCreated_ = false;
};
