// The recordings window on a wall: opened from its four places, showing the day of a small real
// index with the files it does not know, and playing, stepping through events, saving a still and
// exporting from real recordings; and the timeline's click, drag and wheel.
#include "app/camera/VideoWindow.h"
#include "app/recordings/RecordingsCommand.h"
#include "app/recordings/TimelineWidget.h"
#include "app/shell/Action.h"
#include "app/wall/Form1.h"
#include "app/wall/TrayControl.h"
#include "app/wall/WallCommands.h"
#include "capture/RecordingSupport.h"
#include "capture/SegmentPlayer.h"
#include "core/Timeline.h"
#include "storage/RecordingIndex.h"
#include "support/FakeDesktop.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QBuffer>
#include <QCalendarWidget>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QTextCharFormat>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <optional>
#include <sys/stat.h>

using namespace norvale;
using norvale::test::TempDir;
using norvale::test::waitFor;

namespace {

const auto Day = localDay(2026, 6, 10);

std::int64_t at(int hour, int minute, int second = 0) {
    return Day.first + ((hour * 60 + minute) * 60 + second) * 1000LL;
}

std::vector<std::uint8_t> jpeg() {
    QImage picture(64, 48, QImage::Format_RGB888);
    picture.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPEG");
    return {bytes.begin(), bytes.end()};
}

void touch(const std::filesystem::path& file, std::int64_t modifiedMs) {
    norvale::test::writeFile(file, "not a real recording");
    const timespec times[2] = {{modifiedMs / 1000, 0}, {modifiedMs / 1000, 0}};
    ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

// How often a signal of the window came.
struct Count {
    int n = 0;
    QMetaObject::Connection c;
    template <class Signal> Count(TRecordingsForm* w, Signal signal) {
        c = QObject::connect(w, signal, [this] { ++n; });
    }
    ~Count() { QObject::disconnect(c); }
};

struct Fixture {
    TempDir dir;
    norvale::test::FakeDesktop desktop;
    std::unique_ptr<IndexService> index; // outlives the wall and its window
    std::unique_ptr<TForm1> form;
    RecordingsCommand* command = nullptr;
    std::filesystem::path recordings = dir / "rec";
    std::filesystem::path snapshots = dir / "snap";

    Fixture() {
        std::filesystem::create_directories(recordings);
        std::filesystem::create_directories(snapshots);
        std::tm today{};
        today.tm_year = 2026 - 1900;
        today.tm_mon = 5;
        today.tm_mday = 10;
        today.tm_hour = 12;
        today.tm_min = 30;
        today.tm_isdst = -1;
        desktop.time.setLocalTime(today);
        Form1Context c;
        c.exeDir = QString::fromStdString(dir.path().string()) + "/";
        c.applicationName = "Norvale Test";
        c.desktop = &desktop;
        c.cameraServices.videoDeviceCount = [] { return 2; };
        form = std::make_unique<TForm1>(std::move(c));
        index = std::make_unique<IndexService>((dir / "norvale.db").string(), nullptr, nullptr);
        TCamera* gate = form->AllCameras().at(0);
        gate->setCameraName("Gate");
        gate->setSaveFilePath(QString::fromStdString(recordings.string()));
        gate->setSnapshotPath(QString::fromStdString(snapshots.string()));

        RecordingsContext rc;
        rc.desktop = &desktop;
        rc.index = index.get();
        rc.cameras = [this] {
            std::vector<RecordingsCamera> cameras;
            for (int n = 1; n <= 36; ++n) {
                const TCamera* cam = form->AllCameras().at(n - 1);
                cameras.push_back({n, cam->CameraName(), cam->SaveFilePath(), cam->SnapshotPath()});
            }
            return cameras;
        };
        command = new RecordingsCommand(*form, std::move(rc));
    }
    ~Fixture() {
        form.reset();
        index.reset();
    }
    std::string file(const char* name) const { return (recordings / name).string(); }
    void addRecording(const std::string& path, std::int64_t from, std::int64_t to) {
        index->post([=](RecordingIndex& i) {
            i.recordingStarted(1, path, from);
            i.recordingUpdated(path, to, 1000, true);
        });
    }
    void addEvent(std::int64_t from, std::int64_t to, const std::string& path) {
        index->post([=](RecordingIndex& i) {
            const auto thumb = jpeg();
            i.eventUpdated(i.eventStarted(1, from, path), to, 0.5, &thumb);
        });
    }
    TRecordingsForm* open(int camera) {
        command->open(camera);
        TRecordingsForm* w = command->window();
        Count shown(w, &TRecordingsForm::dayShown);
        EXPECT_TRUE(waitFor([&] { return shown.n > 0; }));
        return w;
    }
};

} // namespace

TEST(RecordingsWindow, OpensFromItsFourPlacesAsOneWindowOnTheCameraAndToday) {
    Fixture f;
    f.form->SelectSlot(3);
    QAction* act = f.command->actRecordings();
    EXPECT_EQ(act->text(), "Recordings...");
    const QList<QAction*> listMenu = f.form->PopupMenu1()->actions();
    EXPECT_EQ(listMenu.indexOf(act), listMenu.indexOf(f.form->actCamSettings()) + 1);
    EXPECT_TRUE(f.form->tray().pmTrayIcon()->actions().contains(act));
    EXPECT_EQ(act->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    EXPECT_TRUE(f.form->actions().contains(act));
    QAction* own = nullptr;
    for (QAction* a : f.form->AllCameras().at(4)->PopupMenu1()->actions())
        if (a->objectName() == "actRecordings")
            own = a;
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->text(), "Recordings...");

    struct Place {
        const char* name;
        QAction* action;
        int camera;
    } places[] = {{"list menu", listMenu.at(listMenu.indexOf(act)), 3},
                  {"tray menu", act, 3},
                  {"Ctrl+R", act, 3},
                  {"camera 5's menu", own, 5}};
    for (const Place& p : places) {
        SCOPED_TRACE(p.name);
        p.action->trigger();
        QPointer<TRecordingsForm> w = f.command->window();
        ASSERT_TRUE(w);
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->windowModality(), Qt::NonModal);
        EXPECT_EQ(w->windowTitle(), "Recordings");
        EXPECT_EQ(w->camera(), p.camera);
        EXPECT_EQ(w->cbCamera()->count(), 36);
        EXPECT_EQ(w->cbCamera()->currentData().toInt(), p.camera);
        EXPECT_EQ(w->day(), QDate(2026, 6, 10));
        EXPECT_EQ(w->calendar()->selectedDate(), QDate(2026, 6, 10));
        // Asked again: the same window, not a second one.
        p.action->trigger();
        EXPECT_EQ(f.command->window(), w.data());
        w->close();
        EXPECT_TRUE(waitFor([&] { return !w; }));
    }
}

