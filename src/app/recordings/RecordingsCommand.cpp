#include "app/recordings/RecordingsCommand.h"

#include "app/camera/Camera.h"
#include "app/shell/Action.h"
#include "app/shell/Translator.h"
#include "app/wall/Form1.h"
#include "app/wall/TrayControl.h"
#include "core/WallLayout.h"

#include <QMenu>

namespace norvale {

RecordingsCommand::RecordingsCommand(TForm1& form, RecordingsContext context)
    : QObject(&form), form_(form), context_(std::move(context)) {
    const QString caption = Translator::tr(QStringLiteral("Recordings..."));
    actRecordings_ = new TAction(caption, &form);
    actRecordings_->setObjectName(QStringLiteral("actRecordings"));
    actRecordings_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    actRecordings_->setShortcutContext(Qt::WindowShortcut);
    actRecordings_->setExecuteRule([this] {
        const TCamera* cam = form_.SelectedCamera();
        open(cam ? cameraNumberOfName(cam->objectName().toStdString()) : 1);
    });
    form.addAction(actRecordings_);
    form.PopupMenu1()->addAction(actRecordings_);

    QMenu* tray = form.tray().pmTrayIcon();
    QAction* exit = tray->findChild<QAction*>(QStringLiteral("Exit1"));
    tray->insertAction(exit, actRecordings_);

    // A camera's own menu opens on that camera, selected or not.
    for (TCamera* cam : form.AllCameras()) {
        auto* own = new QAction(caption, cam->PopupMenu1());
        own->setObjectName(QStringLiteral("actRecordings"));
        cam->PopupMenu1()->addAction(own);
        const int number = cameraNumberOfName(cam->objectName().toStdString());
        connect(own, &QAction::triggered, this, [this, number] { open(number); });
    }
}

void RecordingsCommand::open(int camera) {
    if (!window_) {
        // A window of its own on the desktop, closed with the wall.
        window_ = new TRecordingsForm(context_, camera, &form_);
    }
    window_->show();
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->raise();
    window_->activateWindow();
}

} // namespace norvale
