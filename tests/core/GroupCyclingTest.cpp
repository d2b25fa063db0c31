#include "core/GroupCycling.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

using namespace norvale;

TEST(GroupCycling, IntervalIsAtLeastOneSecondAndNeverWraps) {
    const struct {
        int seconds;
        int ms;
    } cases[] = {
        {-5, 1000},         {0, 1000},          {1, 1000}, {30, 30000}, {2147483, 2147483000},
        {2147484, INT_MAX}, {INT_MAX, INT_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cycleIntervalMs(c.seconds), c.ms) << c.seconds;
}

TEST(GroupCycling, TicksVisitTheGroupsThatTakePart) {
    const struct {
        std::array<bool, 4> enabled;
        int start;
        std::vector<int> visits;
    } cases[] = {
        {{true, true, true, true}, 0, {1, 2, 3, 4, 1}},
        {{false, true, false, true}, 0, {2, 4, 2, 4}},
        {{false, false, true, false}, 0, {3, 3, 3}},
        // The cursor is independent of the current group: standing at 2, the next is 3.
        {{true, true, true, true}, 2, {3, 4, 1}},
        // None taking part: one step, no endless search.
        {{false, false, false, false}, 4, {1}},
    };
    for (const auto& c : cases) {
        int cursor = c.start;
        std::vector<int> visits;
        for (std::size_t i = 0; i < c.visits.size(); ++i)
            visits.push_back(cursor = nextCycleGroup(cursor, c.enabled));
        EXPECT_EQ(visits, c.visits);
    }
}
