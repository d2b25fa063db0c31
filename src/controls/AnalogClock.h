#pragma once
// The analog clock of the wall: twelve round hour marks, an hour, a minute and an optional
// seconds hand over a solid colour, a face picture, or (transparent) the parent's pixels.
//
// A default-constructed clock already shows lime hands and marks with green outlines on black.
// The setters that give that look explicitly are
//     setHandsColor(QColor(0, 255, 0));   setSecHandColor(QColor(0, 255, 0));
//     setTickColor(QColor(0, 255, 0));    setTickOutline(QColor(0, 128, 0));
//     setColor(QColor(0, 0, 0));
// and setActive(true) starts it. Every setter stores only a changed value and redraws at once.
#include "ClockTimer.h"
#include "core/ClockGeometry.h"

#include <QColor>
#include <QDateTime>
#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>

class TAnalogClock : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool Threaded READ threaded WRITE setThreaded)
    Q_PROPERTY(bool Active READ active WRITE setActive)
    Q_PROPERTY(bool SecondsIndicator READ secondsIndicator WRITE setSecondsIndicator)
    Q_PROPERTY(bool HourMarks READ hourMarks WRITE setHourMarks)
    Q_PROPERTY(QImage Glyph READ glyph WRITE setGlyph)
    Q_PROPERTY(QColor HandsColor READ handsColor WRITE setHandsColor)
    Q_PROPERTY(QColor SecHandColor READ secHandColor WRITE setSecHandColor)
    Q_PROPERTY(QColor TickColor READ tickColor WRITE setTickColor)
    Q_PROPERTY(int TickWidth READ tickWidth WRITE setTickWidth)
    Q_PROPERTY(QColor TickOutline READ tickOutline WRITE setTickOutline)
    Q_PROPERTY(bool EnableAlarm READ enableAlarm WRITE setEnableAlarm)
    Q_PROPERTY(bool Transparent READ transparent WRITE setTransparent)
    Q_PROPERTY(QColor Color READ color WRITE setColor)

public:
    // Local date and time now; tests inject their own instead of waiting.
    using TimeSource = std::function<QDateTime()>;

    // 90 x 90, stopped, showing the time of `timeSource` (default: the system's local time).
    explicit TAnalogClock(QWidget* parent = nullptr, TimeSource timeSource = {});
    ~TAnalogClock() override;

    // Thread timer (default) or GUI timer.
    bool threaded() const { return threaded_; }
    void setThreaded(bool value);

    // Runs the clock. In GUI-timer mode throws EOutOfResources when the platform refuses a timer.
    bool active() const { return active_; }
    void setActive(bool value);

    // The seconds hand; with it the face is redrawn each second, without it each minute.
    bool secondsIndicator() const { return secondsIndicator_; }
    void setSecondsIndicator(bool value);

    bool hourMarks() const { return hourMarks_; }
    void setHourMarks(bool value);

    // Face picture stretched over the whole clock, under the marks and hands. In transparent mode
    // its pixels of the background colour let the parent show through.
    const QImage& glyph() const { return glyph_; }
    void setGlyph(const QImage& value);

    QColor handsColor() const { return handsColor_; }
    void setHandsColor(const QColor& value);

    QColor secHandColor() const { return secHandColor_; }
    void setSecHandColor(const QColor& value);

    // Fill of the hour marks.
    QColor tickColor() const { return tickColor_; }
    void setTickColor(const QColor& value);

    // Radius of each hour mark in pixels; values of 0 and below are ignored.
    int tickWidth() const { return tickWidth_; }
    void setTickWidth(int value);

    // Outline of the hour marks.
    QColor tickOutline() const { return tickOutline_; }
    void setTickOutline(const QColor& value);

    bool enableAlarm() const { return enableAlarm_; }
    void setEnableAlarm(bool value);

    // Show the parent's pixels instead of the background colour.
    bool transparent() const { return transparent_; }
    void setTransparent(bool value);

    // Background colour, black by default.
    QColor color() const { return color_; }
    void setColor(const QColor& value);

    // When the alarm fires: days since 1899-12-30, the fraction being the time of day (see
    // dateTimeValue). It fires at the ticks within that one second of that one date; 0 never
    // fires.
    double alarmTime() const { return alarmTime_; }
    void setAlarmTime(double value) { alarmTime_ = value; }
    static double dateTimeValue(const QDateTime& local);

    // The time shown, as read at the last tick (hours 0-23).
    quint16 hours() const { return hours_; }
    quint16 minutes() const { return minutes_; }
    quint16 seconds() const { return seconds_; }

    // The timer behind the clock, e.g. to route the errors of tick handlers to a report.
    TClockTimer& clockTimer() { return *clockTimer_; }

    // One tick: read the time, redraw when the face changes, then report the changes and the
    // alarm. The timer calls it each second; tests call it directly.
    void TimerTick();

    void setTimeSource(TimeSource timeSource);

signals:
    // Emitted in this order within one tick, each only when its part of the time changed.
    void hoursChanged(quint16 hours);
    void minutesChanged(quint16 minutes);
    void secondsChanged(quint16 seconds);
    void alarm();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void redraw();
    void paintBackground(QPainter& painter, const QRect& clip);
    void paintGlyph(QPainter& painter);
    void paintFace(QPainter& painter);

    bool threaded_ = true;
    bool active_ = false;
    bool secondsIndicator_ = true;
    bool hourMarks_ = true;
    QImage glyph_;
    QColor handsColor_{0, 255, 0};
    QColor secHandColor_{0, 255, 0};
    QColor tickColor_{0, 255, 0};
    int tickWidth_ = 2;
    QColor tickOutline_{0, 128, 0};
    bool enableAlarm_ = false;
    bool transparent_ = false;
    QColor color_{0, 0, 0};

    quint16 hours_ = 0;
    quint16 minutes_ = 0;
    quint16 seconds_ = 0;
    double alarmTime_ = 0;

    TimeSource timeSource_;
    std::unique_ptr<TClockTimer> clockTimer_; // stopped first when the clock goes

    // Drawing goes to backBuffer_ first and reaches the screen in one copy. In transparent mode
    // savedBackground_ holds the parent's pixels under the clock; the clock's own redraws reuse
    // it, any other repaint (the parent uncovered, say) captures it afresh.
    QImage savedBackground_;
    QImage backBuffer_;
    bool captureNeeded_ = true;
};
