#pragma once
// Waiting in tests with an event loop: the event loop runs while a condition is awaited, bounded in
// time.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace norvale::test {

// Lets the event loop run until `done` holds or `ms` pass (bounded, never a fixed sleep).
template <class F> bool waitFor(F done, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

} // namespace norvale::test
