// Retention on a small disk of the test's own: only the cameras' own old files go, whatever else
// lies beside them, and a folder that keeps filling never stops a recording.
#include "storage/RetentionSweep.h"
#include "core/FileNaming.h"
#include "storage/RetentionService.h"
#include "storage/SmallDisk.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace norvale;
using norvale::test::SmallDisk;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t KiB = 1024;

#define SKIP_WITHOUT_DISK(disk)                                                                    \
    if (!(disk).mounted())                                                                         \
    GTEST_SKIP() << "needs a tmpfs of its own, which cannot be mounted here: " << (disk).error()

// The stamp of second `n` after 2026-01-01 00:00:00, and that moment (local time read as UTC).
std::string stamp(int n) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mday = 1;
    t.tm_sec = n;
    const std::time_t when = timegm(&t);
    gmtime_r(&when, &t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

// Writes `bytes` into the file: 0, or the error that stopped it (what was written stays).
int writeBytes(const fs::path& path, std::size_t bytes, int flags = O_CREAT | O_EXCL) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0600);
    if (fd < 0)
        return errno;
    const std::vector<char> block(64 * KiB, 'v');
    int error = 0;
    for (std::size_t done = 0; !error && done < bytes;) {
        const ssize_t n = ::write(fd, block.data(), std::min(block.size(), bytes - done));
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else
            error = n < 0 ? errno : ENOSPC;
    }
    if (::close(fd) != 0 && !error)
        error = errno;
    return error;
}

