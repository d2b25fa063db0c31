#include "RecordingIndex.h"

#include <cstdio>
#include <set>
#include <unistd.h>

namespace norvale {

namespace {

// Each step brings the schema from its position to the next version; never edit a step that
// has shipped, add one.
const char* const Migrations[] = {
    R"sql(
    CREATE TABLE recordings(
        id INTEGER PRIMARY KEY,
        camera INTEGER NOT NULL,
        file TEXT NOT NULL UNIQUE,
        start_ms INTEGER NOT NULL,
        end_ms INTEGER NOT NULL,
        bytes INTEGER NOT NULL DEFAULT 0,
        complete INTEGER NOT NULL DEFAULT 0);
    CREATE INDEX recordings_by_camera_start ON recordings(camera, start_ms);
    CREATE TABLE events(
        id INTEGER PRIMARY KEY,
        camera INTEGER NOT NULL,
        start_ms INTEGER NOT NULL,
        end_ms INTEGER NOT NULL,
        peak REAL NOT NULL DEFAULT 0,
        file TEXT,
        thumbnail BLOB);
    CREATE INDEX events_by_camera_start ON events(camera, start_ms);
    )sql",
};
static_assert(std::size(Migrations) == RecordingIndex::SchemaVersion);

// Longest span a row may have: lets the overlap queries use the start index with a bounded
// range instead of reading every earlier row.
constexpr std::int64_t LongestSpanMs = 7LL * 24 * 3600 * 1000;

} // namespace

RecordingIndex::RecordingIndex(const std::string& path) {
    try {
        open(path);
    } catch (const EDatabase& e) {
        if (!e.corrupt())
            throw;
        db_.reset();
        // Keep the damaged file for whoever wants to look at it; the index is only a cache.
        std::rename(path.c_str(), (path + ".damaged").c_str());
        ::unlink((path + "-wal").c_str());
        ::unlink((path + "-shm").c_str());
        rebuildReason_ = e.what();
        open(path);
    }
}

void RecordingIndex::open(const std::string& path) {
    db_ = std::make_unique<Database>(path);
    db_->exec("PRAGMA journal_mode=WAL");
    db_->exec("PRAGMA synchronous=NORMAL");
    auto check = db_->prepare("PRAGMA quick_check");
    if (!check.step() || check.text(0) != "ok")
        throw EDatabase("the index failed its check", 11 /* SQLITE_CORRUPT */);
    migrate();
}

void RecordingIndex::migrate() {
    auto read = db_->prepare("PRAGMA user_version");
    read.step();
    const auto version = read.int64(0);
    if (version > SchemaVersion)
        throw EDatabase("the index was made by a newer version (schema " + std::to_string(version) +
                            ")",
                        26 /* SQLITE_NOTADB: treated as damaged, rebuilt from the files */);
    for (auto v = version; v < SchemaVersion; ++v) {
        Transaction t(*db_);
        db_->exec(Migrations[v]);
        db_->exec("PRAGMA user_version=" + std::to_string(v + 1));
        t.commit();
    }
}

std::int64_t RecordingIndex::recordingStarted(int camera, const std::string& file,
                                              std::int64_t startMs) {
    auto insert = db_->prepare(
        "INSERT INTO recordings(camera, file, start_ms, end_ms) VALUES(?, ?, ?, ?) "
        "ON CONFLICT(file) DO UPDATE SET camera=excluded.camera, start_ms=excluded.start_ms, "
        "end_ms=excluded.end_ms, complete=0 RETURNING id");
    insert.bind(1, static_cast<std::int64_t>(camera))
        .bind(2, file)
        .bind(3, startMs)
        .bind(4, startMs);
    insert.step();
    return insert.int64(0);
}

