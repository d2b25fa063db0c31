#pragma once
// Geometry and timing rules of the analog clock, free of any toolkit so they can be checked
// exactly. All positions are integer pixels in the control's client coordinates, y growing
// downward.
#include <array>
#include <cstdint>

namespace norvale {

// Nearest integer with halves going to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
std::int64_t roundHalfEven(long double value);

struct ClockPoint {
    int x = 0;
    int y = 0;
    bool operator==(const ClockPoint&) const = default;
};

struct ClockLine {
    ClockPoint from;
    ClockPoint to;
    bool operator==(const ClockLine&) const = default;
};

// Bounding box of one hour mark: left, top, right, bottom.
struct ClockMarkBox {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    bool operator==(const ClockMarkBox&) const = default;
};

// The time a clock shows: hours 0-23, minutes and seconds 0-59.
struct ClockTime {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    bool operator==(const ClockTime&) const = default;
};

// Angles in radians, as stored before the trigonometry. 0 minutes and 12 o'clock point straight
// up (3/2 pi on a y-down screen) and the angle grows clockwise; values are not reduced, so
// 15:xx lies one full turn beyond 3:xx.
double hourMarkAngle(int index);              // index 0-11
double minuteHandAngle(int minutes);          // (minutes + 45) * 2 pi / 60
double hourHandAngle(int hours, int minutes); // (hours + 9 + minutes / 60) * 2 pi / 12
double secondHandAngle(int seconds);          // (seconds + 45) * 2 pi / 60

// A straight hand through the centre: from `tail` pixels behind the centre to `length` pixels
// ahead of it along `angle`.
ClockLine handLine(ClockPoint centre, double angle, int tail, int length);

// Everything the clock draws except colours and pictures.
struct ClockFace {
    ClockPoint centre; // width div 2, height div 2
    int radius = 0;    // min(cx, cy) - 10; zero or negative on tiny controls (mirrors the face)
    std::array<ClockPoint, 12> marks{}; // centres of the twelve hour marks, on the radius
    ClockLine minuteHand;               // length radius * 90 div 100
    ClockLine hourHand;                 // length radius * 70 div 100
    ClockLine secondHand;               // from radius * 30 div 100 behind the centre to radius
};

ClockFace clockFace(int width, int height, const ClockTime& time);

// The box of a round hour mark of radius `tickWidth` around `centre`.
ClockMarkBox hourMarkBox(ClockPoint centre, int tickWidth);

// The face must be redrawn when the second changed and the seconds hand is shown, or when the
// minute changed; so without the seconds hand it changes once a minute.
bool clockRedrawNeeded(const ClockTime& before, const ClockTime& after, bool secondsIndicator);

// Date-times are real numbers of days since 1899-12-30; the fraction is the time of day (for
// dates before that day the fraction still counts forward into the day, as -1.25 is
// 1899-12-29 06:00).
std::int64_t dayNumber(int year, int month, int day);
double encodeDateTime(int year, int month, int day, int hour, int minute, int second,
                      int millisecond = 0);

struct LocalDateTime {
    int year = 1899;
    int month = 12;
    int day = 30;
    ClockTime time;
};

// The alarm is due when it is enabled, the whole-day part of `alarmTime` is today and its
// hour, minute and second equal the current ones: one date and one second, never another day.
// A non-finite or absurdly distant `alarmTime` is never due.
bool alarmDue(bool enabled, double alarmTime, const LocalDateTime& now);

} // namespace norvale
