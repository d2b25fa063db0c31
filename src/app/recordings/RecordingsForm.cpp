#include "app/recordings/RecordingsForm.h"

#include "app/camera/VideoWindow.h"
#include "app/recordings/TimelineWidget.h"
#include "app/shell/DesktopServices.h"
#include "app/shell/Translator.h"
#include "capture/SegmentPlayer.h"
#include "core/Clock.h"
#include "core/FileNaming.h"
#include "core/Timeline.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCharFormat>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <ctime>

namespace norvale {

namespace {

// How often the playing time is shown, and how often today's view takes in what was recorded
// since.
constexpr int TickMs = 200;
constexpr int RefreshMs = 10000;
// A file found on disk whose last change is this recent is still being written: its end is
// where it has got to, not damage.
constexpr std::int64_t BeingWrittenMs = 120000;
// "Previous event" goes to the one before the event that has played this long.
constexpr std::int64_t PreviousSlackMs = 3000;
// A file being written that has grown by this much past where playback ran out is played on.
constexpr std::int64_t GrownMs = 2000;
constexpr QSize ThumbnailSize(96, 72);

std::int64_t nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

QString timeOfDay(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QString::fromLatin1("HH:mm:ss"));
}

QString duration(std::int64_t ms) {
    const std::int64_t s = std::max<std::int64_t>(0, (ms + 500) / 1000);
    if (s >= 3600)
        return QString::asprintf("%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                                 static_cast<long long>(s / 60 % 60),
                                 static_cast<long long>(s % 60));
    return QString::asprintf("%lld:%02lld", static_cast<long long>(s / 60),
                             static_cast<long long>(s % 60));
}

// Rates as the speed chooser shows them.
QString rateText(double rate) {
    return rate < 1 ? QString::fromUtf8("\u00bd\u00d7") : QString::number(rate) + QChar(0xd7);
}

// The camera's folder as the window looks into it: the file being written is shown too, as far
// as it has got.
ScannedCamera scannedOf(const RecordingsCamera& cam) {
    return {cam.number, cam.name.toStdString(), cam.saveFolder.toStdString(), {}};
}

std::tm localOf(std::int64_t ms) {
    const auto seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return tm;
}

} // namespace

template <class Result>
void TRecordingsForm::ask(std::function<Result(RecordingIndex&)> work,
                          std::function<void(Result)> done) {
    QPointer<TRecordingsForm> self(this);
    context_.index->post([self, work = std::move(work), done = std::move(done)](RecordingIndex& i) {
        auto result = std::make_shared<Result>(work(i));
        // qApp outlives the window; the answer is dropped when the window is gone by then.
        QMetaObject::invokeMethod(
            qApp,
            [self, done, result] {
                if (self)
                    done(std::move(*result));
            },
            Qt::QueuedConnection);
    });
}

TRecordingsForm::TRecordingsForm(RecordingsContext context, int camera, QWidget* parent)
    : QWidget(parent, Qt::Window), context_(std::move(context)),
      camera_(std::clamp(camera, 1, 36)) {
    setObjectName(QStringLiteral("RecordingsForm"));
    setWindowTitle(QStringLiteral("Recordings"));
    setAttribute(Qt::WA_DeleteOnClose);

    TSegmentPlayer::Callbacks callbacks;
    callbacks.ended = [this] {
        QMetaObject::invokeMethod(
            this, [this] { playerEnded(); }, Qt::QueuedConnection);
    };
    callbacks.damaged = [this](const std::string& file) {
        QMetaObject::invokeMethod(
            this, [this, file] { fileDamaged(file); }, Qt::QueuedConnection);
    };
    player_ = std::make_unique<TSegmentPlayer>(std::move(callbacks));
    exporter_ = std::make_unique<TExporter>();

    build();
    Translator::translateComponent(this);
    fillCameras();

    const std::tm today = context_.desktop->clock().localTime();
    showDay(camera_, QDate(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday));
}