void RecordingIndex::recordingUpdated(const std::string& file, std::int64_t endMs,
                                      std::int64_t bytes, bool complete) {
    db_->prepare("UPDATE recordings SET end_ms=?, bytes=?, complete=? WHERE file=?")
        .bind(1, endMs)
        .bind(2, bytes)
        .bind(3, static_cast<std::int64_t>(complete))
        .bind(4, file)
        .run();
}

void RecordingIndex::recordingRemoved(const std::string& file) {
    Transaction t(*db_);
    db_->prepare("DELETE FROM recordings WHERE file=?").bind(1, file).run();
    db_->prepare("UPDATE events SET file=NULL WHERE file=?").bind(1, file).run();
    t.commit();
}

std::int64_t RecordingIndex::eventStarted(int camera, std::int64_t startMs,
                                          const std::string& file) {
    auto insert =
        db_->prepare("INSERT INTO events(camera, start_ms, end_ms, file) VALUES(?,?,?,?)");
    insert.bind(1, static_cast<std::int64_t>(camera)).bind(2, startMs).bind(3, startMs);
    if (file.empty())
        insert.bindNull(4);
    else
        insert.bind(4, file);
    insert.run();
    return db_->lastInsertId();
}

void RecordingIndex::eventUpdated(std::int64_t id, std::int64_t endMs, double peak,
                                  const std::vector<std::uint8_t>* thumbnail) {
    if (thumbnail) {
        db_->prepare("UPDATE events SET end_ms=?, peak=?, thumbnail=? WHERE id=?")
            .bind(1, endMs)
            .bind(2, peak)
            .bindBlob(3, *thumbnail)
            .bind(4, id)
            .run();
    } else {
        db_->prepare("UPDATE events SET end_ms=?, peak=? WHERE id=?")
            .bind(1, endMs)
            .bind(2, peak)
            .bind(3, id)
            .run();
    }
}

std::vector<RecordingRow> RecordingIndex::recordings(int camera, std::int64_t fromMs,
                                                     std::int64_t toMs) {
    auto q = db_->prepare("SELECT id, file, start_ms, end_ms, bytes, complete FROM recordings "
                          "WHERE camera=? AND start_ms>=? AND start_ms<? AND end_ms>=? "
                          "ORDER BY start_ms");
    q.bind(1, static_cast<std::int64_t>(camera)).bind(2, fromMs - LongestSpanMs).bind(3, toMs);
    q.bind(4, fromMs);
    std::vector<RecordingRow> rows;
    while (q.step()) {
        RecordingRow r;
        r.id = q.int64(0);
        r.camera = camera;
        r.file = q.text(1);
        r.startMs = q.int64(2);
        r.endMs = q.int64(3);
        r.bytes = q.int64(4);
        r.complete = q.int64(5) != 0;
        if (r.endMs > fromMs || r.startMs >= fromMs)
            rows.push_back(std::move(r));
    }
    return rows;
}

std::vector<EventRow> RecordingIndex::events(int camera, std::int64_t fromMs, std::int64_t toMs,
                                             bool withThumbnails) {
    auto q = db_->prepare(withThumbnails
                              ? "SELECT id, start_ms, end_ms, peak, file, thumbnail FROM events "
                                "WHERE camera=? AND start_ms>=? AND start_ms<? AND end_ms>=? "
                                "ORDER BY start_ms"
                              : "SELECT id, start_ms, end_ms, peak, file FROM events "
                                "WHERE camera=? AND start_ms>=? AND start_ms<? AND end_ms>=? "
                                "ORDER BY start_ms");
    q.bind(1, static_cast<std::int64_t>(camera)).bind(2, fromMs - LongestSpanMs).bind(3, toMs);
    q.bind(4, fromMs);
    std::vector<EventRow> rows;
    while (q.step()) {
        EventRow e;
        e.id = q.int64(0);
        e.camera = camera;
        e.startMs = q.int64(1);
        e.endMs = q.int64(2);
        e.peak = q.real(3);
        e.file = q.text(4);
        if (withThumbnails)
            e.thumbnail = q.blob(5);
        rows.push_back(std::move(e));
    }
    return rows;
}

