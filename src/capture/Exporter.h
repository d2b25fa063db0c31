#pragma once
// Export of a time span of one camera's recordings into one file:
// - Wmv: the recorded WMV1 stream as it is (no re-encoding) in a new ASF file, starting at the
//   key frame at or before the span's start;
// - Mkv: the recorded stream as it is in a new Matroska file, for recordings of a camera's own
//   stream (.mkv: MJPEG, H.264, H.265), from the key frame at or before the span's start;
// - Mp4: decoded and encoded as H.264 in MP4, for phones and browsers.
// Sources may be .wmv or .mkv recordings. An export holds one codec: files of a span recorded in
// another codec than its first are left out, and WMV takes WMV1 recordings only.
// The span may cross segment files; each file's time is placed at its wall-clock start, so
// the export's time line is the recording's. It runs on a thread of its own, can be cancelled,
// and leaves no half file: it writes to a hidden name beside the target and renames at the end.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace norvale {

struct ExportSource {
    std::filesystem::path file;
    std::int64_t startMs = 0; // wall-clock time of the file's first frame
};

class TExporter {
public:
    enum class Format { Wmv, Mkv, Mp4 };
    struct Result {
        bool ok = false;
        bool cancelled = false;
        std::string error;
        std::int64_t frames = 0; // written
    };

    TExporter() = default;
    ~TExporter(); // cancels and waits
    TExporter(const TExporter&) = delete;
    TExporter& operator=(const TExporter&) = delete;

    // Starts exporting [fromMs, toMs) of `sources` (in time order) to `target`. `progress`
    // (0 to 1) and `done` run on the export's thread. False when an export is still running.
    bool start(std::vector<ExportSource> sources, std::int64_t fromMs, std::int64_t toMs,
               std::filesystem::path target, Format format, std::function<void(double)> progress,
               std::function<void(const Result&)> done);
    void cancel() { cancel_ = true; }
    bool running() const { return running_; }
    // Waits for the running export to end.
    void wait();

    // The same, on the caller's thread.
    static Result run(const std::vector<ExportSource>& sources, std::int64_t fromMs,
                      std::int64_t toMs, const std::filesystem::path& target, Format format,
                      const std::function<void(double)>& progress, const std::atomic<bool>& cancel);

    // Whether an H.264 encoder is installed.
    static bool mp4Available();

private:
    std::thread worker_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> running_{false};
};

} // namespace norvale