TRecordingsForm::~TRecordingsForm() {
    // The threads that call back into the window end first.
    exporter_->cancel();
    exporter_->wait();
    video_->SetFrameSource(nullptr);
    player_.reset();
}

void TRecordingsForm::build() {
    cbCamera_ = new QComboBox(this);
    cbCamera_->setObjectName(QStringLiteral("cbCamera"));
    calendar_ = new QCalendarWidget(this);
    calendar_->setObjectName(QStringLiteral("calendar"));
    calendar_->setGridVisible(false);
    lvEvents_ = new QListWidget(this);
    lvEvents_->setObjectName(QStringLiteral("lvEvents"));
    lvEvents_->setIconSize(ThumbnailSize);
    lvEvents_->setUniformItemSizes(true);
    video_ = new TVideoWindow(this);
    video_->setObjectName(QStringLiteral("VideoWindow"));
    video_->setMinimumSize(352, 288);
    QPalette videoColours = video_->palette();
    videoColours.setColor(QPalette::WindowText, QColor(200, 200, 200)); // over black
    video_->setPalette(videoColours);
    video_->SetWaitingText(
        Translator::tr(QStringLiteral("Click the timeline or an event to play.")));
    video_->SetFrameSource(player_.get());
    timeline_ = new TimelineWidget(this);

    btnPlay_ = new QPushButton(QStringLiteral("Play"), this);
    btnPlay_->setObjectName(QStringLiteral("btnPlay"));
    cbSpeed_ = new QComboBox(this);
    cbSpeed_->setObjectName(QStringLiteral("cbSpeed"));
    for (double r : Rates)
        cbSpeed_->addItem(rateText(r), r);
    cbSpeed_->setCurrentIndex(1);
    cbSpeed_->setToolTip(QStringLiteral("Speed"));
    btnStep_ = new QPushButton(QStringLiteral("Next Frame"), this);
    btnStep_->setObjectName(QStringLiteral("btnStep"));
    btnPrevEvent_ = new QPushButton(QStringLiteral("Previous Event"), this);
    btnPrevEvent_->setObjectName(QStringLiteral("btnPrevEvent"));
    btnNextEvent_ = new QPushButton(QStringLiteral("Next Event"), this);
    btnNextEvent_->setObjectName(QStringLiteral("btnNextEvent"));
    lblTime_ = new QLabel(this);
    lblTime_->setObjectName(QStringLiteral("lblTime"));
    lblTime_->setMinimumWidth(150);
    btnStill_ = new QPushButton(QStringLiteral("Save Still"), this);
    btnStill_->setObjectName(QStringLiteral("btnStill"));
    btnExport_ = new QPushButton(QStringLiteral("Export..."), this);
    btnExport_->setObjectName(QStringLiteral("btnExport"));
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("progress"));
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->hide();
    btnCancelExport_ = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancelExport_->setObjectName(QStringLiteral("btnCancelExport"));
    btnCancelExport_->hide();
    lblStatus_ = new QLabel(this);
    lblStatus_->setObjectName(QStringLiteral("lblStatus"));
    lblStatus_->setWordWrap(true);

    auto* left = new QVBoxLayout;
    auto* cameraLabel = new QLabel(QStringLiteral("Camera:"), this);
    cameraLabel->setBuddy(cbCamera_);
    left->addWidget(cameraLabel);
    left->addWidget(cbCamera_);
    left->addWidget(calendar_);
    left->addWidget(new QLabel(QStringLiteral("Motion events:"), this));
    left->addWidget(lvEvents_, 1);

    auto* controls = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{btnPlay_, cbSpeed_, btnStep_, btnPrevEvent_,
                                                      btnNextEvent_, lblTime_})
        controls->addWidget(w);
    controls->addStretch(1);
    controls->addWidget(btnStill_);
    controls->addWidget(btnExport_);

    auto* exportRow = new QHBoxLayout;
    exportRow->addWidget(lblStatus_, 1);
    exportRow->addWidget(progress_);
    exportRow->addWidget(btnCancelExport_);

    auto* right = new QVBoxLayout;
    right->addWidget(video_, 1);
    right->addLayout(controls);
    right->addWidget(timeline_);
    right->addLayout(exportRow);

    auto* top = new QHBoxLayout(this);
    top->addLayout(left);
    top->addLayout(right, 1);
    resize(1000, 680);

    connect(cbCamera_, &QComboBox::activated, this,
            [this](int index) { showDay(cbCamera_->itemData(index).toInt(), day_); });
    connect(calendar_, &QCalendarWidget::clicked, this,
            [this](const QDate& date) { showDay(camera_, date); });
    connect(calendar_, &QCalendarWidget::activated, this,
            [this](const QDate& date) { showDay(camera_, date); });
    connect(calendar_, &QCalendarWidget::currentPageChanged, this, [this] { markDays(); });
    connect(lvEvents_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        const auto i = static_cast<std::size_t>(lvEvents_->row(item));
        if (i >= shown_.events.size())
            return;
        const EventRow& e = shown_.events[i];
        timeline_->setSelection(e.startMs, std::max(e.endMs, e.startMs + 1000));
        playFrom(e.startMs);
    });
    connect(timeline_, &TimelineWidget::timeClicked, this, [this](qint64 ms) { playFrom(ms); });
    connect(btnPlay_, &QPushButton::clicked, this, &TRecordingsForm::togglePause);
    connect(cbSpeed_, &QComboBox::activated, this,
            [this](int index) { setRate(cbSpeed_->itemData(index).toDouble()); });
    connect(btnStep_, &QPushButton::clicked, this, &TRecordingsForm::stepFrame);
    connect(btnPrevEvent_, &QPushButton::clicked, this, &TRecordingsForm::previousEvent);
    connect(btnNextEvent_, &QPushButton::clicked, this, &TRecordingsForm::nextEvent);
    connect(btnStill_, &QPushButton::clicked, this, [this] { saveStill(); });
    connect(btnExport_, &QPushButton::clicked, this, [this] {
        const auto [from, to] = timeline_->selection();
        exportSpan(from, to);
    });
    connect(btnCancelExport_, &QPushButton::clicked, this, &TRecordingsForm::cancelExport);

    tick_ = new QTimer(this);
    tick_->setInterval(TickMs);
    connect(tick_, &QTimer::timeout, this, &TRecordingsForm::tick);
    tick_->start();
    refresh_ = new QTimer(this);
    refresh_->setInterval(RefreshMs);
    connect(refresh_, &QTimer::timeout, this, [this] {
        const std::tm today = context_.desktop->clock().localTime();
        if (day_ == QDate(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday))
            refresh();
    });
    refresh_->start();
}

