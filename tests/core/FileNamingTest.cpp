#include "core/FileNaming.h"
#include "core/CameraSettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

using namespace norvale;

namespace {
std::tm at(int y, int mo, int d, int h, int mi, int s) {
    return test::brokenDownTime(y, mo, d, h, mi, s);
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

TEST(FileNaming, TakenNamesGainANumberBeforeTheExtension) {
    struct Case {
        std::set<std::string> taken;
        const char* expected;
    } cases[] = {
        {{}, "/v/Door-20100602-090507.wmv"},
        {{"/v/Door-20100602-090507.wmv"}, "/v/Door-20100602-090507-2.wmv"},
        {{"/v/Door-20100602-090507.wmv", "/v/Door-20100602-090507-2.wmv"},
         "/v/Door-20100602-090507-3.wmv"},
        // A gap is filled: the plain name is free although "-2" is taken.
        {{"/v/Door-20100602-090507-2.wmv"}, "/v/Door-20100602-090507.wmv"},
        // Other extensions and other seconds do not count.
        {{"/v/Door-20100602-090507.bmp", "/v/Door-20100602-090508.wmv"},
         "/v/Door-20100602-090507.wmv"},
    };
    for (const auto& c : cases) {
        const std::string name =
            firstFreeFileName("/v/Door-20100602-090507", ".wmv",
                              [&](const std::string& n) { return c.taken.count(n) > 0; });
        EXPECT_EQ(name, c.expected);
    }
    EXPECT_THROW(firstFreeFileName("/v/x", ".wmv", [](const std::string&) { return true; }),
                 std::runtime_error);
}

// Two cameras of the same name and folder, or two segments started in the same second, never
// get one file: neither a file on disk nor a name another writer holds is handed out again.
TEST(FileNaming, ClaimedNamesAreUniqueOnDiskAndInThisProcess) {
    norvale::test::TempDir dir;
    const std::string folder = dir.path().string() + "/";
    const std::tm t = at(2026, 12, 9, 20, 0, 0);
    const std::string plain = folder + "Gate-20261209-200000.wmv";
    {
        FileNameClaim first = claimTimestampedFileName(folder, "Gate", t, ".wmv");
        FileNameClaim second = claimTimestampedFileName(folder, "Gate", t, ".wmv");
        EXPECT_EQ(first.path(), plain);
        EXPECT_EQ(second.path(), folder + "Gate-20261209-200000-2.wmv");
        EXPECT_TRUE(fileNameClaimed(second.path()));
        FileNameClaim moved = std::move(second);
        EXPECT_TRUE(second.empty());
        EXPECT_EQ(claimTimestampedFileName(folder, "Gate", t, ".wmv").path(),
                  folder + "Gate-20261209-200000-3.wmv");
    }
    // Released: free again, unless the file now exists (a link counts, even a dangling one).
    EXPECT_FALSE(fileNameClaimed(plain));
    EXPECT_EQ(claimTimestampedFileName(folder, "Gate", t, ".wmv").path(), plain);
    std::filesystem::create_symlink(dir / "nowhere", plain);
    EXPECT_EQ(claimTimestampedFileName(folder, "Gate", t, ".wmv").path(),
              folder + "Gate-20261209-200000-2.wmv");

    // Claims from many threads at once are all different.
    std::vector<FileNameClaim> claims(16);
    std::vector<std::thread> threads;
    for (auto& c : claims)
        threads.emplace_back([&] { c = claimTimestampedFileName(folder, "Gate", t, ".wmv"); });
    for (auto& th : threads)
        th.join();
    std::set<std::string> names;
    for (const auto& c : claims)
        names.insert(c.path());
    EXPECT_EQ(names.size(), claims.size());
    EXPECT_EQ(names.count(plain), 0u);
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
