#pragma once
// The camera list panel (PopupPanel): the nine cameras of the current group with number, name
// and preview icon, the four group buttons, and the list's command menu. It only shows and
// reports; the main window decides what a click, a double-click or a group button means.
#include <QImage>
#include <QWidget>
#include <array>

class QListWidget;
class QMenu;
class QRadioButton;
class TRgnButton;

namespace norvale {

class Artwork;
class TAction;
class TCamera;

class CameraListPanel : public QWidget {
    Q_OBJECT
public:
    CameraListPanel(QWidget* parent, const Artwork* artwork);

    QListWidget* ListBox1() const { return listBox1_; }
    QRadioButton* GroupButton(int group) const { return groupButtons_.at(group - 1); }
    TRgnButton* ClosePanelBtn() const { return closePanelBtn_; }
    QMenu* PopupMenu1() const { return popupMenu1_; }

    // The group the items are drawn for (0 before the first fill).
    int group() const { return group_; }
    TCamera* cameraAt(int row) const;
    // Refills the nine items with a group's cameras while the list's drawing is suspended, so
    // the list repaints once, and marks the group's button.
    void fill(int group, const std::array<TCamera*, 9>& cameras);
    // Moves the highlight (the program's move, not reported as the user's choice).
    void highlight(int row);
    // Repaints the list at once: icons and names are those of the last repaint.
    void Refresh();
    // The list menu, in its order; camSettings is its default entry.
    void setMenuActions(TAction* refresh, TAction* preview, TAction* record, TAction* snapshot,
                        TAction* camSettings);

    // "[group-slot] name": the name without outer blanks, cut to 26 characters plus "~".
    static QString itemText(int group, int slot, const QString& cameraName);

signals:
    // The user chose an entry (click or keyboard move).
    void itemChosen(int row);
    void itemDoubleClicked();
    void groupClicked(int group);
    // Just before the list menu opens.
    void menuAboutToShow();

private:
    QListWidget* listBox1_ = nullptr;
    TRgnButton* closePanelBtn_ = nullptr;
    QMenu* popupMenu1_ = nullptr;
    std::array<QRadioButton*, 4> groupButtons_{};
    int group_ = 0;
};

} // namespace norvale