void TRecordingsForm::fillCameras() {
    cbCamera_->clear();
    if (!context_.cameras)
        return;
    for (const RecordingsCamera& cam : context_.cameras())
        cbCamera_->addItem(QString::fromLatin1("%1 - %2").arg(cam.number).arg(cam.name.trimmed()),
                           cam.number);
}

RecordingsCamera TRecordingsForm::cameraInfo() const {
    if (context_.cameras)
        for (const RecordingsCamera& cam : context_.cameras())
            if (cam.number == camera_)
                return cam;
    return {camera_, {}, {}, {}};
}

void TRecordingsForm::showDay(int camera, const QDate& day) {
    const bool cameraChanged = camera != camera_;
    const bool monthChanged = day.year() != day_.year() || day.month() != day_.month();
    camera_ = std::clamp(camera, 1, 36);
    day_ = day;
    const int item = cbCamera_->findData(camera_);
    if (item >= 0)
        cbCamera_->setCurrentIndex(item);
    if (calendar_->selectedDate() != day)
        calendar_->setSelectedDate(day);
    player_->stop();
    // Black until something of this day plays: the last picture was of another day.
    video_->SetFrameSource(nullptr);
    endedAt_ = 0;
    playing_.clear();
    damagedReported_.clear();
    timeline_->setPosition(0);
    lblTime_->clear();
    setStatus({});
    const auto [start, end] = localDay(day.year(), day.month(), day.day());
    timeline_->setDay(start, end);
    load(false);
    if (cameraChanged || monthChanged || boldDays_.empty())
        markDays();
}

