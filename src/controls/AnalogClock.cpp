#include "AnalogClock.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QResizeEvent>

using norvale::ClockFace;
using norvale::ClockLine;
using norvale::ClockTime;

namespace {

QPoint toQt(norvale::ClockPoint p) {
    return {p.x, p.y};
}

void drawLine(QPainter& painter, const ClockLine& line) {
    painter.drawLine(toQt(line.from), toQt(line.to));
}

QDateTime systemLocalTime() {
    return QDateTime::currentDateTime();
}

} // namespace

TAnalogClock::TAnalogClock(QWidget* parent, TimeSource timeSource)
    : QWidget(parent), timeSource_(timeSource ? std::move(timeSource) : systemLocalTime),
      clockTimer_(std::make_unique<TClockTimer>()) {
    // Opaque: the parent need not paint beneath the clock, which avoids flicker.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(90, 90);
    // Stays still until it is made active; the handler is set while disabled so no worker
    // starts yet.
    clockTimer_->setEnabled(false);
    clockTimer_->setInterval(1000);
    clockTimer_->setOnTimer([this] { TimerTick(); });
    TimerTick();
}

TAnalogClock::~TAnalogClock() {
    clockTimer_.reset(); // stop and join the worker before anything else goes
}

void TAnalogClock::setThreaded(bool value) {
    if (value == threaded_)
        return;
    threaded_ = value;
    clockTimer_->setTimerType(value ? TClockTimerType::ttThread : TClockTimerType::ttSystem);
}

void TAnalogClock::setActive(bool value) {
    if (value == active_)
        return;
    active_ = value;
    clockTimer_->setEnabled(value);
}

void TAnalogClock::setSecondsIndicator(bool value) {
    if (value == secondsIndicator_)
        return;
    secondsIndicator_ = value;
    redraw();
}

void TAnalogClock::setHourMarks(bool value) {
    if (value == hourMarks_)
        return;
    hourMarks_ = value;
    redraw();
}

void TAnalogClock::setGlyph(const QImage& value) {
    glyph_ = value;
    redraw();
}

void TAnalogClock::setHandsColor(const QColor& value) {
    if (value == handsColor_)
        return;
    handsColor_ = value;
    redraw();
}

void TAnalogClock::setSecHandColor(const QColor& value) {
    if (value == secHandColor_)
        return;
    secHandColor_ = value;
    redraw();
}

void TAnalogClock::setTickColor(const QColor& value) {
    if (value == tickColor_)
        return;
    tickColor_ = value;
    redraw();
}

void TAnalogClock::setTickWidth(int value) {
    if (value == tickWidth_ || value <= 0)
        return;
    tickWidth_ = value;
    redraw();
}

void TAnalogClock::setTickOutline(const QColor& value) {
    if (value == tickOutline_)
        return;
    tickOutline_ = value;
    redraw();
}

void TAnalogClock::setEnableAlarm(bool value) {
    enableAlarm_ = value;
}

void TAnalogClock::setTransparent(bool value) {
    if (value == transparent_)
        return;
    transparent_ = value;
    setAttribute(Qt::WA_OpaquePaintEvent, !value);
    redraw();
}

void TAnalogClock::setColor(const QColor& value) {
    if (value == color_)
        return;
    color_ = value;
    redraw();
}

double TAnalogClock::dateTimeValue(const QDateTime& local) {
    const QDate d = local.date();
    const QTime t = local.time();
    return norvale::encodeDateTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(),
                                   t.msec());
}

void TAnalogClock::setTimeSource(TimeSource timeSource) {
    timeSource_ = timeSource ? std::move(timeSource) : systemLocalTime;
}

