#include "app/wall/CameraListPanel.h"

#include "app/camera/Camera.h"
#include "app/shell/Action.h"
#include "app/shell/Artwork.h"
#include "app/shell/Translator.h"
#include "app/wall/WallWidgets.h"
#include "controls/RgnButton.h"

#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QRadioButton>
#include <QStyledItemDelegate>

namespace norvale {

namespace {

constexpr quint32 kCurrentGroupColour = 0x000080; // maroon
constexpr quint32 kOtherGroupColour = 0x800000;   // navy

// Draws one entry: status icon and its text; entries without a camera stay empty.
class CameraListDelegate : public QStyledItemDelegate {
public:
    CameraListDelegate(CameraListPanel* panel, QImage idle, QImage live)
        : QStyledItemDelegate(panel), panel_(panel), idle_(std::move(idle)),
          live_(std::move(live)) {}

    void paint(QPainter* p, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const int i = index.row();
        const int group = panel_->group();
        TCamera* camera = panel_->cameraAt(i);
        if (i < 0 || i > 8 || group < 1 || group > 4 || !camera)
            return;
        QString text = CameraListPanel::itemText(group, i + 1, camera->CameraName());
        // A lost camera says so, and since when; so does a recording that stopped on its own.
        if (const QString notice = camera->NoticeText(); !notice.isEmpty())
            text += QLatin1String(" - ") + notice;
        const bool highlighted = option.state & QStyle::State_Selected;
        const QPalette& pal = option.palette;
        p->fillRect(option.rect, highlighted ? pal.highlight() : pal.base());
        const QImage& icon = camera->Previewing() ? live_ : idle_;
        if (!icon.isNull())
            p->drawImage(option.rect.left() + 1, option.rect.top() + 1, icon);
        p->setPen(highlighted ? pal.highlightedText().color() : pal.text().color());
        p->setFont(option.font);
        p->drawText(QRect(option.rect.left() + 20, option.rect.top(), option.rect.width() - 20,
                          option.rect.height()),
                    Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        return {option.rect.width(), 16};
    }

private:
    CameraListPanel* panel_;
    QImage idle_;
    QImage live_;
};

// The list reports the keyboard's moves of its highlight; the mouse reports through clicks.
class CameraList : public QListWidget {
public:
    CameraList(QWidget* parent, std::function<void(int)> moved)
        : QListWidget(parent), moved_(std::move(moved)) {}

protected:
    void keyPressEvent(QKeyEvent* e) override {
        const int before = currentRow();
        QListWidget::keyPressEvent(e);
        if (currentRow() != before)
            moved_(currentRow());
    }

private:
    std::function<void(int)> moved_;
};

// A sunken separator drawn along the top edge of its box (a shadow line over a light one).
class TopEdgeLine : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setPen(palette().color(QPalette::Dark));
        p.drawLine(0, 0, width() - 1, 0);
        p.setPen(palette().color(QPalette::Light));
        p.drawLine(0, 1, width() - 1, 1);
    }
};

} // namespace

QString CameraListPanel::itemText(int group, int slot, const QString& cameraName) {
    // The "[group-slot] " prefix is data, the same in every language.
    QString text = QString::asprintf("[%d-%d] ", group, slot) + cameraName.trimmed();
    if (text.size() > 26)
        text = text.left(26) + QLatin1Char('~');
    return text;
}

