#pragma once
// The "Motion" page of the camera settings dialog: detection on or off, its sensitivity and the
// smallest moving area, the record mode with the seconds kept before and after an event, the
// snapshot at an event's start, and the mask of areas to ignore, painted by clicking and dragging
// on the camera's live picture. While the page shows, the picture carries the pixels the detector
// finds changed, in colour, and every change of the settings is tried on the detector at once.
#include "core/CameraSettings.h"
#include "core/MotionDetector.h"

#include <QImage>
#include <QPoint>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSlider;

namespace norvale {

class IMotionPreview;
class TSpinEdit;

// The picture with the 16 × 12 mask grid over it. A press on a cell flips it and a drag gives the
// cells it passes the same state, ignored or not.
class MotionMaskView : public QWidget {
    Q_OBJECT
public:
    explicit MotionMaskView(QWidget* parent = nullptr);

    const MotionMask& mask() const { return mask_; }
    void setMask(const MotionMask& mask);
    // The picture shown under the grid; a null image shows black with the waiting text.
    void setPicture(const QImage& picture);
    const QImage& picture() const { return picture_; }
    void setWaitingText(const QString& text);
    // The grid cell under a point of the widget; (-1, -1) outside.
    QPoint cellAt(const QPoint& pos) const;

signals:
    // The user changed the mask.
    void maskPainted();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void paintCell(const QPoint& cell);

    MotionMask mask_;
    QImage picture_;
    QString waitingText_;
    bool painting_ = false;
    QPoint lastCell_;
    bool paintIgnored_ = false;
};

class MotionPage : public QWidget {
    Q_OBJECT
public:
    explicit MotionPage(QWidget* parent = nullptr);
    ~MotionPage() override;

    // The camera's picture and detector; none: the picture stays black.
    void setPreview(IMotionPreview* preview);
    // What the page's "Preview" button does (starts the dialog's live picture); none: the
    // button is hidden.
    void setPreviewCommand(std::function<void()> command);

    // Fills the page from a camera's settings; values() puts the page's values over `base`. A
    // stored mask that is not valid is kept as it is unless the user paints a new one.
    void setValues(const CameraSettings& values);
    void values(CameraSettings& out) const;
    // The detector settings as the page shows them now.
    MotionSettings detectorSettings() const;

    // Fetches the picture and the changed pixels once (the page does so every 100 ms while it
    // shows).
    void refreshPicture();

    QCheckBox* chkMotionDetect() const { return chkMotionDetect_; }
    QSlider* sldSensitivity() const { return sldSensitivity_; }
    // The sliders' values as numbers, to read or type: sensitivity, and the area in percent.
    TSpinEdit* edtSensitivity() const { return edtSensitivity_; }
    QSlider* sldMinArea() const { return sldMinArea_; }
    QDoubleSpinBox* edtMinArea() const { return edtMinArea_; }
    QComboBox* cbbRecordMode() const { return cbbRecordMode_; }
    TSpinEdit* edtPreSeconds() const { return edtPreSeconds_; }
    TSpinEdit* edtPostSeconds() const { return edtPostSeconds_; }
    QCheckBox* chkMotionSnapshot() const { return chkMotionSnapshot_; }
    MotionMaskView* maskView() const { return maskView_; }
    QPushButton* btnClearMask() const { return btnClearMask_; }
    QPushButton* btnMotionPreview() const { return btnMotionPreview_; }
    QTimer& refreshTimer() { return refreshTimer_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void settingsChanged();

    IMotionPreview* preview_ = nullptr;
    std::string storedMask_;
    bool maskPainted_ = false;
    QTimer refreshTimer_;
    // Reused from one refresh to the next.
    std::vector<std::uint8_t> grey_;
    std::vector<std::uint8_t> changed_;

    QCheckBox* chkMotionDetect_ = nullptr;
    MotionMaskView* maskView_ = nullptr;
    QPushButton* btnClearMask_ = nullptr;
    QPushButton* btnMotionPreview_ = nullptr;
    std::function<void()> previewCommand_;
    QSlider* sldSensitivity_ = nullptr;
    TSpinEdit* edtSensitivity_ = nullptr;
    QSlider* sldMinArea_ = nullptr;
    QDoubleSpinBox* edtMinArea_ = nullptr;
    QComboBox* cbbRecordMode_ = nullptr;
    TSpinEdit* edtPreSeconds_ = nullptr;
    TSpinEdit* edtPostSeconds_ = nullptr;
    QCheckBox* chkMotionSnapshot_ = nullptr;
};

} // namespace norvale