TEST(RecordingsWindow, ShowsTheDaysSpansEventsAndFilesTheIndexDoesNotKnowButNotGoneOnes) {
    Fixture f;
    const std::string known = f.file("Gate-20260610-100000.wmv");
    touch(known, at(10, 1));
    f.addRecording(known, at(10, 0), at(10, 1));
    f.addRecording(f.file("Gate-20260610-110000.wmv"), at(11, 0), at(11, 1)); // deleted since
    touch(f.file("Gate-20260610-120000.wmv"), at(12, 2));                     // copied in
    touch(f.file("Gate-20260607-080000.wmv"), localDay(2026, 6, 7).first + 8 * 3600000 + 60000);
    const std::string earlier = f.file("Gate-20260605-090000.wmv");
    touch(earlier, localDay(2026, 6, 5).first + 9 * 3600000 + 60000);
    f.addRecording(earlier, localDay(2026, 6, 5).first + 9 * 3600000,
                   localDay(2026, 6, 5).first + 9 * 3600000 + 60000);
    touch(f.file("Yard-20260610-100000.wmv"), at(10, 1)); // another camera's
    f.addEvent(at(10, 0, 20), at(10, 0, 35), known);
    f.addEvent(at(12, 1), at(12, 1, 5), "");
    f.addEvent(at(9, 0) - 24 * 3600000LL, at(9, 1) - 24 * 3600000LL, ""); // the day before
    f.index->flush();

    TRecordingsForm* w = f.open(1);
    ASSERT_EQ(w->shown().recordings.size(), 2u);
    EXPECT_EQ(w->shown().recordings[0].file, known);
    EXPECT_EQ(w->shown().recordings[1].file, f.file("Gate-20260610-120000.wmv"));
    EXPECT_EQ(w->shown().recordings[1].startMs, at(12, 0));
    EXPECT_EQ(w->shown().recordings[1].endMs, at(12, 2));
    const TimelineWidget::Spans spans{{at(10, 0), at(10, 1)}, {at(12, 0), at(12, 2)}};
    EXPECT_EQ(w->timeline()->recorded(), spans);
    const TimelineWidget::Spans events{{at(10, 0, 20), at(10, 0, 35)}, {at(12, 1), at(12, 1, 5)}};
    EXPECT_EQ(w->timeline()->events(), events);
    EXPECT_EQ(w->timeline()->view().dayStart(), Day.first);
    EXPECT_EQ(w->timeline()->view().dayEnd(), Day.second);

    ASSERT_EQ(w->lvEvents()->count(), 2);
    EXPECT_EQ(w->lvEvents()->item(0)->text(), "10:00:20  (0:15)");
    EXPECT_EQ(w->lvEvents()->item(1)->text(), "12:01:00  (0:05)");
    EXPECT_FALSE(w->lvEvents()->item(0)->icon().isNull());

    EXPECT_TRUE(waitFor([&] { return !w->boldDays().empty(); }));
    EXPECT_EQ(w->boldDays(), (std::set<int>{20260605, 20260607, 20260610}));
    EXPECT_EQ(w->calendar()->dateTextFormat(QDate(2026, 6, 7)).fontWeight(), QFont::Bold);
    EXPECT_NE(w->calendar()->dateTextFormat(QDate(2026, 6, 8)).fontWeight(), QFont::Bold);

    // Another camera: its own (empty) day, said so.
    Count shown(w, &TRecordingsForm::dayShown);
    w->showDay(2, w->day());
    ASSERT_TRUE(waitFor([&] { return shown.n > 0; }));
    EXPECT_TRUE(w->shown().recordings.empty());
    EXPECT_EQ(w->lvEvents()->count(), 0);
    EXPECT_EQ(w->lblStatus()->text(), "No recordings on this day.");
}

