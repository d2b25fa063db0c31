#include "platform/FolderChooser.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>

namespace norvale {

std::optional<QString> QtFolderChooser::browse(QWidget* owner, const QString& title,
                                               const QString& start) {
    QFileDialog dialog(owner, title);
    dialog.setFileMode(QFileDialog::Directory);
    // Qt's own dialog, so the new-folder button can go; read-only also stops making folders
    // from the context menu.
    dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog |
                      QFileDialog::ReadOnly | QFileDialog::DontResolveSymlinks);
    if (auto* newFolder = dialog.findChild<QToolButton*>(QStringLiteral("newFolderButton")))
        newFolder->hide();
    dialog.setWindowModality(Qt::ApplicationModal);
    if (!start.isEmpty()) {
        QDir startDir(start);
        QDir parent = startDir;
        if (parent.cdUp()) {
            dialog.setDirectory(parent);
            dialog.selectFile(startDir.absolutePath());
        } else {
            dialog.setDirectory(startDir);
        }
    } else {
        dialog.setDirectory(QDir::home());
    }
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen.first();
}

bool ChooseFolder(IFolderChooser& chooser, QWidget* owner, const QString& title, QString& folder) {
    if (!QFileInfo(folder).isDir())
        folder.clear();
    const std::optional<QString> chosen = chooser.browse(owner, title, folder);
    if (!chosen || chosen->isEmpty() || !QFileInfo(*chosen).isDir())
        return false;
    // cleanPath drops trailing separators but keeps the root.
    folder = QDir::cleanPath(QFileInfo(*chosen).absoluteFilePath());
    return true;
}

} // namespace norvale
