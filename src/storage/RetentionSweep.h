#pragma once
// One retention sweep over the cameras' folders: list them, read each recording disk's free
// space, let the retention rule choose, and delete what it chose.
//
// Links are never followed: entries are examined with lstat semantics relative to the opened
// folder, each one is examined again right before it is removed (still the same plain file, not
// changed since it was listed), and removal is relative to the opened folder too, so a folder
// swapped for a link meanwhile cannot redirect it. A configured folder that is itself a link is
// used where it leads, as the cameras write there.
#include "core/Retention.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace norvale {

// What the program tells the sweep about its cameras.
struct RetentionSetup {
    RetentionPolicy policy;
    std::vector<RetentionCamera> cameras;
    // Full paths of the files being written now.
    std::vector<std::string> beingWritten;
    // Some camera records: free space is watched closely.
    bool recording = false;
    // When `beingWritten` was read, seconds since the epoch (0: when the sweep starts). Files
    // changed after it are left alone, as they may have begun since.
    std::int64_t takenAt = 0;

    friend bool operator==(const RetentionSetup&, const RetentionSetup&) = default;
};

// A file system that holds a recording folder.
struct DiskSpace {
    std::uint64_t id = 0;
    std::string folder; // the first recording folder found on it
    std::uint64_t freeBytes = 0;
    std::uint64_t totalBytes = 0;
};

struct SweepError {
    std::string path;
    std::string text;
};

struct SweepResult {
    std::int64_t finishedAt = 0; // seconds since the epoch
    int filesRemoved = 0;
    std::uint64_t bytesFreed = 0;
    std::vector<std::string> removed; // full paths, in the order they went
    std::vector<SweepError> errors;
    // The recording disks after the sweep.
    std::vector<DiskSpace> disks;
};

// The free space of every disk that holds an existing recording folder, one entry per disk.
std::vector<DiskSpace> recordingDisks(const std::vector<RetentionCamera>& cameras);

// Whether a disk has less free space than the policy keeps.
bool belowKeepFree(const std::vector<DiskSpace>& disks, const RetentionPolicy& policy);

// Runs one sweep. `cancel`, when set, ends it between two deletions.
SweepResult runSweep(const RetentionSetup& setup, const std::atomic<bool>* cancel = nullptr);

} // namespace norvale