void TRecordingsForm::refresh() {
    load(true);
}

void TRecordingsForm::load(bool keepPlaying) {
    const std::uint64_t generation = ++generation_;
    const auto [start, end] = localDay(day_.year(), day_.month(), day_.day());
    const RecordingsCamera cam = cameraInfo();
    const ScannedCamera scanned = scannedOf(cam);
    struct Answer {
        RecordingDay day;
        std::string error;
    };
    ask<Answer>(
        [scanned, start = start, end = end](RecordingIndex& index) {
            Answer a;
            try {
                a.day = loadRecordingDay(index, scanned, start, end);
            } catch (const std::exception& e) {
                a.error = e.what();
            }
            return a;
        },
        [this, generation, keepPlaying](Answer a) {
            dayLoaded(generation, std::move(a.day), a.error, keepPlaying);
        });
}

void TRecordingsForm::dayLoaded(std::uint64_t generation, RecordingDay day,
                                const std::string& error, bool keepPlaying) {
    if (generation != generation_)
        return; // another day was asked for since
    if (!error.empty()) {
        setStatus(Translator::tr(QStringLiteral("The index of recordings cannot be read: %1"))
                      .arg(QString::fromStdString(error)));
        emit dayShown();
        return;
    }
    shown_ = std::move(day);
    TimelineWidget::Spans recorded, events;
    for (const RecordingRow& r : shown_.recordings)
        recorded.emplace_back(r.startMs, std::max(r.endMs, r.startMs + 1));
    for (const EventRow& e : shown_.events)
        events.emplace_back(e.startMs, std::max(e.endMs, e.startMs + 1));
    timeline_->setSpans(std::move(recorded), std::move(events));
    showEvents();
    if (!keepPlaying || player_->position() == 0 || !player_->Connected())
        applyPlayerSources();
    if (shown_.recordings.empty() && !keepPlaying)
        setStatus(Translator::tr(QStringLiteral("No recordings on this day.")));
    continuePlaying();
    emit dayShown();
}

void TRecordingsForm::showEvents() {
    const int current = lvEvents_->currentRow();
    lvEvents_->clear();
    for (const EventRow& e : shown_.events) {
        auto* item =
            new QListWidgetItem(QString::fromLatin1("%1  (%2)")
                                    .arg(timeOfDay(e.startMs), duration(e.endMs - e.startMs)),
                                lvEvents_);
        QImage thumb;
        if (!e.thumbnail.empty() &&
            thumb.loadFromData(e.thumbnail.data(), static_cast<int>(e.thumbnail.size()), "JPEG"))
            item->setIcon(QIcon(QPixmap::fromImage(
                thumb.scaled(ThumbnailSize, Qt::KeepAspectRatio, Qt::SmoothTransformation))));
    }
    if (current >= 0 && current < lvEvents_->count())
        lvEvents_->setCurrentRow(current);
}

void TRecordingsForm::applyPlayerSources() {
    std::vector<ExportSource> sources;
    for (const RecordingRow& r : shown_.recordings)
        sources.push_back({r.file, r.startMs});
    if (sources.size() == playing_.size() &&
        std::equal(sources.begin(), sources.end(), playing_.begin(),
                   [](const ExportSource& a, const ExportSource& b) {
                       return a.file == b.file && a.startMs == b.startMs;
                   }))
        return;
    playing_ = sources;
    player_->setSources(std::move(sources));
}

