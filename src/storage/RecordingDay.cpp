#include "storage/RecordingDay.h"

#include <algorithm>
#include <ctime>
#include <sys/stat.h>

namespace norvale {

namespace {

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int dayNumber(std::int64_t ms) {
    const auto seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

} // namespace

bool recordingFileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

RecordingDay loadRecordingDay(RecordingIndex& index, const ScannedCamera& camera,
                              std::int64_t dayStart, std::int64_t dayEnd,
                              const std::function<bool(const std::string&)>& exists) {
    RecordingDay day;
    day.camera = camera.camera;
    day.dayStart = dayStart;
    day.dayEnd = dayEnd;
    std::set<std::string> known;
    for (RecordingRow& row : index.recordings(camera.camera, dayStart, dayEnd)) {
        if (!exists(row.file))
            continue; // deleted behind the index's back
        known.insert(baseName(row.file));
        day.recordings.push_back(std::move(row));
    }
    for (FoundRecording& found : findRecordings({camera})) {
        const std::int64_t end = std::max(found.startMs, found.endMs);
        if (found.startMs >= dayEnd || end < dayStart || known.count(baseName(found.file)))
            continue;
        RecordingRow row;
        row.camera = camera.camera;
        row.file = std::move(found.file);
        row.startMs = found.startMs;
        row.endMs = end;
        row.bytes = found.bytes;
        day.recordings.push_back(std::move(row));
    }
    std::stable_sort(
        day.recordings.begin(), day.recordings.end(),
        [](const RecordingRow& a, const RecordingRow& b) { return a.startMs < b.startMs; });
    day.events = index.events(camera.camera, dayStart, dayEnd, true);
    return day;
}

std::set<int> daysWithRecordings(RecordingIndex& index, const ScannedCamera& camera,
                                 const std::vector<std::pair<std::int64_t, std::int64_t>>& days) {
    std::set<int> found;
    if (days.empty())
        return found;
    for (const auto& [start, end] : days)
        if (index.hasRecordings(camera.camera, start, end))
            found.insert(dayNumber(start));
    const std::int64_t from = days.front().first, to = days.back().second;
    for (const FoundRecording& f : findRecordings({camera})) {
        const std::int64_t end = std::max(f.startMs, f.endMs);
        if (f.startMs >= to || end < from)
            continue;
        // A file that runs past midnight counts on each day it covers.
        for (const auto& [start, dayEnd] : days)
            if (f.startMs < dayEnd && end >= start)
                found.insert(dayNumber(start));
    }
    return found;
}

} // namespace norvale
