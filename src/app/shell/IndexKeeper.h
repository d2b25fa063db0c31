#pragma once
// Keeps norvale.db, the index of recordings and motion events, in step with the cameras while the
// program runs. Every write runs on the index's own thread: the GUI thread only posts, and the
// streaming threads never touch it.
//
// At start the index is brought in line with the cameras' folders (recording files added by the
// naming rule, rows of files that are gone dropped). A missing or damaged index is rebuilt from
// the files and said once through `report`; it never keeps the program from starting.
#include "storage/RecordingScan.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace norvale {

class CameraChannel;
class IndexService;
struct MotionEventRecord;

class IndexKeeper : public QObject {
    Q_OBJECT
public:
    // The cameras and their folders, read on the GUI thread when the index is reconciled.
    using CameraSource = std::function<std::vector<ScannedCamera>()>;

    IndexKeeper(std::string databasePath, CameraSource cameras, QObject* parent = nullptr);
    // Finishes every write posted so far.
    ~IndexKeeper() override;

    // Opens the index and reconciles it with the folders, on the index's thread.
    void start();
    // Adds the channel's finished recording files and motion events as camera `camera`.
    void watch(int camera, CameraChannel& channel);

    void addRecording(int camera, const std::string& file, qint64 startMs, qint64 endMs,
                      qint64 bytes);
    void addEvent(const MotionEventRecord& event);
    // Files deleted (retention): their rows go, and so does any other row whose file is gone.
    void filesRemoved(const QStringList& paths);

    // Waits until every write posted so far has run (tests, shutdown).
    void flush();
    IndexService& service() { return *service_; }

signals:
    // Something the user may want to know (the index rebuilt, a write failed), once per cause;
    // emitted on the GUI thread.
    void report(const QString& text);

private:
    void reportLater(std::function<QString()> text);

    std::string path_;
    CameraSource cameras_;
    bool existedAtStart_ = false;
    std::unique_ptr<IndexService> service_;
};

} // namespace norvale