std::optional<std::vector<std::uint8_t>> RecordingIndex::thumbnail(std::int64_t eventId) {
    auto q = db_->prepare("SELECT thumbnail FROM events WHERE id=?");
    q.bind(1, eventId);
    if (!q.step() || q.isNull(0))
        return std::nullopt;
    return q.blob(0);
}

bool RecordingIndex::hasRecordings(int camera, std::int64_t fromMs, std::int64_t toMs) {
    auto q = db_->prepare("SELECT 1 FROM recordings WHERE camera=? AND start_ms>=? AND "
                          "start_ms<? AND end_ms>=? LIMIT 1");
    q.bind(1, static_cast<std::int64_t>(camera)).bind(2, fromMs - LongestSpanMs).bind(3, toMs);
    q.bind(4, fromMs);
    return q.step();
}

RecordingIndex::Reconciled
RecordingIndex::reconcile(const std::vector<FoundRecording>& onDisk,
                          const std::function<bool(const std::string&)>& exists) {
    Reconciled result;
    Transaction t(*db_);
    std::set<std::string> known;
    {
        std::vector<std::string> gone;
        auto all = db_->prepare("SELECT file FROM recordings");
        while (all.step()) {
            auto file = all.text(0);
            if (exists(file))
                known.insert(std::move(file));
            else
                gone.push_back(std::move(file));
        }
        auto drop = db_->prepare("DELETE FROM recordings WHERE file=?");
        auto unlinkEvents = db_->prepare("UPDATE events SET file=NULL WHERE file=?");
        for (const auto& file : gone) {
            drop.bind(1, file).run();
            drop.reset();
            unlinkEvents.bind(1, file).run();
            unlinkEvents.reset();
            ++result.dropped;
        }
    }
    auto add = db_->prepare("INSERT INTO recordings(camera, file, start_ms, end_ms, bytes, "
                            "complete) VALUES(?,?,?,?,?,1)");
    for (const auto& found : onDisk) {
        if (known.count(found.file))
            continue;
        add.bind(1, static_cast<std::int64_t>(found.camera))
            .bind(2, found.file)
            .bind(3, found.startMs)
            .bind(4, std::max(found.startMs, found.endMs))
            .bind(5, found.bytes)
            .run();
        add.reset();
        known.insert(found.file);
        ++result.added;
    }
    t.commit();
    return result;
}

IndexService::IndexService(std::string path, std::function<void(RecordingIndex&)> onOpened,
                           std::function<void(const std::string&)> onError)
    : path_(std::move(path)), onOpened_(std::move(onOpened)), onError_(std::move(onError)) {
    worker_ = std::thread([this] { run(); });
}

IndexService::~IndexService() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void IndexService::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void IndexService::flush() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return tasks_.empty() && !busy_; });
}

void IndexService::run() {
    std::unique_ptr<RecordingIndex> index;
    auto report = [this](const std::string& text) {
        if (text == lastError_)
            return;
        lastError_ = text;
        if (onError_)
            onError_(text);
    };
    {
        std::lock_guard lock(mutex_);
        busy_ = true;
    }
    try {
        index = std::make_unique<RecordingIndex>(path_);
        if (onOpened_)
            onOpened_(*index);
    } catch (const std::exception& e) {
        report(std::string("The recordings index cannot be opened: ") + e.what());
    }
    std::unique_lock lock(mutex_);
    busy_ = false;
    idle_.notify_all();
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) // stopping, and everything posted has run
            return;
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        busy_ = true;
        lock.unlock();
        if (index) {
            try {
                task(*index);
                lastError_.clear();
            } catch (const std::exception& e) {
                report(e.what());
            }
        }
        lock.lock();
        busy_ = false;
        if (tasks_.empty())
            idle_.notify_all();
    }
}

} // namespace norvale