void TRecordingsForm::markDays() {
    const std::uint64_t generation = ++daysGeneration_;
    const int year = calendar_->yearShown(), month = calendar_->monthShown();
    std::vector<std::pair<std::int64_t, std::int64_t>> days;
    for (int d = 1; d <= QDate(year, month, 1).daysInMonth(); ++d)
        days.push_back(localDay(year, month, d));
    const RecordingsCamera cam = cameraInfo();
    const ScannedCamera scanned = scannedOf(cam);
    ask<std::set<int>>(
        [scanned, days](RecordingIndex& index) {
            try {
                return daysWithRecordings(index, scanned, days);
            } catch (const std::exception&) {
                return std::set<int>{}; // the day's own query says what is wrong
            }
        },
        [this, generation, year, month](std::set<int> found) {
            if (generation != daysGeneration_)
                return;
            calendar_->setDateTextFormat(QDate(), QTextCharFormat());
            QTextCharFormat bold;
            bold.setFontWeight(QFont::Bold);
            for (int d : found)
                calendar_->setDateTextFormat(QDate(d / 10000, d / 100 % 100, d % 100), bold);
            boldDays_ = std::move(found);
            (void)year, (void)month;
            emit daysMarked();
        });
}

void TRecordingsForm::tick() {
    const std::int64_t pos = player_->position();
    if (pos <= 0 || !video_->FrameSource())
        return;
    timeline_->setPosition(pos);
    lblTime_->setText(
        QDateTime::fromMSecsSinceEpoch(pos).toString(QString::fromLatin1("yyyy-MM-dd  HH:mm:ss")));
    btnPlay_->setText(Translator::tr(player_->paused() || !player_->Connected()
                                         ? QStringLiteral("Play")
                                         : QStringLiteral("Pause")));
}

std::int64_t TRecordingsForm::position() const {
    return player_->position();
}

void TRecordingsForm::playFrom(std::int64_t ms) {
    endedAt_ = 0;
    applyPlayerSources();
    if (playing_.empty())
        return;
    if (!video_->FrameSource())
        video_->SetFrameSource(player_.get());
    player_->playFrom(ms);
    timeline_->setPosition(ms);
    btnPlay_->setText(
        Translator::tr(player_->paused() ? QStringLiteral("Play") : QStringLiteral("Pause")));
}

void TRecordingsForm::togglePause() {
    if (!player_->Connected()) {
        // Nothing plays: from the selection, else from where it stood, else the day's start.
        const auto [from, to] = timeline_->selection();
        std::int64_t at = to > from ? from : player_->position();
        if (at <= 0 && !shown_.recordings.empty())
            at = shown_.recordings.front().startMs;
        if (player_->paused())
            player_->resume();
        playFrom(at);
        return;
    }
    if (player_->paused())
        player_->resume();
    else
        player_->pause();
    btnPlay_->setText(
        Translator::tr(player_->paused() ? QStringLiteral("Play") : QStringLiteral("Pause")));
}

void TRecordingsForm::setRate(double rate) {
    player_->setRate(rate);
    for (int i = 0; i < cbSpeed_->count(); ++i)
        if (cbSpeed_->itemData(i).toDouble() == rate)
            cbSpeed_->setCurrentIndex(i);
}

void TRecordingsForm::stepFrame() {
    if (!player_->paused()) {
        player_->pause();
        btnPlay_->setText(Translator::tr(QStringLiteral("Play")));
        return; // the picture stops where it is; the next press steps
    }
    player_->stepFrame();
}

void TRecordingsForm::nextEvent() {
    const std::int64_t pos = player_->position() > 0 ? player_->position() : shown_.dayStart;
    for (std::size_t i = 0; i < shown_.events.size(); ++i)
        if (shown_.events[i].startMs > pos + 500) {
            lvEvents_->setCurrentRow(static_cast<int>(i));
            const EventRow& e = shown_.events[i];
            timeline_->setSelection(e.startMs, std::max(e.endMs, e.startMs + 1000));
            playFrom(e.startMs);
            return;
        }
}