CameraListPanel::CameraListPanel(QWidget* parent, const Artwork* artwork) : QWidget(parent) {
    setObjectName(QStringLiteral("PopupPanel"));
    setGeometry(317, 449, 199, 239);
    auto image = [artwork](const char* name) {
        return artwork ? artwork->image(QString::fromLatin1(name)) : QImage();
    };

    auto* image2 = new BackgroundImage(this, image("panel.jpg"), nullptr);
    image2->setObjectName(QStringLiteral("Image2"));
    image2->setGeometry(0, 0, 199, 239);

    closePanelBtn_ = new TRgnButton(this);
    closePanelBtn_->setObjectName(QStringLiteral("ClosePanelBtn"));
    closePanelBtn_->setGeometry(0, 0, 199, 15);
    closePanelBtn_->setToolTip(QStringLiteral("Hide"));
    if (artwork)
        closePanelBtn_->setImageList(artwork->buttonImages(QStringLiteral("hidepanel")));
    connect(closePanelBtn_, &TRgnButton::clicked, this, &QWidget::hide);

    auto* label1 = new QLabel(QStringLiteral("Camera Device List"), this);
    label1->setObjectName(QStringLiteral("Label1"));
    // Centred where the designed 91-pixel caption stands, wide enough for a longer translation.
    label1->setGeometry(0, 25, 189, 13);
    label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    // A click and a keyboard move both choose the entry, so highlight and selection agree.
    listBox1_ = new CameraList(this, [this](int row) { emit itemChosen(row); });
    listBox1_->setObjectName(QStringLiteral("ListBox1"));
    listBox1_->setGeometry(15, 46, 168, 146);
    listBox1_->setFrameShape(QFrame::NoFrame);
    listBox1_->setFocusPolicy(Qt::ClickFocus);
    listBox1_->setUniformItemSizes(true);
    listBox1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    listBox1_->setContextMenuPolicy(Qt::CustomContextMenu);
    for (int i = 1; i <= 9; ++i)
        listBox1_->addItem(QString::number(i));
    listBox1_->setItemDelegate(
        new CameraListDelegate(this, image("status0.png"), image("status1.png")));
    connect(listBox1_, &QListWidget::itemClicked, this,
            [this] { emit itemChosen(listBox1_->currentRow()); });
    connect(listBox1_, &QListWidget::itemDoubleClicked, this, &CameraListPanel::itemDoubleClicked);

    popupMenu1_ = new QMenu(this);
    popupMenu1_->setObjectName(QStringLiteral("PopupMenu1"));
    connect(popupMenu1_, &QMenu::aboutToShow, this, &CameraListPanel::menuAboutToShow);
    // A right-click chooses the entry under it first, as a click would: the menu acts on the
    // camera it was opened on, and highlight and selection agree.
    connect(listBox1_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (QListWidgetItem* item = listBox1_->itemAt(pos)) {
            listBox1_->setCurrentItem(item);
            emit itemChosen(listBox1_->row(item));
        }
        popupMenu1_->popup(listBox1_->viewport()->mapToGlobal(pos));
    });

    auto* bevel2 = new TopEdgeLine(this);
    bevel2->setObjectName(QStringLiteral("Bevel2"));
    bevel2->setGeometry(19, 192, 160, 9);

    const QPoint groupPos[4] = {{21, 196}, {100, 196}, {21, 212}, {100, 212}};
    const char* captions[4] = {N_("Group1"), N_("Group2"), N_("Group3"), N_("Group4")};
    for (int i = 0; i < 4; ++i) {
        auto* rb = new QRadioButton(QString::fromLatin1(captions[i]), this);
        rb->setObjectName(QStringLiteral("rbGroup%1").arg(i + 1));
        rb->setGeometry(groupPos[i].x(), groupPos[i].y(), 73, 14);
        rb->setFont(tahoma8(true));
        // A button fills with its Button colour unless told to use the window's.
        rb->setBackgroundRole(QPalette::Window);
        rb->setAutoFillBackground(true);
        QPalette pal = rb->palette();
        pal.setColor(QPalette::Window, Qt::white);
        pal.setColor(QPalette::WindowText, bgrColor(kOtherGroupColour));
        rb->setPalette(pal);
        groupButtons_[static_cast<std::size_t>(i)] = rb;
        connect(rb, &QRadioButton::clicked, this, [this, i] { emit groupClicked(i + 1); });
    }
    groupButtons_[0]->setChecked(true);
}

TCamera* CameraListPanel::cameraAt(int row) const {
    QListWidgetItem* item = row >= 0 && row <= 8 ? listBox1_->item(row) : nullptr;
    return item ? item->data(Qt::UserRole).value<TCamera*>() : nullptr;
}

void CameraListPanel::fill(int group, const std::array<TCamera*, 9>& cameras) {
    for (int i = 0; i < 4; ++i) {
        QRadioButton* rb = groupButtons_[static_cast<std::size_t>(i)];
        rb->setChecked(i + 1 == group);
        QPalette pal = rb->palette();
        pal.setColor(QPalette::WindowText,
                     bgrColor(i + 1 == group ? kCurrentGroupColour : kOtherGroupColour));
        rb->setPalette(pal);
    }
    listBox1_->setUpdatesEnabled(false);
    group_ = group;
    for (int s = 0; s < 9; ++s)
        listBox1_->item(s)->setData(Qt::UserRole,
                                    QVariant::fromValue(cameras[static_cast<std::size_t>(s)]));
    listBox1_->setUpdatesEnabled(true);
}

void CameraListPanel::highlight(int row) {
    if (listBox1_->currentRow() != row)
        listBox1_->setCurrentRow(row);
}

void CameraListPanel::Refresh() {
    listBox1_->viewport()->repaint();
}

void CameraListPanel::setMenuActions(TAction* refresh, TAction* preview, TAction* record,
                                     TAction* snapshot, TAction* camSettings) {
    popupMenu1_->clear();
    popupMenu1_->addAction(refresh);
    popupMenu1_->addSeparator();
    popupMenu1_->addAction(preview);
    popupMenu1_->addAction(record);
    popupMenu1_->addAction(snapshot);
    popupMenu1_->addSeparator();
    popupMenu1_->addAction(camSettings);
    popupMenu1_->setDefaultAction(camSettings);
}

} // namespace norvale
