#pragma once
// Which old recordings and snapshots go, so the recording disks never fill. Plain rules over a
// listing the caller makes: nothing here touches the file system.
//
// Only files the cameras themselves wrote are ever chosen: a name made by the timestamped naming
// rule of a configured camera ("<camera>-YYYYMMDD-HHMMSS", maybe "-2", "-3" … after it when the
// name was taken, then the extension of its kind), lying in that camera's own recording folder
// (".wmv", ".mkv") or snapshot folder (".bmp"). Never a link, never a file being written, never a
// file changed since the caller learnt which files are being written.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace norvale {

struct RetentionPolicy {
    // Space to keep free on every disk that holds a recording folder, in MiB; 0: no limit.
    std::int64_t keepFreeMB = 2048;
    // Age limit in days; 0: keep for ever.
    int keepDays = 0;

    friend bool operator==(const RetentionPolicy&, const RetentionPolicy&) = default;
};

struct RetentionCamera {
    std::string name;
    std::string recordingFolder; // as the camera keeps it; compared after folderWithSeparator()
    std::string snapshotFolder;

    friend bool operator==(const RetentionCamera&, const RetentionCamera&) = default;
};

// One entry of a listed folder.
struct RetentionFile {
    std::string folder;      // the listed folder, ending in "/"
    std::string name;        // the entry's name inside it
    std::uint64_t bytes = 0; // what removing it gives back to its disk
    std::int64_t mtime = 0;  // last change, seconds since the epoch
    std::uint64_t disk = 0;  // the file system it lives on
    bool regular = false;    // a plain file (not a link, folder, device …)
};

struct RetentionDisk {
    std::uint64_t id = 0;
    std::uint64_t freeBytes = 0;
};

struct RetentionInput {
    RetentionPolicy policy;
    std::vector<RetentionCamera> cameras;
    std::vector<RetentionFile> files;
    // Full paths of the files the cameras are writing now.
    std::vector<std::string> beingWritten;
    // The disks that hold a recording folder, with their free space now.
    std::vector<RetentionDisk> disks;
    // Now, as seconds since the epoch and as the local time the file names are stamped in.
    std::int64_t now = 0;
    std::tm localNow{};
    // When `beingWritten` was taken: a file changed at or after it may be one that began since.
    std::int64_t protectFrom = 0;
};

enum class RetentionReason { Age, Space };

struct RetentionChoice {
    RetentionFile file;
    RetentionReason reason = RetentionReason::Age;
};

// The stamp of a name made by the naming rule for `cameraName` with extension `extension`, as
// the number YYYYMMDDHHMMSS; nothing when the name does not follow the rule.
std::optional<std::int64_t> timestampOfName(const std::string& fileName,
                                            const std::string& cameraName,
                                            const std::string& extension);

// The files to delete, oldest first (by the time in the name, then the last change). KeepDays
// takes every file older than the limit by both its name and its last change; KeepFreeMB then
// takes, per listed disk, the oldest files on it until the removed bytes and the free space
// reach the limit.
std::vector<RetentionChoice> chooseFilesToDelete(const RetentionInput& input);

// The free space a disk must have again before a recording stopped by a failed write starts
// again by itself: the space to keep free (64 MiB when there is no limit), but never more than
// half the disk, so a disk smaller than the limit records again too. Asking for headroom keeps a
// disk that refills at once from stopping and starting a recording in a loop.
std::uint64_t spaceToRecordAgain(std::int64_t keepFreeMB, std::uint64_t totalBytes);

} // namespace norvale
