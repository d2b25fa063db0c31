#include "core/GroupCycling.h"

#include <limits>

namespace norvale {

int cycleIntervalMs(int seconds) {
    constexpr int kMax = std::numeric_limits<int>::max();
    if (seconds < 1)
        return 1000;
    if (seconds > kMax / 1000)
        return kMax;
    return seconds * 1000;
}

int nextCycleGroup(int cursor, const std::array<bool, 4>& enabled) {
    int next = cursor % 4 + 1;
    for (int tries = 0; tries < 4 && !enabled[static_cast<std::size_t>(next - 1)]; ++tries)
        next = next % 4 + 1;
    return next;
}

} // namespace norvale
