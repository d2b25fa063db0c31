#pragma once
// Names of recordings and snapshots: folder, camera name, "-", the local time as
// YYYYMMDD-HHMMSS, extension. Also the snapshot due rule of the frame callback.
#include <cstdint>
#include <ctime>
#include <string>

namespace norvale {

// The folder as the property keeps it from now on: with a trailing "/" added when it lacks
// one. An empty folder stands for the default folder.
std::string folderWithSeparator(const std::string& folder);

// "YYYYMMDD-HHMMSS" of a broken-down local time (15 characters for years 1000..9999).
std::string timeStamp(const std::tm& local);

// The camera name as file names carry it: path separators become "_", so a name can never
// leave the folder.
std::string cameraNameInFiles(const std::string& cameraName);

// folder + cameraNameInFiles(name) + "-" + stamp + extension. The folder must already end
// with "/".
std::string timestampedFileName(const std::string& folderWithSep, const std::string& cameraName,
                                const std::tm& local, const std::string& extension);

// Whether a timed snapshot is due: the whole seconds since the last one, compared as signed
// 32-bit numbers, reach the interval. A zero or negative interval makes every frame due.
inline bool snapshotDue(std::uint32_t nowSecond, std::uint32_t lastSecond, std::int32_t interval) {
    const auto elapsed = static_cast<std::int32_t>(nowSecond - lastSecond);
    return !(elapsed < interval);
}

} // namespace norvale