void TAnalogClock::TimerTick() {
    const QDateTime now = timeSource_();
    if (!now.isValid())
        return; // nothing sensible to show; keep the last time
    const ClockTime before{hours_, minutes_, seconds_};
    const QTime time = now.time();
    hours_ = static_cast<quint16>(time.hour());
    minutes_ = static_cast<quint16>(time.minute());
    seconds_ = static_cast<quint16>(time.second());
    const ClockTime after{hours_, minutes_, seconds_};

    const QDate date = now.date();
    const bool alarmIsDue =
        norvale::alarmDue(enableAlarm_, alarmTime_, {date.year(), date.month(), date.day(), after});

    if (norvale::clockRedrawNeeded(before, after, secondsIndicator_))
        redraw();

    // A handler may destroy the clock; stop as soon as it has gone.
    const QPointer<TAnalogClock> self(this);
    if (before.hours != after.hours)
        emit hoursChanged(hours_);
    if (self && before.minutes != after.minutes)
        emit minutesChanged(minutes_);
    if (self && before.seconds != after.seconds)
        emit secondsChanged(seconds_);
    if (self && alarmIsDue)
        emit alarm();
}

void TAnalogClock::redraw() {
    // The clock's own redraws reuse the saved background, so the parent is not asked to paint
    // beneath it again.
    if (transparent_ && !savedBackground_.isNull()) {
        captureNeeded_ = false;
        setAttribute(Qt::WA_OpaquePaintEvent, true);
    }
    repaint();
}

void TAnalogClock::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    backBuffer_ = QImage(event->size(), QImage::Format_RGB32);
    savedBackground_ = QImage();
    captureNeeded_ = true;
}

void TAnalogClock::paintEvent(QPaintEvent* event) {
    if (backBuffer_.isNull())
        return; // an empty clock has nothing to show
    {
        QPainter painter(&backBuffer_);
        paintBackground(painter, event->rect());
        if (!glyph_.isNull())
            paintGlyph(painter);
        paintFace(painter);
    }
    QPainter screen(this);
    screen.drawImage(0, 0, backBuffer_);
    if (transparent_) {
        // The next repaint that the clock did not ask for captures the parent afresh.
        captureNeeded_ = true;
        setAttribute(Qt::WA_OpaquePaintEvent, false);
    }
}

void TAnalogClock::paintBackground(QPainter& painter, const QRect& clip) {
    if (!transparent_) {
        painter.fillRect(backBuffer_.rect(), color_);
        return;
    }
    if (captureNeeded_ || savedBackground_.isNull()) {
        if (savedBackground_.size() != size()) {
            savedBackground_ = QImage(size(), QImage::Format_RGB32);
            savedBackground_.fill(color_);
        }
        // The parent renders itself (without its children, so never this clock) into the part
        // of the saved background inside the clip.
        const QRect part = clip & rect();
        if (QWidget* parent = parentWidget(); parent && !part.isEmpty())
            parent->render(&savedBackground_, part.topLeft(), QRegion(part.translated(pos())),
                           QWidget::DrawWindowBackground);
    }
    painter.drawImage(0, 0, savedBackground_);
}

void TAnalogClock::paintGlyph(QPainter& painter) {
    if (!transparent_) {
        painter.drawImage(rect(), glyph_);
        return;
    }
    // Pixels of the background colour let what lies beneath show through.
    QImage keyed = glyph_.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = color_.rgb() & RGB_MASK;
    for (int y = 0; y < keyed.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(keyed.scanLine(y));
        for (int x = 0; x < keyed.width(); ++x)
            if ((line[x] & RGB_MASK) == key)
                line[x] = 0;
    }
    painter.drawImage(rect(), keyed);
}

void TAnalogClock::paintFace(QPainter& painter) {
    const ClockFace face = norvale::clockFace(width(), height(), {hours_, minutes_, seconds_});
    painter.setRenderHint(QPainter::Antialiasing, false);
    if (hourMarks_) {
        painter.setPen(QPen(tickOutline_, 1, Qt::SolidLine));
        painter.setBrush(QBrush(tickColor_, Qt::SolidPattern));
        for (const auto& centre : face.marks) {
            const auto box = norvale::hourMarkBox(centre, tickWidth_);
            painter.drawEllipse(
                QRect(box.left, box.top, box.right - box.left, box.bottom - box.top));
        }
    }
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(handsColor_, 1, Qt::SolidLine));
    drawLine(painter, face.minuteHand);
    drawLine(painter, face.hourHand);
    if (secondsIndicator_) {
        painter.setPen(QPen(secHandColor_, 1, Qt::SolidLine));
        drawLine(painter, face.secondHand);
    }
}
