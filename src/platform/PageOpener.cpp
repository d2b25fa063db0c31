#include "platform/PageOpener.h"

#include <QDesktopServices>
#include <QUrl>

namespace norvale {

void DesktopPageOpener::open(const QString& address) {
    // Qt hands the address to the desktop's opener as a detached process; its result is not
    // of interest here.
    QDesktopServices::openUrl(QUrl::fromUserInput(address));
}

} // namespace norvale
