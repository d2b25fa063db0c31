#include "storage/RecordingIndex.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace norvale;
using norvale::test::TempDir;

namespace {

constexpr std::int64_t Hour = 3600 * 1000;
constexpr std::int64_t Day = 24 * Hour;
constexpr std::int64_t Base = 1'765'000'000'000; // a day in December 2025

std::vector<std::string> files(const std::vector<RecordingRow>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows)
        out.push_back(r.file);
    return out;
}

} // namespace

TEST(RecordingIndex, OverlapQueriesFindSpansThatCrossTheWindow) {
    TempDir dir;
    RecordingIndex index((dir / "norvale.db").string());
    EXPECT_FALSE(index.rebuilt());
    // Hourly segments of camera 3 from 22:00 of one day to 02:00 of the next, one that ends
    // exactly at midnight, and camera 4's recording at the same time.
    for (int h = 0; h < 4; ++h) {
        const auto file = "/rec/c3-" + std::to_string(h) + ".wmv";
        index.recordingStarted(3, file, Base + (22 + h) * Hour);
        index.recordingUpdated(file, Base + (23 + h) * Hour, 1000, true);
    }
    index.recordingStarted(4, "/rec/c4.wmv", Base + 23 * Hour);
    index.recordingUpdated("/rec/c4.wmv", Base + 25 * Hour, 2000, false);

    struct Case {
        int camera;
        std::int64_t from, to;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {3, Base, Base + Day, {"/rec/c3-0.wmv", "/rec/c3-1.wmv"}},
        {3, Base + Day, Base + 2 * Day, {"/rec/c3-2.wmv", "/rec/c3-3.wmv"}},
        {3, Base + Day - 1, Base + Day + 1, {"/rec/c3-1.wmv", "/rec/c3-2.wmv"}},
        {3, Base + 2 * Day, Base + 3 * Day, {}},
        {4, Base + Day, Base + 2 * Day, {"/rec/c4.wmv"}}, // began the day before
        {5, Base, Base + 3 * Day, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(files(index.recordings(c.camera, c.from, c.to)), c.expected)
            << c.camera << " " << (c.from - Base) / Hour;
    EXPECT_TRUE(index.hasRecordings(4, Base + Day, Base + 2 * Day));
    EXPECT_FALSE(index.hasRecordings(3, Base + 2 * Day, Base + 3 * Day));

    // Events with their thumbnail; a removed recording leaves its events without a file.
    const auto id = index.eventStarted(3, Base + 22 * Hour + 5000, "/rec/c3-0.wmv");
    const std::vector<std::uint8_t> jpeg{0xFF, 0xD8, 0x00, 0xFF, 0xD9};
    index.eventUpdated(id, Base + 22 * Hour + 9000, 0.25, &jpeg);
    auto events = index.events(3, Base, Base + Day, true);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].endMs, Base + 22 * Hour + 9000);
    EXPECT_DOUBLE_EQ(events[0].peak, 0.25);
    EXPECT_EQ(events[0].thumbnail, jpeg);
    index.recordingRemoved("/rec/c3-0.wmv");
    EXPECT_EQ(index.events(3, Base, Base + Day)[0].file, "");
    EXPECT_EQ(files(index.recordings(3, Base, Base + Day)),
              std::vector<std::string>{"/rec/c3-1.wmv"});
}

TEST(RecordingIndex, DamagedOrNewerIndexIsRebuiltAndReconciledFromTheFiles) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> damage;
    };
    const Case cases[] = {
        {"garbage", [](const std::string& p) { test::writeFile(p, std::string(4096, 'x')); }},
        {"truncated header",
         [](const std::string& p) {
             { RecordingIndex index(p); }
             std::filesystem::resize_file(p, 100);
         }},
        {"newer schema",
         [](const std::string& p) {
             Database db(p);
             db.exec("PRAGMA user_version=99");
         }},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const auto path = (dir / "norvale.db").string();
        c.damage(path);
        RecordingIndex index(path);
        EXPECT_TRUE(index.rebuilt()) << c.name;
        EXPECT_TRUE(std::filesystem::exists(path + ".damaged")) << c.name;

        // The folders hold two files; the index knew neither: both are added, and a row whose
        // file is gone is dropped.
        index.recordingStarted(1, "/gone.wmv", Base);
        const std::vector<FoundRecording> found{{1, "/a.wmv", Base, Base + Hour, 10},
                                                {2, "/b.wmv", Base, Base + Hour, 20}};
        const std::set<std::string> present{"/a.wmv", "/b.wmv"};
        auto r = index.reconcile(found, [&](const std::string& f) { return present.count(f) > 0; });
        EXPECT_EQ(r.added, 2) << c.name;
        EXPECT_EQ(r.dropped, 1) << c.name;
        r = index.reconcile(found, [&](const std::string& f) { return present.count(f) > 0; });
        EXPECT_EQ(r.added + r.dropped, 0) << c.name;
    }
}

TEST(RecordingIndex, SurvivesAKillInTheMiddleOfWriting) {
    TempDir dir;
    const auto path = (dir / "norvale.db").string();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RecordingIndex index(path);
        for (int i = 0; i < 50; ++i)
            index.recordingStarted(1, "/f" + std::to_string(i), Base + i);
        // A transaction left open when the process dies.
        index.database().exec("BEGIN");
        index.recordingStarted(1, "/half", Base);
        ::kill(::getpid(), SIGKILL);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    RecordingIndex index(path);
    EXPECT_FALSE(index.rebuilt());
    const auto rows = index.recordings(1, 0, Base + Day);
    EXPECT_EQ(rows.size(), 50u);
}

TEST(IndexService, RunsTasksInOrderOffTheCallerAndReportsAFailureOnce) {
    TempDir dir;
    std::vector<std::string> errors;
    std::mutex errorsLock;
    std::atomic<std::thread::id> worker;
    IndexService service((dir / "norvale.db").string(), nullptr, [&](const std::string& e) {
        std::lock_guard lock(errorsLock);
        errors.push_back(e);
    });
    std::vector<int> order;
    for (int i = 0; i < 20; ++i)
        service.post([&, i](RecordingIndex& index) {
            worker = std::this_thread::get_id();
            index.recordingStarted(1, "/f" + std::to_string(i), Base + i);
            order.push_back(i);
        });
    for (int i = 0; i < 3; ++i)
        service.post([](RecordingIndex& index) { index.database().exec("NOT SQL"); });
    service.post([&](RecordingIndex& index) {
        order.push_back(static_cast<int>(index.recordings(1, 0, Base + Day).size()));
    });
    service.flush();
    EXPECT_NE(worker.load(), std::this_thread::get_id());
    ASSERT_EQ(order.size(), 21u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_EQ(order[20], 20);
    EXPECT_EQ(errors.size(), 1u); // the same failure three times in a row: one report
}
