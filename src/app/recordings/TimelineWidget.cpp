#include "app/recordings/TimelineWidget.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace norvale {

namespace {
// Bands from the top: events, recordings, then the marks and their labels.
constexpr int EventTop = 4, EventHeight = 10;
constexpr int RecordTop = 16, RecordHeight = 18;
constexpr int MarkTop = 36;
// A drag shorter than this is a click.
constexpr double DragPixels = 4;
// Labels are about "00:00" wide; they never crowd each other.
constexpr double LabelSpacing = 56;

const QColor RecordedColour(70, 150, 90);
const QColor EventColour(230, 120, 30);
const QColor SelectionColour(60, 110, 220, 90);
const QColor PositionColour(220, 30, 30);
} // namespace

TimelineWidget::TimelineWidget(QWidget* parent)
    : QWidget(parent), view_(0, 24LL * 3600 * 1000, 720) {
    setObjectName(QStringLiteral("Timeline"));
    setMouseTracking(false);
    setFocusPolicy(Qt::ClickFocus);
}

void TimelineWidget::setDay(std::int64_t dayStart, std::int64_t dayEnd) {
    view_ = TimelineView(dayStart, dayEnd, std::max(1, width()));
    selection_ = {0, 0};
    update();
}

void TimelineWidget::setSpans(Spans recorded, Spans events) {
    recorded_ = std::move(recorded);
    events_ = std::move(events);
    update();
}

void TimelineWidget::setPosition(std::int64_t ms) {
    if (ms == position_)
        return;
    position_ = ms;
    update();
}

void TimelineWidget::setSelection(std::int64_t from, std::int64_t to) {
    selection_ = {std::min(from, to), std::max(from, to)};
    update();
}

void TimelineWidget::resizeEvent(QResizeEvent*) {
    view_.setWidth(std::max(1, width()));
}

void TimelineWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    p.fillRect(QRectF(0, RecordTop, width(), RecordHeight), palette().alternateBase());
    for (const auto& run : view_.runs(recorded_))
        p.fillRect(QRectF(run.x0, RecordTop, run.x1 - run.x0, RecordHeight), RecordedColour);
    // An event of a few seconds is still a visible mark at a day's scale.
    Spans events = events_;
    const std::int64_t minWidth = (view_.viewEnd() - view_.viewStart()) * 2 / std::max(1, width());
    for (auto& [from, to] : events)
        to = std::max(to, from + minWidth);
    for (const auto& run : view_.runs(events))
        p.fillRect(QRectF(run.x0, EventTop, run.x1 - run.x0, EventHeight), EventColour);

    p.setPen(palette().color(QPalette::Text));
    const QFontMetrics fm(font());
    for (const auto& mark : view_.marks(LabelSpacing)) {
        const double x = std::round(mark.x) + 0.5;
        p.drawLine(QPointF(x, MarkTop), QPointF(x, MarkTop + (mark.major ? 6 : 3)));
        const QString label = QString::fromStdString(mark.label);
        const int w = fm.horizontalAdvance(label);
        const double left = std::clamp(x - w / 2.0, 0.0, double(std::max(0, width() - w)));
        p.drawText(QPointF(left, MarkTop + 8 + fm.ascent()), label);
    }
    if (selection_.second > selection_.first) {
        const double x0 = view_.xOf(selection_.first), x1 = view_.xOf(selection_.second);
        p.fillRect(QRectF(x0, 0, std::max(1.0, x1 - x0), MarkTop), SelectionColour);
    }
    if (position_ >= view_.viewStart() && position_ < view_.viewEnd()) {
        p.setPen(QPen(PositionColour, 2));
        const double x = view_.xOf(position_);
        p.drawLine(QPointF(x, 0), QPointF(x, MarkTop));
    }
}

void TimelineWidget::wheelEvent(QWheelEvent* event) {
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0) {
        // A horizontal wheel or touch pad moves along the day.
        view_.scrollBy(-event->angleDelta().x() / 2.0);
    } else {
        view_.zoomAt(event->position().x(), std::pow(1.25, steps));
    }
    update();
    event->accept();
}

void TimelineWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    pressX_ = event->position().x();
    dragging_ = false;
}

void TimelineWidget::mouseMoveEvent(QMouseEvent* event) {
    if (pressX_ < 0 || !(event->buttons() & Qt::LeftButton))
        return;
    const double x = std::clamp(event->position().x(), 0.0, double(width()));
    if (!dragging_ && std::abs(x - pressX_) < DragPixels)
        return;
    dragging_ = true;
    setSelection(view_.timeAt(std::min(x, pressX_)), view_.timeAt(std::max(x, pressX_)));
}

void TimelineWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || pressX_ < 0)
        return;
    const double x = std::clamp(event->position().x(), 0.0, double(width()));
    pressX_ = -1;
    if (dragging_) {
        dragging_ = false;
        emit selectionChanged(selection_.first, selection_.second);
        return;
    }
    emit timeClicked(view_.timeAt(x));
}

} // namespace norvale
