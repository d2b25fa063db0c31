#include "app/dialogs/DeviceControlsForm.h"

#include "app/shell/Translator.h"
#include "capture/FilterGraph.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

namespace norvale {

TDeviceControlsForm::TDeviceControlsForm(QWidget* owner, TFilter& filter)
    : QDialog(owner), filter_(filter) {
    setObjectName(QStringLiteral("DeviceControlsForm"));
    setWindowTitle(QString::fromStdString(filter.DeviceName()));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    layout->addLayout(grid);
    const std::vector<TFilter::Control> controls = filter.DeviceControls();
    int row = 0;
    for (const TFilter::Control& c : controls) {
        Editor e;
        e.name = QString::fromStdString(c.Name);
        auto* caption = new QLabel(e.name, this);
        caption->setObjectName(QStringLiteral("label ") + e.name);
        e.slider = new QSlider(Qt::Horizontal, this);
        e.slider->setRange(c.Min, c.Max);
        e.slider->setValue(c.Value);
        e.slider->setMinimumWidth(200);
        e.spin = new QSpinBox(this);
        e.spin->setRange(c.Min, c.Max);
        e.spin->setValue(c.Value);
        auto* range = new QLabel(QStringLiteral("%1 .. %2").arg(c.Min).arg(c.Max), this);
        auto* reset = new QPushButton(QStringLiteral("Default"), this);
        reset->setAutoDefault(false);
        grid->addWidget(caption, row, 0);
        grid->addWidget(e.slider, row, 1);
        grid->addWidget(e.spin, row, 2);
        grid->addWidget(range, row, 3);
        grid->addWidget(reset, row, 4);
        connect(e.slider, &QSlider::valueChanged, e.spin, &QSpinBox::setValue);
        connect(e.spin, &QSpinBox::valueChanged, e.slider, &QSlider::setValue);
        connect(e.spin, &QSpinBox::valueChanged, this,
                [this, name = e.name](int v) { apply(name, v); });
        connect(reset, &QPushButton::clicked, e.spin,
                [spin = e.spin, def = c.Default] { spin->setValue(def); });
        editors_.push_back(e);
        ++row;
    }
    if (controls.empty()) {
        noControls_ = new QLabel(QStringLiteral("This device has no adjustable settings."), this);
        noControls_->setObjectName(QStringLiteral("NoControlsLabel"));
        layout->addWidget(noControls_);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    Translator::translateComponent(this);
}

void TDeviceControlsForm::apply(const QString& name, int value) {
    filter_.SetDeviceControl(name.toStdString(), value);
}

HResult ShowFilterPropertyPages(QWidget* owner, TFilter* filter) {
    if (!filter)
        return hr::S_FALSE;
    if (!filter->HasFilter())
        return hr::E_FAIL;
    TDeviceControlsForm form(owner, *filter);
    form.exec();
    return hr::S_OK;
}

} // namespace norvale
