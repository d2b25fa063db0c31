#pragma once
// The recordings window: one camera's day at a time, chosen by camera and calendar (days with
// recordings in bold), shown as a timeline of recorded spans and motion events and as a list of
// the events with their pictures; played back in the window's own video area across the
// segment files; a span exported to a file the user names; the picture shown saved as a still.
//
// The index is read on its own thread (IndexService); the window only posts and takes the
// answer. Playback and export run on threads of their own.
#include "capture/Exporter.h"
#include "storage/RecordingDay.h"

#include <QDate>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class QCalendarWidget;
class QComboBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimer;

namespace norvale {

class DesktopServices;
class IndexService;
class TSegmentPlayer;
class TVideoWindow;
class TimelineWidget;

struct RecordingsCamera {
    int number = 0; // 1..36
    QString name;
    QString saveFolder;
    QString snapshotFolder;
};

struct RecordingsContext {
    DesktopServices* desktop = nullptr; // boxes, the file dialog, the clock; required
    IndexService* index = nullptr;      // required
    // The cameras as they are now, read when the window needs them.
    std::function<std::vector<RecordingsCamera>()> cameras;
};

class TRecordingsForm : public QWidget {
    Q_OBJECT
public:
    static constexpr double Rates[] = {0.5, 1, 2, 4, 8, 16};

    // Opens on `camera` (1..36) and today.
    TRecordingsForm(RecordingsContext context, int camera, QWidget* parent = nullptr);
    ~TRecordingsForm() override;

    int camera() const { return camera_; }
    QDate day() const { return day_; }
    // Shows `camera` on `day` (reads the index and the folder first; dayShown() follows).
    void showDay(int camera, const QDate& day);
    // Reads the shown day again (today's grows while cameras record); what plays goes on.
    void refresh();
    const RecordingDay& shown() const { return shown_; }

    // Playback from a wall-clock moment; the events before and after the playing position.
    void playFrom(std::int64_t ms);
    void nextEvent();
    void previousEvent();
    void togglePause();
    void setRate(double rate);
    void stepFrame();
    std::int64_t position() const;
    TSegmentPlayer& player() const { return *player_; }

    // Export of [from, to) of the shown camera: asks for the file, then runs.
    void exportSpan(std::int64_t from, std::int64_t to);
    void cancelExport();
    // The picture shown saved into the camera's snapshot folder; the file's name, or empty.
    QString saveStill();

    // Controls, for tests.
    QComboBox* cbCamera() const { return cbCamera_; }
    QCalendarWidget* calendar() const { return calendar_; }
    QListWidget* lvEvents() const { return lvEvents_; }
    TimelineWidget* timeline() const { return timeline_; }
    TVideoWindow* video() const { return video_; }
    QLabel* lblTime() const { return lblTime_; }
    QLabel* lblStatus() const { return lblStatus_; }
    QProgressBar* progress() const { return progress_; }
    const std::set<int>& boldDays() const { return boldDays_; }

signals:
    void dayShown();
    void daysMarked();
    void exportFinished(bool ok, const QString& text);

private:
    void build();
    void fillCameras();
    void load(bool keepPlaying);
    void dayLoaded(std::uint64_t generation, RecordingDay day, const std::string& error,
                   bool keepPlaying);
    void markDays();
    void applyPlayerSources();
    void tick();
    void showEvents();
    void playerEnded();
    // Playback that reached the end of what was there goes on once more is there: a newer file,
    // or the file being written grown.
    void continuePlaying();
    void fileDamaged(const std::string& file);
    void exportDone(bool ok, bool cancelled, const QString& error, const QString& target);
    void setStatus(const QString& text);
    RecordingsCamera cameraInfo() const;
    // Posts `work` to the index's thread; `done` runs on the GUI thread with its result while
    // the window lives.
    template <class Result>
    void ask(std::function<Result(RecordingIndex&)> work, std::function<void(Result)> done);

    RecordingsContext context_;
    int camera_ = 1;
    QDate day_;
    std::uint64_t generation_ = 0;
    std::uint64_t daysGeneration_ = 0;
    RecordingDay shown_;
    std::vector<ExportSource> playing_;
    std::set<std::string> damagedReported_;
    std::set<int> boldDays_;
    std::int64_t endedAt_ = 0;    // where playback ran out; 0: it did not
    std::int64_t resumedAt_ = 0;  // where it last went on from there
    std::int64_t resumedEnd_ = 0; // how far the day's recordings reached then

    QComboBox* cbCamera_ = nullptr;
    QCalendarWidget* calendar_ = nullptr;
    QListWidget* lvEvents_ = nullptr;
    TimelineWidget* timeline_ = nullptr;
    TVideoWindow* video_ = nullptr;
    QPushButton* btnPlay_ = nullptr;
    QComboBox* cbSpeed_ = nullptr;
    QPushButton* btnStep_ = nullptr;
    QPushButton* btnPrevEvent_ = nullptr;
    QPushButton* btnNextEvent_ = nullptr;
    QPushButton* btnStill_ = nullptr;
    QPushButton* btnExport_ = nullptr;
    QPushButton* btnCancelExport_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* lblTime_ = nullptr;
    QLabel* lblStatus_ = nullptr;
    QTimer* tick_ = nullptr;
    QTimer* refresh_ = nullptr;

    std::unique_ptr<TSegmentPlayer> player_;
    std::unique_ptr<TExporter> exporter_;
};

} // namespace norvale
