#include "storage/RecordingScan.h"

#include "core/CameraSettings.h"
#include "core/FileNaming.h"
#include "core/Retention.h"

#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace norvale {

namespace {
struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
} // namespace

std::int64_t stampToEpochMs(std::int64_t stamp) {
    std::tm t{};
    t.tm_year = static_cast<int>(stamp / 10000000000LL) - 1900;
    t.tm_mon = static_cast<int>(stamp / 100000000LL % 100) - 1;
    t.tm_mday = static_cast<int>(stamp / 1000000LL % 100);
    t.tm_hour = static_cast<int>(stamp / 10000 % 100);
    t.tm_min = static_cast<int>(stamp / 100 % 100);
    t.tm_sec = static_cast<int>(stamp % 100);
    t.tm_isdst = -1; // whatever the zone said on that day
    return static_cast<std::int64_t>(std::mktime(&t)) * 1000;
}

std::vector<FoundRecording> findRecordings(const std::vector<ScannedCamera>& cameras) {
    std::vector<FoundRecording> found;
    std::set<std::string> seen;
    for (const auto& cam : cameras) {
        const std::string folder =
            folderWithSeparator(cam.folder.empty() ? defaultFolder() : cam.folder);
        std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
        if (!dir)
            continue;
        while (const dirent* e = ::readdir(dir.get())) {
            const std::string name = e->d_name;
            std::optional<std::int64_t> stamp;
            for (const char* ext : {".wmv", ".mkv"})
                if (!stamp)
                    stamp = timestampOfName(name, cam.name, ext);
            if (!stamp ||
                (!cam.writing.empty() && std::string_view(cam.writing).ends_with("/" + name)))
                continue;
            struct stat st {};
            if (::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(st.st_mode))
                continue;
            const std::string path = folder + name;
            if (!seen.insert(path).second)
                continue;
            FoundRecording f;
            f.camera = cam.camera;
            f.file = path;
            f.startMs = stampToEpochMs(*stamp);
            f.endMs =
                static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
            f.bytes = static_cast<std::int64_t>(st.st_size);
            found.push_back(std::move(f));
        }
    }
    return found;
}

} // namespace norvale