TEST(RecordingsWindow, PlaysEventsInWallClockTimeSavesAStillAndExportsASpan) {
    test::useTestCameras(1);
    Fixture f;
    const std::string a = f.file("Gate-20260610-100000.wmv");
    test::record(a, 60);
    const auto lengthMs = static_cast<std::int64_t>(test::probe(a).duration * 1000);
    ASSERT_GT(lengthMs, 1000);
    const std::int64_t t0 = at(10, 0), t1 = t0 + lengthMs;
    const std::string b = f.file("Gate-20260610-100002.wmv");
    std::filesystem::copy_file(a, b);
    const std::string broken = f.file("Gate-20260610-100010.wmv");
    norvale::test::writeFile(broken, std::string(4096, 'x'));
    f.addRecording(a, t0, t1);
    f.addRecording(b, t1, t1 + lengthMs);
    f.addRecording(broken, t1 + lengthMs + 1000, t1 + lengthMs + 5000);
    f.addEvent(t0 + 300, t0 + 800, a);
    f.addEvent(t1 + 300, t1 + 1500, b);
    f.index->flush();

    TRecordingsForm* w = f.open(1);
    ASSERT_EQ(w->shown().recordings.size(), 3u);
    // Next event from nothing playing: the day's first; then the one in the next file.
    w->nextEvent();
    EXPECT_EQ(w->lvEvents()->currentRow(), 0);
    ASSERT_TRUE(waitFor([&] { return w->position() >= t0 + 300; }));
    EXPECT_TRUE(waitFor([&] { return w->lblTime()->text().startsWith("2026-06-10  10:00:0"); }));
    w->nextEvent();
    EXPECT_EQ(w->lvEvents()->currentRow(), 1);
    EXPECT_EQ(w->timeline()->selection(), std::make_pair(t1 + 300, t1 + 1500));
    ASSERT_TRUE(waitFor([&] { return w->position() >= t1 + 300; }));
    // Playing the last good file, the broken one after it is found out and said, by name.
    EXPECT_TRUE(
        waitFor([&] { return w->lblStatus()->text().contains("Gate-20260610-100010.wmv"); }));
    EXPECT_TRUE(w->lblStatus()->text().contains("damaged"));
    w->previousEvent();
    EXPECT_EQ(w->lvEvents()->currentRow(), 0);

    // The still: named by the moment it shows, in the camera's snapshot folder.
    ASSERT_TRUE(waitFor([&] { return w->position() >= t0 + 300 && w->position() < t1; }));
    w->togglePause();
    const QString still = w->saveStill();
    ASSERT_FALSE(still.isEmpty());
    EXPECT_TRUE(
        still.startsWith(QString::fromStdString((f.snapshots / "Gate-20260610-10000").string())))
        << still.toStdString();
    EXPECT_TRUE(still.endsWith(".bmp"));
    const QImage saved(still);
    EXPECT_FALSE(saved.isNull());
    EXPECT_EQ(saved.width(), w->player().LatestFrame()->Width());

    // Playing on to the end passes the broken file again: not said a second time.
    const QString saidStill = w->lblStatus()->text();
    w->togglePause();
    // Two files' worth of playing at 1x, with room for a loaded machine.
    EXPECT_TRUE(waitFor([&] { return w->position() >= t1 + lengthMs - 300; },
                        static_cast<int>(2 * lengthMs) + 10000));
    EXPECT_TRUE(waitFor([&] { return !w->player().Connected(); }));
    EXPECT_EQ(w->lblStatus()->text(), saidStill);

    // Export across both files to the name the user gives (the type added when left out).
    QString asked;
    f.desktop.saveAs = [&](const QString&, const QString& suggested) {
        asked = suggested;
        return QString::fromStdString((f.dir / "out").string());
    };
    std::optional<std::pair<bool, QString>> finished;
    QObject::connect(w, &TRecordingsForm::exportFinished,
                     [&](bool ok, const QString& text) { finished.emplace(ok, text); });
    w->exportSpan(t0 + 500, t1 + lengthMs - 200);
    ASSERT_TRUE(waitFor([&] { return finished.has_value(); }, 60000));
    EXPECT_TRUE(finished->first) << finished->second.toStdString();
    EXPECT_TRUE(asked.endsWith("Gate-20260610-100000.wmv")) << asked.toStdString();
    const auto probe = test::probe(f.dir / "out.wmv");
    EXPECT_EQ(probe.codec, "wmv1");
    EXPECT_NEAR(probe.duration, (t1 + lengthMs - 200 - t0 - 500) / 1000.0, 1.0);

    // Another day: the picture of this one is not left standing, nor saved as a still of it.
    Count shown(w, &TRecordingsForm::dayShown);
    w->showDay(1, QDate(2026, 6, 9));
    ASSERT_TRUE(waitFor([&] { return shown.n > 0; }));
    EXPECT_EQ(w->video()->FrameSource(), nullptr);
    EXPECT_TRUE(w->lblTime()->text().isEmpty());
    EXPECT_TRUE(w->saveStill().isEmpty());

    // Nothing to export: said, and no dialog.
    f.desktop.saveAs = nullptr;
    w->exportSpan(t0, t0);
    ASSERT_FALSE(f.desktop.boxes.requests.empty());
    EXPECT_EQ(f.desktop.boxes.requests.back().caption, "Export");
}

