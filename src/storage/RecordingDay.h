#pragma once
// What the recordings window shows of one camera's day: the recordings and motion events of the
// index, with the files the index does not know (copied in, from before the index, being
// written) found by the naming rule, and the files that are gone left out. Runs on the index's
// thread; reads only.
#include "storage/RecordingIndex.h"
#include "storage/RecordingScan.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace norvale {

struct RecordingDay {
    int camera = 0;
    std::int64_t dayStart = 0;
    std::int64_t dayEnd = 0;
    std::vector<RecordingRow> recordings; // in order of start; id 0: found on disk only
    std::vector<EventRow> events;         // in order of start, with thumbnails
};

// Whether a file is there (a plain file, links not followed).
bool recordingFileExists(const std::string& path);

// The recordings and events of `camera` that overlap [dayStart, dayEnd). A file found on disk
// that the index lists under another spelling of its folder counts as known.
RecordingDay
loadRecordingDay(RecordingIndex& index, const ScannedCamera& camera, std::int64_t dayStart,
                 std::int64_t dayEnd,
                 const std::function<bool(const std::string&)>& exists = recordingFileExists);

// The local days (as yyyymmdd) between `from` and `to` on which `camera` has recordings, in the
// index or on disk. `days` are the [start, end) of the days to look at, in order.
std::set<int> daysWithRecordings(RecordingIndex& index, const ScannedCamera& camera,
                                 const std::vector<std::pair<std::int64_t, std::int64_t>>& days);

} // namespace norvale
