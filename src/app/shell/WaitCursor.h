#pragma once
// The hourglass for the length of a scope; the normal cursor comes back on every path out,
// exceptions included.
#include <QApplication>
#include <QCursor>

namespace norvale {

class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace norvale