void TRecordingsForm::previousEvent() {
    const std::int64_t pos = player_->position() > 0 ? player_->position() : shown_.dayEnd;
    for (std::size_t i = shown_.events.size(); i-- > 0;)
        if (shown_.events[i].startMs < pos - PreviousSlackMs) {
            lvEvents_->setCurrentRow(static_cast<int>(i));
            const EventRow& e = shown_.events[i];
            timeline_->setSelection(e.startMs, std::max(e.endMs, e.startMs + 1000));
            playFrom(e.startMs);
            return;
        }
}

void TRecordingsForm::playerEnded() {
    btnPlay_->setText(Translator::tr(QStringLiteral("Play")));
    endedAt_ = player_->position();
    continuePlaying();
}

void TRecordingsForm::continuePlaying() {
    if (endedAt_ <= 0 || player_->Connected() || shown_.recordings.empty())
        return;
    const std::int64_t at = endedAt_;
    applyPlayerSources();
    const std::int64_t end = shown_.recordings.back().endMs;
    const bool newerFile = !playing_.empty() && playing_.back().startMs > at;
    const bool grown = end > at + GrownMs;
    // Ran out again where it went on last time, with nothing grown since: what follows cannot be
    // played (yet); tried again once more is there.
    const bool changed = at > resumedAt_ + 1000 || end > resumedEnd_ + GrownMs;
    if ((!newerFile && !grown) || !changed)
        return;
    endedAt_ = 0;
    resumedAt_ = at;
    resumedEnd_ = end;
    player_->playFrom(at + 1);
}

void TRecordingsForm::fileDamaged(const std::string& file) {
    for (const RecordingRow& r : shown_.recordings)
        if (r.file == file && !r.complete && nowMs() - r.endMs < BeingWrittenMs)
            return; // still being written: it ends where the recorder has got to
    if (!damagedReported_.insert(file).second)
        return;
    setStatus(Translator::tr(QStringLiteral("%1 is damaged: it plays as far as it can."))
                  .arg(QFileInfo(QString::fromStdString(file)).fileName()));
}

void TRecordingsForm::setStatus(const QString& text) {
    lblStatus_->setText(text);
}

void TRecordingsForm::exportSpan(std::int64_t from, std::int64_t to) {
    IMessageBox& boxes = context_.desktop->messages();
    const QString caption = Translator::tr(QStringLiteral("Export"));
    if (exporter_->running())
        return;
    if (to <= from) {
        boxes.show(
            {this,
             Translator::tr(QStringLiteral("Select a span on the timeline, or an event, first.")),
             caption, MessageIcon::Information, MessageButtons::Ok});
        return;
    }
    std::vector<ExportSource> sources;
    for (const RecordingRow& r : shown_.recordings)
        if (r.startMs < to && r.endMs > from)
            sources.push_back({r.file, r.startMs});
    if (sources.empty()) {
        boxes.show({this, Translator::tr(QStringLiteral("Nothing was recorded in this span.")),
                    caption, MessageIcon::Information, MessageButtons::Ok});
        return;
    }
    const RecordingsCamera cam = cameraInfo();
    const QString suggested = QDir::homePath() + QLatin1Char('/') +
                              QString::fromStdString(timestampedFileName("", cam.name.toStdString(),
                                                                         localOf(from), ".wmv"));
    QString filters = Translator::tr(QStringLiteral("Windows Media video (*.wmv)"));
    const bool mp4 = TExporter::mp4Available();
    if (mp4)
        filters += QString::fromLatin1(";;") +
                   Translator::tr(QStringLiteral("MP4 video for phones and browsers (*.mp4)"));
    QString target = context_.desktop->saveFileName(this, caption, suggested, filters);
    if (target.isEmpty())
        return;
    TExporter::Format format = TExporter::Format::Wmv;
    const QString suffix = QFileInfo(target).suffix().toLower();
    if (suffix == QStringLiteral("mp4")) {
        if (!mp4) {
            boxes.show({this,
                        Translator::tr(QStringLiteral("No H.264 encoder is installed "
                                                      "(x264enc or openh264enc).")),
                        caption, MessageIcon::Error, MessageButtons::Ok});
            return;
        }
        format = TExporter::Format::Mp4;
    } else if (suffix != QStringLiteral("wmv")) {
        target += QStringLiteral(".wmv");
    }
    progress_->setValue(0);
    progress_->show();
    btnCancelExport_->show();
    btnExport_->setEnabled(false);
    setStatus(Translator::tr(QStringLiteral("Exporting to %1...")).arg(target));
    const bool started = exporter_->start(
        std::move(sources), from, to, target.toStdString(), format,
        [this](double fraction) {
            QMetaObject::invokeMethod(
                this, [this, fraction] { progress_->setValue(int(fraction * 1000)); },
                Qt::QueuedConnection);
        },
        [this, target](const TExporter::Result& r) {
            QMetaObject::invokeMethod(
                this,
                [this, ok = r.ok, cancelled = r.cancelled, error = QString::fromStdString(r.error),
                 target] { exportDone(ok, cancelled, error, target); },
                Qt::QueuedConnection);
        });
    if (!started)
        exportDone(false, false, Translator::tr(QStringLiteral("An export is still running.")),
                   target);
}

