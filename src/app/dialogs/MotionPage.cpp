#include "app/dialogs/MotionPage.h"

#include "app/dialogs/MotionPreview.h"
#include "app/dialogs/SpinEdit.h"
#include "app/shell/Translator.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <algorithm>
#include <cstdlib>

namespace norvale {

namespace {

constexpr QRgb kChangedColour = qRgb(255, 40, 40);

QLabel* label(QWidget* parent, const QString& text, int x, int y, int w, int h = 16) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(x, y, w, h);
    return l;
}

QSlider* slider(QWidget* parent, const char* name, int x, int y, int minValue, int maxValue,
                int w) {
    auto* s = new QSlider(Qt::Horizontal, parent);
    s->setObjectName(QLatin1String(name));
    s->setGeometry(x, y, w, 22);
    s->setRange(minValue, maxValue);
    return s;
}

} // namespace

MotionMaskView::MotionMaskView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::CrossCursor);
}

void MotionMaskView::setMask(const MotionMask& mask) {
    mask_ = mask;
    update();
}

void MotionMaskView::setPicture(const QImage& picture) {
    picture_ = picture;
    update();
}

void MotionMaskView::setWaitingText(const QString& text) {
    waitingText_ = text;
    update();
}

QPoint MotionMaskView::cellAt(const QPoint& pos) const {
    if (!rect().contains(pos) || width() <= 0 || height() <= 0)
        return {-1, -1};
    return {std::clamp(pos.x() * MotionMask::Columns / width(), 0, MotionMask::Columns - 1),
            std::clamp(pos.y() * MotionMask::Rows / height(), 0, MotionMask::Rows - 1)};
}

void MotionMaskView::paintCell(const QPoint& cell) {
    if (cell.x() < 0 || mask_.ignored(cell.x(), cell.y()) == paintIgnored_)
        return;
    mask_.setIgnored(cell.x(), cell.y(), paintIgnored_);
    update();
    emit maskPainted();
}

void MotionMaskView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    const QPoint cell = cellAt(event->position().toPoint());
    if (cell.x() < 0)
        return;
    // The first cell decides what the drag paints: the opposite of what it was.
    painting_ = true;
    paintIgnored_ = !mask_.ignored(cell.x(), cell.y());
    lastCell_ = cell;
    paintCell(cell);
}

void MotionMaskView::mouseMoveEvent(QMouseEvent* event) {
    if (!painting_ || !(event->buttons() & Qt::LeftButton))
        return;
    const QPoint to = cellAt(event->position().toPoint());
    if (to.x() < 0)
        return;
    // Every cell on the way from the last one: a quick drag skips none.
    const QPoint from = lastCell_;
    const int steps = std::max(std::abs(to.x() - from.x()), std::abs(to.y() - from.y()));
    for (int i = 1; i <= steps; ++i)
        paintCell({from.x() + (to.x() - from.x()) * i / steps,
                   from.y() + (to.y() - from.y()) * i / steps});
    lastCell_ = to;
}

void MotionMaskView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        painting_ = false;
}

void MotionMaskView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (picture_.isNull()) {
        p.setPen(QColor(0x8d, 0x99, 0xa6));
        p.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, waitingText_);
    } else {
        p.drawImage(rect(), picture_);
    }
    // Ignored cells are shaded; the grid is drawn faintly over everything.
    const int w = width(), h = height();
    for (int r = 0; r < MotionMask::Rows; ++r)
        for (int c = 0; c < MotionMask::Columns; ++c)
            if (mask_.ignored(c, r)) {
                const QRect cell(QPoint(c * w / MotionMask::Columns, r * h / MotionMask::Rows),
                                 QPoint((c + 1) * w / MotionMask::Columns - 1,
                                        (r + 1) * h / MotionMask::Rows - 1));
                p.fillRect(cell, QColor(30, 60, 200, 140));
            }
    p.setPen(QColor(255, 255, 255, 40));
    for (int c = 1; c < MotionMask::Columns; ++c)
        p.drawLine(c * w / MotionMask::Columns, 0, c * w / MotionMask::Columns, h);
    for (int r = 1; r < MotionMask::Rows; ++r)
        p.drawLine(0, r * h / MotionMask::Rows, w, r * h / MotionMask::Rows);
}

