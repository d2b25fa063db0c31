#pragma once
// The index of recordings and motion events: `norvale.db` next to setup.ini.
//
// The index is a cache of the recording files, not their master: rows can always be rebuilt
// from the files by their names. A damaged database is moved aside and made anew, never a
// reason not to start. WAL journal: the recorder writes while the recordings window reads, and
// a process killed mid-write loses at most the change in progress.
#include "Database.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace norvale {

struct RecordingRow {
    std::int64_t id = 0;
    int camera = 0;
    std::string file;
    std::int64_t startMs = 0;
    std::int64_t endMs = 0; // while being written: as far as it is known
    std::int64_t bytes = 0;
    bool complete = false;
};

struct EventRow {
    std::int64_t id = 0;
    int camera = 0;
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
    double peak = 0.0;
    std::string file;                    // the recording that holds it; empty: none
    std::vector<std::uint8_t> thumbnail; // JPEG; only when asked for
};

// A recording file found in a camera's folder by the naming rule.
struct FoundRecording {
    int camera = 0;
    std::string file;
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
    std::int64_t bytes = 0;
};

class RecordingIndex {
public:
    static constexpr int SchemaVersion = 1;

    // Opens `path`, creating it or bringing its schema forward. A damaged file is moved aside as
    // `path` + ".damaged" and a new index is made: rebuilt() then says why. Throws EDatabase
    // only when no index can be made at all (an unwritable folder).
    explicit RecordingIndex(const std::string& path);

    bool rebuilt() const { return !rebuildReason_.empty(); }
    const std::string& rebuildReason() const { return rebuildReason_; }

    // A recording file began; returns its row. The same file again keeps its row.
    std::int64_t recordingStarted(int camera, const std::string& file, std::int64_t startMs);
    // How far a file being written has come; `complete` once it is finished.
    void recordingUpdated(const std::string& file, std::int64_t endMs, std::int64_t bytes,
                          bool complete);
    // The file was deleted: its row goes; events that pointed into it keep their times.
    void recordingRemoved(const std::string& file);

    std::int64_t eventStarted(int camera, std::int64_t startMs, const std::string& file);
    void eventUpdated(std::int64_t id, std::int64_t endMs, double peak,
                      const std::vector<std::uint8_t>* thumbnail = nullptr);

    // Rows that overlap [fromMs, toMs), in order of start.
    std::vector<RecordingRow> recordings(int camera, std::int64_t fromMs, std::int64_t toMs);
    std::vector<EventRow> events(int camera, std::int64_t fromMs, std::int64_t toMs,
                                 bool withThumbnails = false);
    std::optional<std::vector<std::uint8_t>> thumbnail(std::int64_t eventId);
    bool hasRecordings(int camera, std::int64_t fromMs, std::int64_t toMs);

    // Brings the index in line with the files: adds the ones it does not know and drops rows
    // whose files are gone (`exists` asks; files being written are in `onDisk` too).
    struct Reconciled {
        int added = 0;
        int dropped = 0;
    };
    Reconciled reconcile(const std::vector<FoundRecording>& onDisk,
                         const std::function<bool(const std::string&)>& exists);

    Database& database() { return *db_; }

private:
    void open(const std::string& path);
    void migrate();

    std::unique_ptr<Database> db_;
    std::string rebuildReason_;
};

// Runs the index's writes on a thread of its own, so neither the GUI thread nor a streaming
// thread ever waits on the disk. Tasks run in the order posted; a failure is reported through
// `onError` (once per distinct text in a row) and the next task still runs.
class IndexService {
public:
    using Task = std::function<void(RecordingIndex&)>;

    // `onOpened` runs on the worker once the index is open (rebuilt or not); `onError` on the
    // worker for failures. Both may be empty.
    IndexService(std::string path, std::function<void(RecordingIndex&)> onOpened,
                 std::function<void(const std::string&)> onError);
    ~IndexService();
    IndexService(const IndexService&) = delete;
    IndexService& operator=(const IndexService&) = delete;

    void post(Task task);
    // Waits until every task posted so far has run.
    void flush();

private:
    void run();

    std::string path_;
    std::function<void(RecordingIndex&)> onOpened_;
    std::function<void(const std::string&)> onError_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Task> tasks_;
    bool busy_ = false;
    bool stopping_ = false;
    std::string lastError_;
    std::thread worker_;
};

} // namespace norvale
