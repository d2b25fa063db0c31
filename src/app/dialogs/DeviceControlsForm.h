#pragma once
// The device's own settings: a modal dialog, captioned with the device's name, with an editor for
// each adjustable control of the capture source (brightness, contrast, ...). Changes reach the
// device at once; they belong to the device and its driver, not to the camera's settings.
#include "capture/CaptureErrors.h"

#include <QDialog>
#include <vector>

class QLabel;
class QSlider;
class QSpinBox;

namespace norvale {

class TFilter;

class TDeviceControlsForm : public QDialog {
    Q_OBJECT
public:
    TDeviceControlsForm(QWidget* owner, TFilter& filter);

    struct Editor {
        QString name;
        QSlider* slider = nullptr;
        QSpinBox* spin = nullptr;
    };
    const std::vector<Editor>& Editors() const { return editors_; }
    // Shown instead of editors when the device has no controls.
    QLabel* NoControlsLabel() const { return noControls_; }

private:
    void apply(const QString& name, int value);

    TFilter& filter_;
    std::vector<Editor> editors_;
    QLabel* noControls_ = nullptr;
};

// Shows the controls dialog of the filter's device, modal over `owner`. S_FALSE without a
// filter; E_FAIL when the filter has no device bound (nothing is shown); else S_OK.
HResult ShowFilterPropertyPages(QWidget* owner, TFilter* filter);

} // namespace norvale
