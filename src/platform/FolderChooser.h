#pragma once
// Picking an existing folder in the platform's folder browser.
#include <QString>
#include <optional>

class QWidget;

namespace norvale {

class IFolderChooser {
public:
    virtual ~IFolderChooser() = default;
    // Shows a modal browser over `owner` titled `title`, with `start` preselected when it is not
    // empty; only existing folders can be confirmed and no folder can be made. The chosen
    // folder, or nothing when cancelled.
    virtual std::optional<QString> browse(QWidget* owner, const QString& title,
                                          const QString& start) = 0;
};

// QFileDialog, directories only, read-only (no new-folder button).
class QtFolderChooser final : public IFolderChooser {
public:
    std::optional<QString> browse(QWidget* owner, const QString& title,
                                  const QString& start) override;
};

// Answers with a fixed result and remembers what it was asked; for tests.
class ScriptedFolderChooser final : public IFolderChooser {
public:
    std::optional<QString> browse(QWidget*, const QString& title, const QString& start) override {
        askedTitle = title;
        askedStart = start;
        return answer;
    }
    std::optional<QString> answer;
    QString askedTitle;
    QString askedStart;
};

// True when the user confirmed a folder: `folder` then holds its full path without a trailing
// separator (except for the root "/"). A start folder that does not exist is emptied first, so
// the browser opens without a preselection; on false `folder` is otherwise left as it was.
bool ChooseFolder(IFolderChooser& chooser, QWidget* owner, const QString& title, QString& folder);

} // namespace norvale