void TRecordingsForm::cancelExport() {
    exporter_->cancel();
}

void TRecordingsForm::exportDone(bool ok, bool cancelled, const QString& error,
                                 const QString& target) {
    progress_->hide();
    btnCancelExport_->hide();
    btnExport_->setEnabled(true);
    QString text;
    if (ok)
        text = Translator::tr(QStringLiteral("Exported to %1.")).arg(target);
    else if (cancelled)
        text = Translator::tr(QStringLiteral("Export cancelled; no file was written."));
    else
        text = Translator::tr(QStringLiteral("The export failed: %1")).arg(error);
    setStatus(text);
    if (!ok && !cancelled)
        context_.desktop->messages().show({this, text, Translator::tr(QStringLiteral("Export")),
                                           MessageIcon::Error, MessageButtons::Ok});
    emit exportFinished(ok, text);
}

QString TRecordingsForm::saveStill() {
    const auto frame =
        video_->FrameSource() ? player_->LatestFrame() : std::shared_ptr<const TVideoFrame>();
    const std::int64_t at = player_->position();
    IMessageBox& boxes = context_.desktop->messages();
    const QString caption = Translator::tr(QStringLiteral("Save Still"));
    if (!frame || at <= 0) {
        boxes.show({this, Translator::tr(QStringLiteral("There is no picture to save.")), caption,
                    MessageIcon::Information, MessageButtons::Ok});
        return {};
    }
    const QImage picture =
        QImage(frame->Data(), frame->Width(), frame->Height(), frame->Stride(),
               frame->Format() == TVideoFrame::PixelFormat::Bgrx32 ? QImage::Format_RGB32
                                                                   : QImage::Format_BGR888)
            .convertToFormat(QImage::Format_RGB888); // a 24-bit bitmap, as snapshots are
    const RecordingsCamera cam = cameraInfo();
    try {
        // Named by the moment the picture shows, so the name tells when it was taken.
        FileNameClaim claim =
            claimTimestampedFileName(folderWithSeparator(cam.snapshotFolder.toStdString()),
                                     cam.name.toStdString(), localOf(at), ".bmp");
        const QString path = QString::fromStdString(claim.path());
        if (!picture.save(path, "BMP"))
            throw std::runtime_error(
                Translator::tr(QStringLiteral("%1 cannot be written.")).arg(path).toStdString());
        setStatus(Translator::tr(QStringLiteral("Saved %1.")).arg(path));
        return path;
    } catch (const std::exception& e) {
        boxes.show({this, QString::fromStdString(e.what()), caption, MessageIcon::Error,
                    MessageButtons::Ok});
        return {};
    }
}

} // namespace norvale