MotionPage::MotionPage(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("tabMotion"));
    chkMotionDetect_ = new QCheckBox(QStringLiteral("Detect motion"), this);
    chkMotionDetect_->setObjectName(QStringLiteral("chkMotionDetect"));
    chkMotionDetect_->setGeometry(12, 8, 280, 20);

    maskView_ = new MotionMaskView(this);
    maskView_->setObjectName(QStringLiteral("MotionMaskView"));
    maskView_->setGeometry(12, 32, 288, 216);
    maskView_->setWaitingText(Translator::tr(QStringLiteral("No live picture: press Preview")));
    auto* hint = label(this,
                       QStringLiteral("Click and drag on the picture to mark the areas where "
                                      "motion is ignored."),
                       12, 252, 288, 32);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    btnClearMask_ = new QPushButton(QStringLiteral("Clear Mask"), this);
    btnClearMask_->setObjectName(QStringLiteral("btnClearMask"));
    btnClearMask_->setGeometry(12, 288, 100, 25);
    btnClearMask_->setAutoDefault(false);
    btnMotionPreview_ = new QPushButton(QStringLiteral("Preview"), this);
    btnMotionPreview_->setObjectName(QStringLiteral("btnMotionPreview"));
    btnMotionPreview_->setGeometry(200, 288, 100, 25);
    btnMotionPreview_->setAutoDefault(false);
    btnMotionPreview_->hide();
    connect(btnMotionPreview_, &QPushButton::clicked, this, [this] {
        if (previewCommand_)
            previewCommand_();
    });

    label(this, QStringLiteral("Sensitivity"), 312, 32, 120);
    sldSensitivity_ = slider(this, "sldSensitivity", 312, 50, 1, 100, 118);
    edtSensitivity_ = new TSpinEdit(this);
    edtSensitivity_->setObjectName(QStringLiteral("edtSensitivity"));
    edtSensitivity_->setGeometry(434, 50, 58, 22);
    edtSensitivity_->SetBounds(1, 100);
    label(this, QStringLiteral("Smallest moving area"), 312, 80, 180);
    sldMinArea_ = slider(this, "sldMinArea", 312, 98, 1, 1000, 118);
    edtMinArea_ = new QDoubleSpinBox(this);
    edtMinArea_->setObjectName(QStringLiteral("edtMinArea"));
    edtMinArea_->setGeometry(434, 98, 58, 22);
    edtMinArea_->setRange(0.1, 100.0);
    edtMinArea_->setDecimals(1);
    edtMinArea_->setSingleStep(0.1);
    edtMinArea_->setSuffix(QLatin1String(" %"));
    // Slider and number move together.
    connect(sldSensitivity_, &QSlider::valueChanged, edtSensitivity_, &QSpinBox::setValue);
    connect(edtSensitivity_, &QSpinBox::valueChanged, sldSensitivity_, &QSlider::setValue);
    connect(sldMinArea_, &QSlider::valueChanged, this,
            [this](int tenths) { edtMinArea_->setValue(tenths / 10.0); });
    connect(edtMinArea_, &QDoubleSpinBox::valueChanged, this, [this](double percent) {
        sldMinArea_->setValue(static_cast<int>(percent * 10 + 0.5));
    });

    label(this, QStringLiteral("Recording"), 312, 132, 180);
    cbbRecordMode_ = new QComboBox(this);
    cbbRecordMode_->setObjectName(QStringLiteral("cbbRecordMode"));
    cbbRecordMode_->setGeometry(312, 150, 180, 22);
    // In the order of the RecordMode values.
    cbbRecordMode_->addItem(Translator::tr(QStringLiteral("All the time")));
    cbbRecordMode_->addItem(Translator::tr(QStringLiteral("Motion events only")));
    label(this, QStringLiteral("Seconds kept before an event"), 312, 184, 180);
    edtPreSeconds_ = new TSpinEdit(this);
    edtPreSeconds_->setObjectName(QStringLiteral("edtPreSeconds"));
    edtPreSeconds_->setGeometry(312, 202, 70, 22);
    edtPreSeconds_->SetBounds(0, 60);
    label(this, QStringLiteral("Seconds after the last motion"), 312, 234, 180);
    edtPostSeconds_ = new TSpinEdit(this);
    edtPostSeconds_->setObjectName(QStringLiteral("edtPostSeconds"));
    edtPostSeconds_->setGeometry(312, 252, 70, 22);
    edtPostSeconds_->SetBounds(1, 3600);
    chkMotionSnapshot_ = new QCheckBox(QStringLiteral("Snapshot at each event"), this);
    chkMotionSnapshot_->setObjectName(QStringLiteral("chkMotionSnapshot"));
    chkMotionSnapshot_->setGeometry(312, 288, 180, 20);

    setValues(defaultCameraSettings("untitled"));

    connect(sldSensitivity_, &QSlider::valueChanged, this, &MotionPage::settingsChanged);
    connect(sldMinArea_, &QSlider::valueChanged, this, &MotionPage::settingsChanged);
    connect(maskView_, &MotionMaskView::maskPainted, this, [this] {
        maskPainted_ = true;
        settingsChanged();
    });
    connect(btnClearMask_, &QPushButton::clicked, this, [this] {
        maskView_->setMask({});
        maskPainted_ = true;
        settingsChanged();
    });
    refreshTimer_.setInterval(100);
    connect(&refreshTimer_, &QTimer::timeout, this, &MotionPage::refreshPicture);
}

