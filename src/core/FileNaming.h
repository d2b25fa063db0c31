#pragma once
// Names of recordings and snapshots: folder, camera name, "-", the local time as
// YYYYMMDD-HHMMSS, extension. Also the snapshot due rule of the frame callback.
#include <cstdint>
#include <ctime>
#include <functional>
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

// The first free form of a name: `stem` + `extension` itself, else stem + "-2" + extension,
// stem + "-3" + extension, ..., the first one `taken` says no to. Throws std::runtime_error when
// every form up to a number far beyond any real folder is taken.
std::string firstFreeFileName(const std::string& stem, const std::string& extension,
                              const std::function<bool(const std::string&)>& taken);

// A name handed out for a file this process is about to write: while a claim on it lives, no
// other claim gets the same name, so two writers can never share a file even before either has
// created it. Move-only; the name is free again once the claim is destroyed or released.
class FileNameClaim {
public:
    FileNameClaim() = default;
    ~FileNameClaim() { release(); }
    FileNameClaim(FileNameClaim&& other) noexcept : path_(std::move(other.path_)) {
        other.path_.clear();
    }
    FileNameClaim& operator=(FileNameClaim&& other) noexcept;
    FileNameClaim(const FileNameClaim&) = delete;
    FileNameClaim& operator=(const FileNameClaim&) = delete;

    const std::string& path() const { return path_; }
    bool empty() const { return path_.empty(); }
    void release();

private:
    friend FileNameClaim claimTimestampedFileName(const std::string&, const std::string&,
                                                  const std::tm&, const std::string&);
    std::string path_;
};

// The timestamped name for a new file, made unique: when the plain name exists on disk (a link
// counts, dangling or not) or is claimed by a file this process writes, "-2", "-3", ... goes
// before the extension. The name comes back claimed.
FileNameClaim claimTimestampedFileName(const std::string& folderWithSep,
                                       const std::string& cameraName, const std::tm& local,
                                       const std::string& extension);

// Whether `path` is claimed right now, that is a file this process is writing (a recording
// whose writer holds its claim), however its folder is spelled. Whatever deletes old files
// leaves such a file alone.
bool fileNameClaimed(const std::string& path);

// Whether a timed snapshot is due: the whole seconds since the last one, compared as signed
// 32-bit numbers, reach the interval. A zero or negative interval makes every frame due.
inline bool snapshotDue(std::uint32_t nowSecond, std::uint32_t lastSecond, std::int32_t interval) {
    const auto elapsed = static_cast<std::int32_t>(nowSecond - lastSecond);
    return !(elapsed < interval);
}

} // namespace norvale
