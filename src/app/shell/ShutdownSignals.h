#pragma once
// Turns SIGTERM, SIGINT and SIGHUP into a call on the GUI thread, so that a desktop ending the
// program closes the main window through the ordinary path: recordings are finished and the
// settings written instead of lost. Further signals while shutting down change nothing.
#include <QObject>
#include <functional>

class QSocketNotifier;

namespace norvale {

class ShutdownSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; `onSignal` runs on the GUI thread for every signal received.
    explicit ShutdownSignals(std::function<void(int)> onSignal, QObject* parent = nullptr);
    ~ShutdownSignals() override;

private:
    void readSignals();

    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace norvale
