#include "core/Retention.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace norvale;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

std::tm localAt(int y, int mo, int d, int h, int mi, int s) {
    return test::brokenDownTime(y, mo, d, h, mi, s);
}

// Seconds since the epoch of a stamp, taking local time as UTC (the tests need no time zone).
std::int64_t timeOfStamp(const char* stamp) {
    int y, mo, d, h, mi, s;
    std::sscanf(stamp, "%4d%2d%2d-%2d%2d%2d", &y, &mo, &d, &h, &mi, &s);
    std::tm t = localAt(y, mo, d, h, mi, s);
    return timegm(&t);
}

std::string describe(const std::vector<RetentionChoice>& chosen) {
    std::string s;
    for (const auto& c : chosen)
        s += c.file.folder + c.file.name +
             (c.reason == RetentionReason::Age ? " age\n" : " space\n");
    return s;
}

} // namespace

TEST(Retention, NamesThatFollowTheNamingRule) {
    struct Case {
        const char* file;
        const char* camera;
        const char* ext;
        std::int64_t stamp; // 0: not a name of that camera's
    } cases[] = {
        {"Door-20100602-090507.wmv", "Door", ".wmv", 20100602090507},
        {"Door-20100602-090507-2.wmv", "Door", ".wmv", 20100602090507},
        {"Door-20100602-090507-17.wmv", "Door", ".wmv", 20100602090507},
        {"Cam 1-20110101-000009.bmp", "Cam 1", ".bmp", 20110101000009},
        {"Cam_1-20110101-000009.bmp", "Cam/1", ".bmp", 20110101000009},
        {"-20261209-120000.wmv", "", ".wmv", 20261209120000},
        {"Door-20100602-090507.wmv", "Door", ".bmp", 0},      // other kind
        {"Door-20100602-090507.WMV", "Door", ".wmv", 0},      // not as written
        {"Door-20100602-090507-1.wmv", "Door", ".wmv", 0},    // no collision gives -1
        {"Door-20100602-090507-02.wmv", "Door", ".wmv", 0},   // nor a leading zero
        {"Door-20100602-090507-x.wmv", "Door", ".wmv", 0},    // nor letters
        {"Door-20100602-090507.wmv.bak", "Door", ".wmv", 0},  // a copy of one
        {"Door-2010060-090507.wmv", "Door", ".wmv", 0},       // short stamp
        {"Door-20101302-090507.wmv", "Door", ".wmv", 0},      // month 13
        {"Door-20100600-090507.wmv", "Door", ".wmv", 0},      // day 0
        {"Door-20100602-240507.wmv", "Door", ".wmv", 0},      // hour 24
        {"Door-20100602_090507.wmv", "Door", ".wmv", 0},      // wrong separator
        {"Door2-20100602-090507.wmv", "Door", ".wmv", 0},     // another camera's
        {"Door-20100602-090507.wmv", "Door2", ".wmv", 0},     // another camera's
        {"Door-Back-20100602-090507.wmv", "Door", ".wmv", 0}, // camera "Door-Back"
        {"xDoor-20100602-090507.wmv", "Door", ".wmv", 0},
    };
    for (const auto& c : cases) {
        const auto stamp = timestampOfName(c.file, c.camera, c.ext);
        EXPECT_EQ(stamp.value_or(0), c.stamp) << c.file << " / " << c.camera;
    }
}