MotionPage::~MotionPage() = default;

void MotionPage::setPreview(IMotionPreview* preview) {
    preview_ = preview;
}

void MotionPage::setPreviewCommand(std::function<void()> command) {
    previewCommand_ = std::move(command);
    btnMotionPreview_->setVisible(static_cast<bool>(previewCommand_));
}

void MotionPage::setValues(const CameraSettings& v) {
    const QSignalBlocker b1(sldSensitivity_), b2(sldMinArea_), b3(edtSensitivity_), b4(edtMinArea_);
    chkMotionDetect_->setChecked(v.motionDetect);
    sldSensitivity_->setValue(v.motionSensitivity);
    sldMinArea_->setValue(v.motionMinArea);
    edtSensitivity_->setValue(sldSensitivity_->value());
    edtMinArea_->setValue(sldMinArea_->value() / 10.0);
    cbbRecordMode_->setCurrentIndex(v.recordMode == static_cast<int>(RecordMode::OnMotion) ? 1 : 0);
    edtPreSeconds_->SetValue(v.preSeconds);
    edtPostSeconds_->SetValue(v.postSeconds);
    chkMotionSnapshot_->setChecked(v.motionSnapshot);
    storedMask_ = v.motionMask;
    maskPainted_ = false;
    // A mask that cannot be read shows nothing ignored; it is written back only if painted over.
    maskView_->setMask(MotionMask::parse(v.motionMask).value_or(MotionMask{}));
}

void MotionPage::values(CameraSettings& out) const {
    out.motionDetect = chkMotionDetect_->isChecked();
    out.motionSensitivity = sldSensitivity_->value();
    out.motionMinArea = sldMinArea_->value();
    out.recordMode = static_cast<int>(cbbRecordMode_->currentIndex() == 1 ? RecordMode::OnMotion
                                                                          : RecordMode::Continuous);
    out.preSeconds = edtPreSeconds_->Value();
    out.postSeconds = edtPostSeconds_->Value();
    out.motionSnapshot = chkMotionSnapshot_->isChecked();
    out.motionMask = maskPainted_ ? maskView_->mask().toString() : storedMask_;
}

MotionSettings MotionPage::detectorSettings() const {
    MotionSettings s;
    s.sensitivity = sldSensitivity_->value();
    s.minAreaTenths = sldMinArea_->value();
    s.mask = maskView_->mask();
    return s;
}

void MotionPage::settingsChanged() {
    if (preview_)
        preview_->tune(detectorSettings());
}

void MotionPage::refreshPicture() {
    int width = 0, height = 0;
    if (!preview_ || !preview_->view(grey_, changed_, width, height) || width <= 0 || height <= 0 ||
        grey_.size() < static_cast<std::size_t>(width) * height) {
        if (!maskView_->picture().isNull())
            maskView_->setPicture({});
        return;
    }
    const bool withChanges = changed_.size() >= grey_.size();
    QImage picture = maskView_->picture();
    if (picture.width() != width || picture.height() != height)
        picture = QImage(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        const std::size_t row = static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            const int g = grey_[row + x];
            line[x] = withChanges && changed_[row + x] ? kChangedColour : qRgb(g, g, g);
        }
    }
    maskView_->setPicture(picture);
}

void MotionPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // What the page shows is tried on the detector while the page is open.
    if (preview_)
        preview_->tune(detectorSettings());
    refreshPicture();
    refreshTimer_.start();
}

void MotionPage::hideEvent(QHideEvent* event) {
    refreshTimer_.stop();
    QWidget::hideEvent(event);
}

} // namespace norvale