TEST(RecordingsWindow, PlaybackThatRanOutGoesOnWithAFileThatCameSince) {
    test::useTestCameras(1);
    Fixture f;
    const std::string a = f.file("Gate-20260610-100000.wmv");
    test::record(a, 45);
    const auto lengthMs = static_cast<std::int64_t>(test::probe(a).duration * 1000);
    const std::int64_t t0 = at(10, 0), t1 = t0 + lengthMs;
    f.addRecording(a, t0, t1);
    f.index->flush();
    TRecordingsForm* w = f.open(1);
    w->playFrom(t1 - 500);
    ASSERT_TRUE(waitFor([&] { return w->position() > 0 && !w->player().Connected(); }));

    // The next segment is finished and indexed; the day is read again, as today's is.
    const std::string b = f.file("Gate-20260610-100003.wmv");
    std::filesystem::copy_file(a, b);
    f.addRecording(b, t1, t1 + lengthMs);
    f.index->flush();
    Count shown(w, &TRecordingsForm::dayShown);
    w->refresh();
    ASSERT_TRUE(waitFor([&] { return shown.n > 0; }));
    EXPECT_TRUE(waitFor([&] { return w->position() >= t1 + 300; }));
}

TEST(RecordingsTimeline, ClickPlaysDragSelectsAndTheWheelZoomsAboutThePointer) {
    TimelineWidget timeline;
    timeline.resize(720, 64);
    timeline.setDay(Day.first, Day.second);
    std::vector<qint64> clicked;
    std::vector<std::pair<std::int64_t, std::int64_t>> selected;
    QObject::connect(&timeline, &TimelineWidget::timeClicked,
                     [&](qint64 ms) { clicked.push_back(ms); });
    QObject::connect(&timeline, &TimelineWidget::selectionChanged,
                     [&](qint64 from, qint64 to) { selected.emplace_back(from, to); });
    auto mouse = [&](QEvent::Type type, double x, Qt::MouseButtons held) {
        QMouseEvent e(type, QPointF(x, 20), QPointF(x, 20), Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(&timeline, &e);
    };
    const std::int64_t minute = 60000;
    const std::int64_t dayMs = Day.second - Day.first; // 24 h, or 23/25 on a change of clocks

    // A click, and a wobble smaller than a drag: both play from the moment under the pointer.
    for (double wobble : {0.0, 2.0}) {
        mouse(QEvent::MouseButtonPress, 360, Qt::LeftButton);
        mouse(QEvent::MouseMove, 360 + wobble, Qt::LeftButton);
        mouse(QEvent::MouseButtonRelease, 360 + wobble, Qt::NoButton);
    }
    ASSERT_EQ(clicked.size(), 2u);
    EXPECT_NEAR(clicked[0], Day.first + dayMs / 2, 2 * minute);
    EXPECT_TRUE(selected.empty());

    // A drag, right to left: the span between, in order.
    mouse(QEvent::MouseButtonPress, 540, Qt::LeftButton);
    mouse(QEvent::MouseMove, 300, Qt::LeftButton);
    mouse(QEvent::MouseMove, 180, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, 180, Qt::NoButton);
    ASSERT_EQ(selected.size(), 1u);
    EXPECT_NEAR(selected[0].first, Day.first + dayMs / 4, 2 * minute);
    EXPECT_NEAR(selected[0].second, Day.first + dayMs * 3 / 4, 2 * minute);
    EXPECT_EQ(timeline.selection(), selected[0]);
    EXPECT_EQ(clicked.size(), 2u);

    // Wheel steps in about a quarter of the way along: that moment stays under the pointer, and
    // no number of steps shows less than a minute.
    const std::int64_t under = timeline.view().timeAt(180);
    for (int i = 0; i < 60; ++i) {
        QWheelEvent wheel(QPointF(180, 20), QPointF(180, 20), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&timeline, &wheel);
        if (i == 0) {
            EXPECT_LT(timeline.view().viewEnd() - timeline.view().viewStart(), dayMs);
        }
    }
    EXPECT_EQ(timeline.view().viewEnd() - timeline.view().viewStart(), minute);
    EXPECT_NEAR(timeline.view().timeAt(180), under, 1000);
}
