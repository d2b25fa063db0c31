#include "ClockTimer.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimerEvent>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <exception>
#include <iostream>

namespace {

QThread::Priority toQt(TThreadPriority priority) {
    switch (priority) {
    case TThreadPriority::tpIdle:
        return QThread::IdlePriority;
    case TThreadPriority::tpLowest:
        return QThread::LowestPriority;
    case TThreadPriority::tpLower:
        return QThread::LowPriority;
    case TThreadPriority::tpNormal:
        return QThread::NormalPriority;
    case TThreadPriority::tpHigher:
        return QThread::HighPriority;
    case TThreadPriority::tpHighest:
        return QThread::HighestPriority;
    case TThreadPriority::tpTimeCritical:
        return QThread::TimeCriticalPriority;
    }
    return QThread::NormalPriority;
}

} // namespace

// State shared by the GUI thread and the worker; everything below `mutex` is guarded by it.
// A tick queued to the GUI thread keeps this alive through its own reference, so it may finish
// after the timer has gone.
struct TClockTimer::Worker : std::enable_shared_from_this<Worker> {
    std::mutex mutex;
    std::condition_variable wake;
    bool suspended = true; // created suspended
    bool terminated = false;
    bool stopSignalled = false;
    std::uint64_t generation = 0; // bumped by every suspend/resume, restarting the wait
    std::uint32_t interval = 1000;
    bool handOffPending = false;

    std::unique_ptr<QThread> thread;

    void run(TClockTimer* timer);
    void stop();
};

void TClockTimer::Worker::run(TClockTimer* timer) {
    std::unique_lock lock(mutex);
    while (!terminated) {
        if (suspended) {
            wake.wait(lock, [&] { return terminated || !suspended; });
            continue;
        }
        const std::uint64_t started = generation;
        const bool interrupted = wake.wait_for(lock, std::chrono::milliseconds(interval), [&] {
            return terminated || stopSignalled || suspended || generation != started;
        });
        if (stopSignalled) {
            stopSignalled = false; // the stop event resets itself
            continue;
        }
        if (interrupted || terminated || QCoreApplication::closingDown())
            continue;

        if (!timer->syncEvent()) {
            lock.unlock();
            timer->deliverTick();
            lock.lock();
            continue;
        }
        // Hand the tick to the GUI thread and wait until it has run. A plain blocking queued
        // call would deadlock when the GUI thread destroys the timer meanwhile (it waits for
        // this thread); here termination also ends the wait, and the queued call dies with the
        // timer object if it has not run yet.
        handOffPending = true;
        lock.unlock();
        QMetaObject::invokeMethod(
            timer,
            [timer, self = shared_from_this()] {
                timer->deliverTick(); // may destroy the timer; touch only `self` afterwards
                const std::lock_guard guard(self->mutex);
                self->handOffPending = false;
                self->wake.notify_all();
            },
            Qt::QueuedConnection);
        lock.lock();
        wake.wait(lock, [&] { return terminated || !handOffPending; });
    }
}

void TClockTimer::Worker::stop() {
    {
        const std::lock_guard guard(mutex);
        terminated = true;
        suspended = false;
        stopSignalled = true;
        wake.notify_all();
    }
    thread->wait();
}

TClockTimer::TClockTimer(QObject* owner) : QObject(owner) {}

TClockTimer::~TClockTimer() {
    enabled_ = false;
    {
        const std::lock_guard guard(handlerMutex_);
        onTimer_ = nullptr;
    }
    destroyTimer();
}

void TClockTimer::setEnabled(bool value) {
    if (value == enabled_)
        return;
    enabled_ = value;
    if (value)
        updateTimer();
}

void TClockTimer::setInterval(std::uint32_t value) {
    if (value == interval_)
        return;
    interval_ = value;
    if (enabled_)
        updateTimer();
}

void TClockTimer::setSyncEvent(bool value) {
    syncEvent_ = value;
}

void TClockTimer::setTimerType(TClockTimerType value) {
    if (value == timerType_)
        return;
    destroyTimer();
    timerType_ = value;
    if (enabled_)
        updateTimer();
}

void TClockTimer::setPriority(TThreadPriority value) {
    if (value == priority_)
        return;
    priority_ = value;
    if (timerType_ == TClockTimerType::ttThread && enabled_)
        updateTimer();
}

void TClockTimer::setOnTimer(TimerHandler handler) {
    {
        const std::lock_guard guard(handlerMutex_);
        onTimer_ = std::move(handler);
    }
    if (enabled_)
        updateTimer();
}

bool TClockTimer::hasOnTimer() const {
    const std::lock_guard guard(handlerMutex_);
    return static_cast<bool>(onTimer_);
}

void TClockTimer::setErrorHandler(ErrorHandler handler) {
    const std::lock_guard guard(handlerMutex_);
    onError_ = std::move(handler);
}

void TClockTimer::updateTimer() {
    if (!timerCreated_) {
        if (timerType_ == TClockTimerType::ttThread) {
            auto worker = std::make_shared<Worker>();
            // The thread sees the worker by plain pointer (a shared one would keep the pair alive
            // for ever): the worker owns the thread and joins it before it goes.
            worker->thread.reset(QThread::create([this, w = worker.get()] { w->run(this); }));
            worker->thread->start();
            worker_ = std::move(worker);
        }
        timerCreated_ = true;
    }
    const bool runs = interval_ != 0 && enabled_ && hasOnTimer();

    if (timerType_ == TClockTimerType::ttSystem) {
        if (systemTimerId_ != 0) {
            killTimer(systemTimerId_);
            systemTimerId_ = 0;
        }
        if (runs) {
            const int ms = interval_ > static_cast<std::uint32_t>(INT_MAX)
                               ? INT_MAX
                               : static_cast<int>(interval_);
            systemTimerId_ = startTimer(ms, Qt::PreciseTimer);
            if (systemTimerId_ == 0)
                throw EOutOfResources("No timer resources left.");
        }
        return;
    }

    // Suspend, take the new interval, and resume only when ticks are wanted; resuming starts a
    // fresh wait.
    {
        const std::lock_guard guard(worker_->mutex);
        worker_->suspended = !runs;
        worker_->interval = interval_;
        ++worker_->generation;
        worker_->wake.notify_all();
    }
    if (runs)
        worker_->thread->setPriority(toQt(priority_));
}

void TClockTimer::destroyTimer() {
    if (!timerCreated_)
        return;
    if (timerType_ == TClockTimerType::ttSystem) {
        if (systemTimerId_ != 0)
            killTimer(systemTimerId_);
        systemTimerId_ = 0;
    } else if (worker_) {
        worker_->stop();
        worker_.reset();
    }
    timerCreated_ = false;
}

void TClockTimer::timerEvent(QTimerEvent* event) {
    if (event->timerId() == systemTimerId_ && systemTimerId_ != 0)
        deliverTick();
    else
        QObject::timerEvent(event);
}

void TClockTimer::deliverTick() {
    if (!enabled_)
        return;
    TimerHandler handler;
    ErrorHandler onError;
    {
        const std::lock_guard guard(handlerMutex_);
        handler = onTimer_;
        onError = onError_;
    }
    if (!handler)
        return;
    // Only copies are used from here on: the handler may destroy this timer.
    QString failure;
    try {
        handler();
        return;
    } catch (const std::exception& e) {
        failure = QString::fromUtf8(e.what());
    } catch (...) {
        failure = QStringLiteral("Unknown error in the clock timer.");
    }
    if (onError)
        onError(failure);
    else
        std::cerr << failure.toStdString() << '\n';
}
