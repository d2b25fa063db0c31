#include "storage/RecordingScan.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>

using namespace norvale;
using norvale::test::TempDir;
namespace fs = std::filesystem;

TEST(RecordingScan, FindsTheCamerasFilesByTheNamingRuleOnly) {
    TempDir shared, other;
    struct Case {
        const char* name;
        int camera; // 0: not found
    };
    const Case cases[] = {
        {"Cam-20251201-101500.wmv", 1},   {"Cam-20251201-101500-2.mkv", 1},
        {"Yard-20251201-101500.wmv", 2}, // another camera in the same folder
        {"Cam-20251201-1015.wmv", 0},    // stamp cut short
        {"Cam-20251301-101500.wmv", 0},  // no 13th month
        {"Cam-20251201-101500.bmp", 0},  // a snapshot
        {"Cam-20251201-101500-1.wmv", 0}, {"Cam-20251201-101500.wmv.part", 0},
        {"Gate-20251201-101500.wmv", 0}, // no camera of that name
        {"Yard-20251201-101800.wmv", 0}, // being written: indexed once finished
    };
    for (const auto& c : cases)
        test::writeFile(shared / c.name, "recorded");
    // A link or a folder named like a recording is not one.
    fs::create_symlink(shared / "Cam-20251201-101500.wmv", shared / "Cam-20251201-101600.wmv");
    fs::create_directory(shared / "Cam-20251201-101700.wmv");
    test::writeFile(other / "Cam-20251202-080000.wmv", "x");

    const auto found = findRecordings(
        {{1, "Cam", shared.path().string(), {}},
         {2, "Yard", shared.path().string() + "/", (shared / "Yard-20251201-101800.wmv").string()},
         {3, "Cam", other.path().string(), {}},
         {4, "Lost", (shared / "missing").string(), {}}});
    std::map<std::string, FoundRecording> byName;
    for (const auto& f : found)
        byName[fs::path(f.file).filename().string()] = f;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto it = byName.find(c.name);
        if (!c.camera) {
            EXPECT_EQ(it, byName.end());
            continue;
        }
        ASSERT_NE(it, byName.end());
        EXPECT_EQ(it->second.camera, c.camera);
        EXPECT_EQ(it->second.file, (shared / c.name).string());
        EXPECT_EQ(it->second.bytes, 8);
        EXPECT_EQ(it->second.startMs, stampToEpochMs(20251201101500));
        EXPECT_GT(it->second.endMs, it->second.startMs); // written now, long after its stamp
    }
    ASSERT_TRUE(byName.count("Cam-20251202-080000.wmv"));
    EXPECT_EQ(byName["Cam-20251202-080000.wmv"].camera, 3);
    EXPECT_EQ(found.size(), 4u);
}

TEST(RecordingScan, StampIsReadAsLocalTime) {
    const std::string saved = std::getenv("TZ") ? std::getenv("TZ") : "";
    struct Case {
        const char* zone;
        std::int64_t stamp;
        std::int64_t ms;
    };
    const Case cases[] = {
        {"UTC0", 20251201101500, 1764584100000},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 20251201101500, 1764584100000 - 3600000},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 20250701101500, 1751364900000 - 7200000}, // summer time
        {"UTC0", 20241231235959, 1735689599000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zone + std::string(" ") + std::to_string(c.stamp));
        setenv("TZ", c.zone, 1);
        tzset();
        EXPECT_EQ(stampToEpochMs(c.stamp), c.ms);
    }
    if (saved.empty())
        unsetenv("TZ");
    else
        setenv("TZ", saved.c_str(), 1);
    tzset();
}
