#include "ClockGeometry.h"

#include <algorithm>
#include <cmath>

namespace norvale {

namespace {

// The angles are worked out in extended precision and stored as doubles; the trigonometry then
// runs in extended precision again. Keeping these steps fixed keeps the rounding of the pixel
// positions reproducible (a 90 x 90 face has marks exactly on .5 boundaries in theory).
constexpr long double pi = 3.141592653589793238462643383279502884L;

constexpr std::int64_t msecsPerDay = 86'400'000;

// Far enough for any real calendar date; beyond it the arithmetic would overflow.
constexpr double maxDateTime = 1.0e9;

int roundedOffset(int length, long double trig) {
    return static_cast<int>(roundHalfEven(static_cast<long double>(length) * trig));
}

} // namespace

std::int64_t roundHalfEven(long double value) {
    // Out-of-range input must not reach the integer conversion.
    constexpr long double limit = 9.0e18L;
    if (std::isnan(value))
        return 0;
    value = std::clamp(value, -limit, limit);
    long double whole = std::floor(value);
    const long double fraction = value - whole;
    if (fraction > 0.5L || (fraction == 0.5L && std::fmod(whole, 2.0L) != 0.0L))
        whole += 1.0L;
    return static_cast<std::int64_t>(whole);
}

double hourMarkAngle(int index) {
    return static_cast<double>((index + 9) * 2 * pi / 12);
}

double minuteHandAngle(int minutes) {
    return static_cast<double>((minutes + 45) * 2 * pi / 60);
}

double hourHandAngle(int hours, int minutes) {
    const long double turns = hours + 9 + static_cast<long double>(minutes) / 60;
    return static_cast<double>(turns * 2 * pi / 12);
}

double secondHandAngle(int seconds) {
    return static_cast<double>((seconds + 45) * 2 * pi / 60);
}

ClockLine handLine(ClockPoint centre, double angle, int tail, int length) {
    const long double c = std::cos(static_cast<long double>(angle));
    const long double s = std::sin(static_cast<long double>(angle));
    return {{centre.x - roundedOffset(tail, c), centre.y - roundedOffset(tail, s)},
            {centre.x + roundedOffset(length, c), centre.y + roundedOffset(length, s)}};
}

ClockFace clockFace(int width, int height, const ClockTime& time) {
    ClockFace face;
    face.centre = {width / 2, height / 2};
    const int r = std::min(face.centre.x, face.centre.y) - 10;
    face.radius = r;
    for (int i = 0; i < 12; ++i) {
        const long double theta = hourMarkAngle(i);
        face.marks[i] = {face.centre.x - roundedOffset(r, std::cos(theta)),
                         face.centre.y - roundedOffset(r, std::sin(theta))};
    }
    face.minuteHand = handLine(face.centre, minuteHandAngle(time.minutes), 0, r * 90 / 100);
    face.hourHand = handLine(face.centre, hourHandAngle(time.hours, time.minutes), 0, r * 70 / 100);
    face.secondHand = handLine(face.centre, secondHandAngle(time.seconds), r * 30 / 100, r);
    return face;
}

ClockMarkBox hourMarkBox(ClockPoint centre, int tickWidth) {
    return {centre.x - tickWidth, centre.y - tickWidth, centre.x + tickWidth, centre.y + tickWidth};
}

bool clockRedrawNeeded(const ClockTime& before, const ClockTime& after, bool secondsIndicator) {
    return (secondsIndicator && before.seconds != after.seconds) || before.minutes != after.minutes;
}

std::int64_t dayNumber(int year, int month, int day) {
    // Days from the civil calendar (proleptic Gregorian), shifted so 1899-12-30 is day 0.
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t unixDays = era * 146097 + dayOfEra - 719468;
    return unixDays + 25569; // 1970-01-01 is day 25569
}

double encodeDateTime(int year, int month, int day, int hour, int minute, int second,
                      int millisecond) {
    const double date = static_cast<double>(dayNumber(year, month, day));
    const double time =
        static_cast<double>(((hour * 60LL + minute) * 60 + second) * 1000 + millisecond) /
        msecsPerDay;
    return date >= 0 ? date + time : date - time;
}

bool alarmDue(bool enabled, double alarmTime, const LocalDateTime& now) {
    if (!enabled || !std::isfinite(alarmTime) || std::fabs(alarmTime) > maxDateTime)
        return false;
    const auto alarmDay = static_cast<std::int64_t>(std::trunc(alarmTime));
    if (alarmDay != dayNumber(now.year, now.month, now.day))
        return false;
    // The time of day counts from midnight whatever the sign of the date; a time that rounds up
    // to the next midnight reads as 00:00:00.
    const std::int64_t msecs = roundHalfEven(static_cast<long double>(alarmTime) * msecsPerDay);
    const std::int64_t ofDay = (msecs < 0 ? -msecs : msecs) % msecsPerDay;
    const ClockTime alarm{static_cast<int>(ofDay / 3'600'000),
                          static_cast<int>(ofDay / 60'000 % 60),
                          static_cast<int>(ofDay / 1000 % 60)};
    return alarm == now.time;
}

} // namespace norvale
