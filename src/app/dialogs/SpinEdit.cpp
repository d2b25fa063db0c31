#include "app/dialogs/SpinEdit.h"

#include <QLineEdit>
#include <algorithm>
#include <limits>

namespace norvale {

TSpinEdit::TSpinEdit(QWidget* parent) : QSpinBox(parent) {
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    SetBounds(0, 0);
}

void TSpinEdit::SetBounds(int minValue, int maxValue) {
    minValue_ = minValue;
    maxValue_ = maxValue;
    if (minValue == 0 && maxValue == 0)
        setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    else
        setRange(minValue, maxValue);
}

int TSpinEdit::Value() const {
    bool ok = false;
    const int v = lineEdit()->text().trimmed().toInt(&ok);
    if (!ok)
        return minValue_;
    if (minValue_ == 0 && maxValue_ == 0)
        return v;
    return std::clamp(v, minValue_, maxValue_);
}

} // namespace norvale
