// The index kept by the running program: what the cameras announce goes in, the folders are
// reconciled at start, a lost or damaged index is rebuilt with one report, deleted files leave.
#include "app/shell/IndexKeeper.h"
#include "channel/CameraChannel.h"
#include "storage/RecordingIndex.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <QStringList>
#include <gtest/gtest.h>

#include <filesystem>

using namespace norvale;
using norvale::test::TempDir;
using norvale::test::waitFor;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t Day = 24LL * 3600 * 1000;

struct Rig {
    TempDir dir;
    fs::path records = dir / "records";
    std::string db = (dir / "norvale.db").string();
    QStringList reports;

    Rig() { fs::create_directory(records); }

    std::unique_ptr<IndexKeeper> keeper() {
        auto k = std::make_unique<IndexKeeper>(db, [this] {
            return std::vector<ScannedCamera>{{7, "Cam", records.string(), {}}};
        });
        QObject::connect(k.get(), &IndexKeeper::report,
                         [this](const QString& text) { reports << text; });
        return k;
    }
    std::string recording(const std::string& name) {
        const auto path = (records / name).string();
        test::writeFile(path, "picture");
        return path;
    }
    std::vector<std::string> files(int camera) {
        RecordingIndex index(db);
        std::vector<std::string> out;
        for (const auto& r : index.recordings(camera, 0, stampToEpochMs(20991231000000)))
            out.push_back(r.file);
        return out;
    }
    // One run of the program: start, everything written, what it said heard.
    void startOnce() {
        auto k = keeper();
        k->start();
        k->flush();
        settle();
    }
    // Lets the queued reports arrive.
    void settle() {
        bool done = false;
        QMetaObject::invokeMethod(
            qApp, [&] { done = true; }, Qt::QueuedConnection);
        ASSERT_TRUE(waitFor([&] { return done; }));
    }
};

} // namespace

TEST(IndexKeeper, AddsTheFilesAndEventsTheChannelAnnouncesUnderItsCameraNumber) {
    Rig rig;
    CameraChannel channel(ChannelServices{});
    auto keeper = rig.keeper();
    keeper->watch(3, channel);
    const std::int64_t t0 = stampToEpochMs(20251201101500);
    emit channel.recordingFileFinished(QString::fromStdString((rig.records / "a.wmv").string()), t0,
                                       t0 + 60000, 12345);
    MotionEventRecord event;
    event.camera = 99; // the channel does not know its number; the keeper does
    event.startMs = t0 + 1000;
    event.endMs = t0 + 9000;
    event.peak = 0.25;
    event.file = (rig.records / "a.wmv").string();
    event.thumbnailJpeg = {0xff, 0xd8, 0xff, 0xd9};
    emit channel.motionEnded(event);
    keeper->flush();

    RecordingIndex index(rig.db);
    const auto recs = index.recordings(3, t0, t0 + Day);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].endMs, t0 + 60000);
    EXPECT_EQ(recs[0].bytes, 12345);
    EXPECT_TRUE(recs[0].complete);
    const auto events = index.events(3, t0, t0 + Day, true);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].startMs, t0 + 1000);
    EXPECT_EQ(events[0].endMs, t0 + 9000);
    EXPECT_DOUBLE_EQ(events[0].peak, 0.25);
    EXPECT_EQ(events[0].file, event.file);
    EXPECT_EQ(events[0].thumbnail, event.thumbnailJpeg);
    EXPECT_TRUE(index.events(99, 0, t0 + Day).empty());
    rig.settle();
    EXPECT_TRUE(rig.reports.isEmpty());
}

TEST(IndexKeeper, StartReconcilesWithTheFoldersAndRebuildsALostOrDamagedIndexWithOneReport) {
    Rig rig;
    const auto a = rig.recording("Cam-20251201-101500.wmv");
    // A first start: a new index, the folder's recordings in it; a lost index is news.
    rig.startOnce();
    EXPECT_EQ(rig.files(7), std::vector<std::string>{a});
    ASSERT_EQ(rig.reports.size(), 1);
    EXPECT_TRUE(rig.reports[0].contains("missing")) << rig.reports[0].toStdString();

    // A file gone while the program did not run leaves; a new one comes in; nothing to report.
    rig.reports.clear();
    fs::remove(a);
    const auto b = rig.recording("Cam-20251202-080000.mkv");
    rig.startOnce();
    EXPECT_EQ(rig.files(7), std::vector<std::string>{b});
    EXPECT_TRUE(rig.reports.isEmpty());

    // A damaged index is set aside and rebuilt from the files: one report, and it starts.
    for (const auto& suffix : {"", "-wal", "-shm"})
        fs::remove(rig.db + suffix);
    test::writeFile(rig.db, std::string(8192, 'x'));
    rig.startOnce();
    EXPECT_EQ(rig.files(7), std::vector<std::string>{b});
    ASSERT_EQ(rig.reports.size(), 1);
    EXPECT_TRUE(rig.reports[0].contains("damaged")) << rig.reports[0].toStdString();
    EXPECT_TRUE(fs::exists(rig.db + ".damaged"));
}

TEST(IndexKeeper, FilesDeletedByRetentionLeaveTheIndex) {
    Rig rig;
    const auto a = rig.recording("Cam-20251201-101500.wmv");
    const auto b = rig.recording("Cam-20251201-111500.wmv");
    const auto c = rig.recording("Cam-20251201-121500.wmv");
    auto keeper = rig.keeper();
    keeper->start();
    keeper->flush();
    ASSERT_EQ(rig.files(7).size(), 3u);
    // The sweep names where a file really was; `c` went too, unannounced.
    fs::remove(a);
    fs::remove(c);
    keeper->filesRemoved(
        {QString::fromStdString(fs::canonical(rig.records).string() + "/Cam-20251201-101500.wmv")});
    keeper->flush();
    EXPECT_EQ(rig.files(7), std::vector<std::string>{b});
}
