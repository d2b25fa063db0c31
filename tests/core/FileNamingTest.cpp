#include "core/FileNaming.h"
#include "core/CameraSettings.h"

#include <gtest/gtest.h>

#include <climits>

using namespace norvale;

namespace {
std::tm at(int y, int mo, int d, int h, int mi, int s) {
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return t;
}
} // namespace

TEST(FileNaming, TimestampedNames) {
    struct Case {
        const char* folder;
        const char* name;
        std::tm time;
        const char* ext;
        const char* expected;
    } cases[] = {
        {"/video/", "Door", at(2010, 6, 2, 9, 5, 7), ".wmv", "/video/Door-20100602-090507.wmv"},
        {"/v/", "Cam 1", at(2011, 1, 1, 0, 0, 9), ".wmv", "/v/Cam 1-20110101-000009.wmv"},
        {"/s/", "Door", at(2010, 12, 31, 23, 59, 59), ".bmp", "/s/Door-20101231-235959.bmp"},
        {"/v/", "", at(2026, 12, 9, 12, 0, 0), ".wmv", "/v/-20261209-120000.wmv"},
        // A name read from the settings file cannot lead out of the folder.
        {"/v/", "../../etc/x", at(2026, 1, 2, 3, 4, 5), ".wmv",
         "/v/.._.._etc_x-20260102-030405.wmv"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(timestampedFileName(c.folder, c.name, c.time, c.ext), c.expected);
}

TEST(FileNaming, FoldersGainASeparatorOnce) {
    EXPECT_EQ(folderWithSeparator("/data/video"), "/data/video/");
    EXPECT_EQ(folderWithSeparator("/data/video/"), "/data/video/");
    EXPECT_EQ(folderWithSeparator("relative"), "relative/");
    EXPECT_EQ(folderWithSeparator(""), defaultFolder()); // never the root folder
}

TEST(FileNaming, SnapshotDueRule) {
    struct Case {
        std::uint32_t now, last;
        std::int32_t interval;
        bool due;
    } cases[] = {
        {100, 0, 60, true},          // long pause: the next frame is saved at once
        {70, 10, 60, true},          // exactly the interval
        {69, 10, 60, false},         // one second short
        {10, 10, 0, true},           // zero: every frame
        {10, 10, -5, true},          // negative: every frame
        {5, 0, 60, false},           // machine up for less than the interval
        {3, 0xFFFFFFFEu, 60, false}, // wrapped counter: 5 seconds, compared signed
        {0x80000000u, 0, 60, false}, // signed difference negative
        {0x7FFFFFFFu, 0, INT32_MAX, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(snapshotDue(c.now, c.last, c.interval), c.due)
            << c.now << " " << c.last << " " << c.interval;
}
