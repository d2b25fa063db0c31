#pragma once
// Finds the recording files the cameras wrote, by the naming rule, so the index can be brought in
// line with what is on disk. Plain POSIX; links are not followed.
#include "storage/RecordingIndex.h"

#include <string>
#include <vector>

namespace norvale {

struct ScannedCamera {
    int camera = 0;
    std::string name;   // as the camera is called; its files carry it
    std::string folder; // its recording folder as configured (empty: the default folder)
    // The file the camera is writing now, if any: left out, so it is indexed once finished
    // rather than now with the length it has so far.
    std::string writing;
};

// Every plain file named "<camera>-YYYYMMDD-HHMMSS[-N].wmv" or ".mkv" in a camera's recording
// folder: its start is the stamp in its name (local time), its end its last change, its size
// its length. A folder that cannot be read holds nothing; the same file is found once, for the
// first camera that claims it.
std::vector<FoundRecording> findRecordings(const std::vector<ScannedCamera>& cameras);

// The moment a name's stamp YYYYMMDDHHMMSS stands for, read as local time, in milliseconds
// since the epoch.
std::int64_t stampToEpochMs(std::int64_t stamp);

} // namespace norvale
