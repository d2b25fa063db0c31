#pragma once
// Automatic group cycling: the timer's interval and the group each tick visits.
#include <array>

namespace norvale {

// The timer interval for ChangeGroupSeconds. Below one second the timer would fire back to back,
// so it runs at one second; a value whose milliseconds do not fit an int is clamped, never
// wrapped into a negative or short interval.
int cycleIntervalMs(int seconds);

// One tick's cursor step: the next group after cursor (0 before the first tick) that takes part,
// counting 1, 2, 3, 4, 1 ... With no group taking part the cursor advances once and stays there;
// the caller never runs the timer in that case.
int nextCycleGroup(int cursor, const std::array<bool, 4>& enabled);

} // namespace norvale