// Dates a finished file back, as if it had been written then (three days ago unless told).
void age(const fs::path& path, int secondsAgo = 3 * 86400) {
    const timespec times[2] = {{std::time(nullptr) - secondsAgo, 0},
                               {std::time(nullptr) - secondsAgo, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

bool present(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

} // namespace

TEST(RetentionSweep, RemovesOnlyTheCamerasOldFilesOldestFirst) {
    SmallDisk disk(8);
    SKIP_WITHOUT_DISK(disk);
    const fs::path rec = disk / "rec", snap = disk / "snap";
    fs::create_directories(rec);
    fs::create_directories(snap);
    const fs::path elsewhere = disk.outside() / "precious.wmv";
    ASSERT_EQ(0, writeBytes(elsewhere, 100 * KiB));

    // Old recordings and snapshots of Door, 512 KiB each, oldest by name first.
    std::vector<fs::path> ours;
    for (int i = 0; i < 6; ++i) {
        ours.push_back(i % 3 == 2 ? snap / ("Door-" + stamp(i) + ".bmp")
                                  : rec / ("Door-" + stamp(i) + (i == 1 ? "-2.wmv" : ".wmv")));
        ASSERT_EQ(0, writeBytes(ours.back(), 512 * KiB));
    }
    // Older than all of them by name, but none of them may go.
    const fs::path link = rec / ("Door-" + stamp(-100) + ".wmv");
    fs::create_symlink(elsewhere, link);
    const fs::path folderLikeAFile = rec / ("Door-" + stamp(-99) + ".wmv");
    fs::create_directory(folderLikeAFile);
    const std::vector<fs::path> others = {
        rec / "notes.txt",
        rec / ("Porch-" + stamp(-98) + ".wmv"),        // no such camera
        rec / ("Door-" + stamp(-97) + ".wmv.partial"), // not a name of the rule
        rec / ("Door-" + stamp(-96) + ".bmp"),         // a snapshot outside the snapshot folder
        disk / ("Door-" + stamp(-95) + ".wmv"),        // outside Door's folders
        rec / ("Door-" + stamp(-94) + ".wmv"),         // being written
    };
    for (const auto& p : others)
        ASSERT_EQ(0, writeBytes(p, 200 * KiB)) << p;
    for (const auto& p : ours)
        age(p);
    for (const auto& p : others)
        age(p);
    // Door's recording folder is given through a link to it: it is used where it leads.
    const fs::path recLink = disk.outside() / "recordings";
    fs::create_directory_symlink(rec, recLink);

    RetentionSetup setup;
    setup.cameras = {{"Door", recLink.string(), snap.string() + "/"}, {"Gate", rec, rec}};
    setup.beingWritten = {(recLink / ("Door-" + stamp(-94) + ".wmv")).string()};
    setup.takenAt = std::time(nullptr);

    // About 4.2 MiB in use of 8: asking for 5 MiB free takes the three oldest of Door's files
    // (the snapshot folder lies on the same disk).
    setup.policy = {5, 0};
    const SweepResult result = runSweep(setup);
    EXPECT_TRUE(result.errors.empty())
        << result.errors.front().path << ": " << result.errors.front().text;
    ASSERT_EQ(result.removed.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(result.removed[i], fs::canonical(ours[i].parent_path()) / ours[i].filename());
        EXPECT_FALSE(present(ours[i])) << ours[i];
    }
    EXPECT_EQ(result.filesRemoved, 3);
    EXPECT_EQ(result.bytesFreed, 3 * 512 * KiB);
    ASSERT_EQ(result.disks.size(), 1u);
    EXPECT_GE(result.disks[0].freeBytes, 5u * 1024 * KiB);
    EXPECT_EQ(result.disks[0].totalBytes, 8u * 1024 * KiB);
    for (std::size_t i = 3; i < ours.size(); ++i)
        EXPECT_TRUE(present(ours[i])) << ours[i];
    for (const auto& p : others)
        EXPECT_TRUE(present(p)) << p;
    EXPECT_TRUE(present(link));
    EXPECT_TRUE(fs::is_directory(folderLikeAFile));
    EXPECT_EQ(fs::file_size(elsewhere), 100 * KiB);

    // An age limit takes Door's files older than it, save one changed since the list of files
    // being written was taken and one a recorder holds (a segment still being finished, named
    // here through the link to the folder); the link and the rest still stay.
    age(ours[5], 0);
    const std::tm old = [] {
        std::tm t{};
        t.tm_year = 100, t.tm_mon = 0, t.tm_mday = 1;
        return t;
    }();
    const FileNameClaim held =
        claimTimestampedFileName(recLink.string() + "/", "Door", old, ".wmv");
    ASSERT_EQ(0, writeBytes(held.path(), 100 * KiB));
    age(held.path());
    setup.policy = {0, 1};
    const SweepResult byAge = runSweep(setup);
    EXPECT_EQ(byAge.removed.size(), 2u);
    EXPECT_FALSE(present(ours[3]));
    EXPECT_FALSE(present(ours[4]));
    EXPECT_TRUE(present(ours[5]));
    EXPECT_TRUE(present(held.path()));
    for (const auto& p : others)
        EXPECT_TRUE(present(p)) << p;
    EXPECT_TRUE(present(link));
}

// A camera records into a folder on a small disk for far longer than the disk holds: every
// segment is written whole, the oldest go, and nothing else in the folder is touched.
TEST(RetentionService, AFillingFolderNeverStopsTheRecording) {
    SmallDisk disk(8);
    SKIP_WITHOUT_DISK(disk);
    const fs::path rec = disk / "rec";
    fs::create_directories(rec);
    const fs::path notes = rec / "notes.txt";
    const fs::path foreign = rec / ("Porch-" + stamp(0) + ".wmv");
    ASSERT_EQ(0, writeBytes(notes, 64 * KiB));
    ASSERT_EQ(0, writeBytes(foreign, 64 * KiB));
    age(notes);
    age(foreign);

    std::mutex m;
    std::condition_variable changed;
    int sweeps = 0;
    std::vector<std::string> removed;
    RetentionService service(
        [&](const SweepResult& r) {
            std::lock_guard lock(m);
            ++sweeps;
            removed.insert(removed.end(), r.removed.begin(), r.removed.end());
            changed.notify_all();
        },
        {}, RetentionService::Timing{std::chrono::milliseconds(0), std::chrono::milliseconds(0)});
    auto sweepAndWait = [&](void (RetentionService::*ask)()) {
        std::unique_lock lock(m);
        const int before = sweeps;
        (service.*ask)();
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return sweeps > before; });
    };

    RetentionSetup setup;
    // 1 MiB kept free, segments of 1.5 MiB: the checks make room now and then, and between
    // them segments meet a full disk.
    setup.policy = {1, 0};
    setup.cameras = {{"Door", rec.string(), rec.string()}};
    setup.recording = true;
    const int segments = 16; // 24 MiB through an 8 MiB disk
    int retries = 0;
    std::vector<fs::path> written;
    for (int i = 0; i < segments; ++i) {
        const fs::path segment = rec / ("Door-" + stamp(i * 60) + ".wmv");
        setup.beingWritten = {segment.string()};
        setup.takenAt = std::time(nullptr);
        service.configure(setup);
        // A write that fails for lack of space asks for a sweep at once and tries again.
        int flags = O_CREAT | O_EXCL;
        while (const int error = writeBytes(segment, 1536 * KiB, flags)) {
            ASSERT_EQ(error, ENOSPC);
            ASSERT_LT(++retries, 2 * segments) << "the disk stays full";
            ASSERT_TRUE(sweepAndWait(&RetentionService::sweepNow));
            flags = O_TRUNC;
        }
        age(segment, 3600 - i);
        written.push_back(segment);
        // The periodic look at the free space, less often than a segment is written.
        if (i % 3 == 0)
            service.checkSpace();
    }
    // Settle: the last check's sweep, if it made one, is done.
    ASSERT_TRUE(sweepAndWait(&RetentionService::sweepNow));

    std::lock_guard lock(m);
    EXPECT_GT(retries, 0) << "no write met a full disk";
    EXPECT_GE(removed.size(), 11u);
    // Oldest first: what went is a run of the earliest segments, what stays the latest.
    std::set<std::string> gone(removed.begin(), removed.end());
    EXPECT_EQ(gone.size(), removed.size()) << "a file was removed twice";
    std::size_t kept = 0;
    for (std::size_t i = 0; i < written.size(); ++i) {
        const bool isGone = gone.count(fs::canonical(rec) / written[i].filename()) > 0;
        if (!isGone)
            ++kept;
        else
            EXPECT_EQ(kept, 0u) << written[i] << " went after a younger one stayed";
    }
    EXPECT_GE(kept, 3u);
    EXPECT_TRUE(present(written.back()));
    EXPECT_EQ(fs::file_size(notes), 64 * KiB);
    EXPECT_EQ(fs::file_size(foreign), 64 * KiB);
}
