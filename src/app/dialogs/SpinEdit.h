#pragma once
// A whole-number spin field. Its value is the number in its text, or the lower bound when the
// text is not a whole number. A value outside the bounds is pulled to the nearest one when it is
// set, stepped or the field loses focus; bounds of 0 and 0 mean no bounds at all.
#include <QSpinBox>

namespace norvale {

class TSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget* parent = nullptr);

    void SetBounds(int minValue, int maxValue);
    int MinValue() const { return minValue_; }
    int MaxValue() const { return maxValue_; }

    // The number in the text (pulled into bounded ranges), else the lower bound.
    int Value() const;
    void SetValue(int value) { setValue(value); }
    // The text as typed (tests type into it).
    using QSpinBox::lineEdit;

private:
    int minValue_ = 0;
    int maxValue_ = 0;
};

} // namespace norvale