TEST(Retention, ChoosesOnlyOurFilesOldestFirst) {
    // Door records into /v (kept without its "/") and snaps into /s/; Gate keeps both in /v/;
    // "Cam/1" writes as "Cam_1" into /c/, which lies on a disk of its own.
    const std::int64_t now = timeOfStamp("20261209-120000");
    const std::int64_t protectFrom = now - 5;
    struct F {
        const char* folder;
        const char* name;
        std::uint64_t bytes;
        std::int64_t mtime; // 0: the time in the name
        std::uint64_t disk;
        bool regular;
    } listing[] = {
        {"/v/", "Gate-20200101-000000.wmv", 0, 0, 1, true}, // frees nothing (another link)
        {"/v/", "Gate-20200202-000000.wmv", 1 * MiB, now - 86400, 1, true}, // changed yesterday
        {"/v/", "Door-20250101-000000.wmv", 5 * MiB, 0, 1, false},          // a link
        {"/v/", "Gate-20251231-120000.bmp", 1 * MiB, 0, 1, true},
        {"/c/", "Cam_1-20260101-000000.wmv", 4 * MiB, 0, 2, true},
        {"/v/", "Door-20260101-000000.wmv", 10 * MiB, 0, 1, true},
        {"/v/", "Door-20260102-000000-2.wmv", 10 * MiB, 0, 1, true},
        {"/s/", "Door-20260103-000000.bmp", 1 * MiB, 0, 1, true},
        {"/v/", "Door-20260104-000000.wmv", 9 * MiB, 0, 1, true},           // being written
        {"/v/", "Door-20260105-000000.wmv", 9 * MiB, protectFrom, 1, true}, // began since
        // Never ours: Door's snapshots are in /s/, not /v/; names of no rule or no camera;
        // Door's name in a folder that is none of its own.
        {"/v/", "Door-20251230-000000.bmp", 9 * MiB, 0, 1, true},
        {"/v/", "notes.txt", 9 * MiB, 1, 1, true},
        {"/v/", "Door-20260101-000000.wmv.bak", 9 * MiB, 1, 1, true},
        {"/v/", "Door-20200101-000000-1.wmv", 9 * MiB, 1, 1, true},
        {"/v/", "Porch-20200101-000000.wmv", 9 * MiB, 1, 1, true},
        {"/x/", "Door-20200101-000000.wmv", 9 * MiB, 1, 1, true},
        {"/s/", "Door-20200101-000000.wmv", 9 * MiB, 1, 1, true},
    };
    RetentionInput base;
    base.cameras = {{"Door", "/v", "/s/"}, {"Gate", "/v/", "/v/"}, {"Cam/1", "/c/", "/c/"}};
    for (const auto& f : listing) {
        const std::string name = f.name;
        const std::int64_t mtime =
            f.mtime ? f.mtime : timeOfStamp(name.substr(name.find('-') + 1, 15).c_str());
        base.files.push_back({f.folder, f.name, f.bytes, mtime, f.disk, f.regular});
    }
    base.beingWritten = {"/v/Door-20260104-000000.wmv"};
    base.now = now;
    base.localNow = localAt(2026, 12, 9, 12, 0, 0);
    base.protectFrom = protectFrom;

    struct Case {
        const char* what;
        RetentionPolicy policy;
        std::uint64_t free1, free2;
        const char* expected;
    } cases[] = {
        {"both off", {0, 0}, 0, 0, ""},
        {"space enough", {2048, 0}, 2048 * MiB, 2048 * MiB, ""},
        {"age: older by name and by change",
         {0, 341},
         0,
         0,
         "/v/Gate-20200101-000000.wmv age\n/v/Gate-20251231-120000.bmp age\n"
         "/c/Cam_1-20260101-000000.wmv age\n/v/Door-20260101-000000.wmv age\n"
         "/v/Door-20260102-000000-2.wmv age\n"},
        {"age: one day less keeps one file more",
         {0, 340},
         0,
         0,
         "/v/Gate-20200101-000000.wmv age\n/v/Gate-20251231-120000.bmp age\n"
         "/c/Cam_1-20260101-000000.wmv age\n/v/Door-20260101-000000.wmv age\n"
         "/v/Door-20260102-000000-2.wmv age\n/s/Door-20260103-000000.bmp age\n"},
        {"space: 8 MiB short on the first disk",
         {2048, 0},
         2040 * MiB,
         9000 * MiB,
         "/v/Gate-20200202-000000.wmv space\n/v/Gate-20251231-120000.bmp space\n"
         "/v/Door-20260101-000000.wmv space\n"},
        {"space: both disks short",
         {2048, 0},
         2040 * MiB,
         0,
         "/v/Gate-20200202-000000.wmv space\n/v/Gate-20251231-120000.bmp space\n"
         "/c/Cam_1-20260101-000000.wmv space\n/v/Door-20260101-000000.wmv space\n"},
        {"age first, then space for what is still short",
         {2048, 341},
         2000 * MiB,
         9000 * MiB,
         "/v/Gate-20200101-000000.wmv age\n/v/Gate-20200202-000000.wmv space\n"
         "/v/Gate-20251231-120000.bmp age\n/c/Cam_1-20260101-000000.wmv age\n"
         "/v/Door-20260101-000000.wmv age\n/v/Door-20260102-000000-2.wmv age\n"
         "/s/Door-20260103-000000.bmp space\n"},
    };
    for (const auto& c : cases) {
        RetentionInput in = base;
        in.policy = c.policy;
        in.disks = {{1, c.free1}, {2, c.free2}};
        EXPECT_EQ(describe(chooseFilesToDelete(in)), c.expected) << c.what;
    }

    // A disk that holds no recording folder is not kept free.
    RetentionInput in = base;
    in.policy = {2048, 0};
    in.disks = {{1, 9000 * MiB}};
    EXPECT_EQ(describe(chooseFilesToDelete(in)), "");
}

// When a recording stopped by a failed write may start again: the space to keep free, or 64 MiB
// without a limit, and never more than half of a small disk.
TEST(Retention, SpaceToRecordAgain) {
    const struct {
        std::int64_t keepFreeMB;
        std::uint64_t total;
        std::uint64_t expected;
    } cases[] = {
        {2048, 500000 * MiB, 2048 * MiB}, {0, 500000 * MiB, 64 * MiB}, {-5, 500000 * MiB, 64 * MiB},
        {2048, 1000 * MiB, 500 * MiB},    {0, 16 * MiB, 8 * MiB},      {2048, 0, 2048 * MiB},
    };
    for (const auto& c : cases)
        EXPECT_EQ(spaceToRecordAgain(c.keepFreeMB, c.total), c.expected)
            << c.keepFreeMB << " MiB on " << c.total;
}
