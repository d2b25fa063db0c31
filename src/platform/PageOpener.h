#pragma once
// Opening a web page in the user's browser. Never waits for the browser and never reports a
// failure: the caller goes on either way.
#include <QString>
#include <vector>

namespace norvale {

class IPageOpener {
public:
    virtual ~IPageOpener() = default;
    virtual void open(const QString& address) = 0;
};

// The desktop's default browser (QDesktopServices).
class DesktopPageOpener final : public IPageOpener {
public:
    void open(const QString& address) override;
};

// Remembers the addresses; for tests.
class RecordingPageOpener final : public IPageOpener {
public:
    void open(const QString& address) override { opened.push_back(address); }
    std::vector<QString> opened;
};

} // namespace norvale
