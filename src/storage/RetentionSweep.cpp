#include "storage/RetentionSweep.h"

#include "core/FileNaming.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "core/UniqueFd.h"

namespace norvale {

namespace {

using Fd = UniqueFd;

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

std::string errorText(int err) {
    return std::strerror(err);
}

// The folder where it really is (links in the path resolved), ending in "/"; empty when it
// cannot be resolved.
std::string resolvedFolder(const std::string& folder) {
    char buf[PATH_MAX];
    if (!::realpath(folderWithSeparator(folder).c_str(), buf))
        return {};
    std::string s = buf;
    if (s.back() != '/')
        s += '/';
    return s;
}

std::string resolvedPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return path;
    const std::string folder = resolvedFolder(path.substr(0, slash + 1));
    return folder.empty() ? path : folder + path.substr(slash + 1);
}

// A folder opened for listing and removing; O_NOFOLLOW: the resolved path has no link left
// in it, so one found now was put there since.
Fd openFolder(const std::string& resolved) {
    return Fd(::open(resolved.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool mayBeOurs(const char* name) {
    const std::size_t n = std::strlen(name);
    if (n < 5 || name[0] == '.')
        return false;
    const char* ext = name + n - 4;
    return !std::strcmp(ext, ".wmv") || !std::strcmp(ext, ".mkv") || !std::strcmp(ext, ".bmp");
}

// What removing a file gives back: its allocated blocks, unless another name keeps them.
std::uint64_t reclaimable(const struct stat& st) {
    return st.st_nlink == 1 ? static_cast<std::uint64_t>(st.st_blocks) * 512u : 0u;
}

struct Listed {
    dev_t dev;
    ino_t ino;
    std::int64_t mtimeNs;
};

std::int64_t mtimeNs(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::optional<DiskSpace> spaceOf(int fd, const std::string& folder) {
    struct stat st {};
    struct statvfs vfs {};
    if (::fstat(fd, &st) != 0 || ::fstatvfs(fd, &vfs) != 0)
        return std::nullopt;
    DiskSpace d;
    d.id = static_cast<std::uint64_t>(st.st_dev);
    d.folder = folder;
    d.freeBytes = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    d.totalBytes = static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    return d;
}

void addDisk(std::vector<DiskSpace>& disks, std::optional<DiskSpace> d) {
    if (!d)
        return;
    for (const auto& known : disks)
        if (known.id == d->id)
            return;
    disks.push_back(std::move(*d));
}

} // namespace

std::vector<DiskSpace> recordingDisks(const std::vector<RetentionCamera>& cameras) {
    std::vector<DiskSpace> disks;
    std::set<std::string> seen;
    for (const auto& cam : cameras) {
        const std::string folder = resolvedFolder(cam.recordingFolder);
        if (folder.empty() || !seen.insert(folder).second)
            continue;
        if (const Fd fd = openFolder(folder))
            addDisk(disks, spaceOf(fd.get(), folder));
    }
    return disks;
}

bool belowKeepFree(const std::vector<DiskSpace>& disks, const RetentionPolicy& policy) {
    if (policy.keepFreeMB <= 0)
        return false;
    const auto wanted = static_cast<std::uint64_t>(policy.keepFreeMB) * 1024u * 1024u;
    for (const auto& d : disks)
        if (d.freeBytes < wanted)
            return true;
    return false;
}

SweepResult runSweep(const RetentionSetup& setup, const std::atomic<bool>* cancel) {
    SweepResult result;
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));

    RetentionInput in;
    in.policy = setup.policy;
    in.now = now;
    const std::time_t t = static_cast<std::time_t>(now);
    localtime_r(&t, &in.localNow);
    // Two seconds of slack for the coarse clock the file system stamps changes with.
    in.protectFrom = (setup.takenAt ? setup.takenAt : now) - 2;

    // Every folder once, by where it really is; the cameras are told the same names.
    std::map<std::string, Fd> folders;
    std::set<std::string> recordingFolders;
    std::set<std::string> unresolved;
    auto resolve = [&](const std::string& folder, bool recording) {
        std::string resolved = resolvedFolder(folder);
        if (resolved.empty()) {
            // A folder that does not exist (yet) holds nothing of ours; anything else is told.
            const int err = errno;
            if (err != ENOENT && err != ENOTDIR && unresolved.insert(folder).second)
                result.errors.push_back({folderWithSeparator(folder), errorText(err)});
            return folderWithSeparator(folder);
        }
        if (!folders.count(resolved)) {
            Fd fd = openFolder(resolved);
            if (!fd)
                result.errors.push_back({resolved, errorText(errno)});
            folders.emplace(resolved, std::move(fd));
        }
        if (recording)
            recordingFolders.insert(resolved);
        return resolved;
    };
    for (const auto& cam : setup.cameras)
        in.cameras.push_back(
            {cam.name, resolve(cam.recordingFolder, true), resolve(cam.snapshotFolder, false)});
    for (const auto& path : setup.beingWritten)
        in.beingWritten.push_back(resolvedPath(path));

    std::map<std::string, Listed> listed;
    const bool limits = setup.policy.keepFreeMB > 0 || setup.policy.keepDays > 0;
    for (const auto& [folder, fd] : folders) {
        // With both limits off nothing can go: the folders are not even listed.
        if (!limits)
            break;
        if (!fd)
            continue;
        std::unique_ptr<DIR, DirCloser> dir(::fdopendir(::dup(fd.get())));
        if (!dir) {
            result.errors.push_back({folder, errorText(errno)});
            continue;
        }
        ::rewinddir(dir.get());
        while (const dirent* e = ::readdir(dir.get())) {
            if (!mayBeOurs(e->d_name))
                continue;
            struct stat st {};
            if (::fstatat(fd.get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue; // gone meanwhile
            RetentionFile f;
            f.folder = folder;
            f.name = e->d_name;
            f.bytes = reclaimable(st);
            f.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec);
            f.disk = static_cast<std::uint64_t>(st.st_dev);
            f.regular = S_ISREG(st.st_mode);
            listed[folder + f.name] = {st.st_dev, st.st_ino, mtimeNs(st)};
            in.files.push_back(std::move(f));
        }
    }
    auto disksNow = [&] {
        std::vector<DiskSpace> disks;
        for (const auto& folder : recordingFolders)
            if (const Fd& fd = folders.at(folder))
                addDisk(disks, spaceOf(fd.get(), folder));
        return disks;
    };
    for (const auto& d : disksNow())
        in.disks.push_back({d.id, d.freeBytes});

    for (const auto& choice : chooseFilesToDelete(in)) {
        if (cancel && cancel->load())
            break;
        const RetentionFile& f = choice.file;
        const std::string path = f.folder + f.name;
        const Fd& fd = folders.at(f.folder);
        const Listed& was = listed.at(path);
        // A file a recorder of this program holds (a segment just begun, or one still being
        // finished) is never ours to delete, whatever the list of current files said.
        if (fileNameClaimed(path))
            continue;
        // Still the plain file that was listed, unchanged: else someone else has it now.
        struct stat st {};
        if (::fstatat(fd.get(), f.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_dev != was.dev || st.st_ino != was.ino ||
            mtimeNs(st) != was.mtimeNs)
            continue;
        if (::unlinkat(fd.get(), f.name.c_str(), 0) != 0) {
            result.errors.push_back({path, errorText(errno)});
            continue;
        }
        ++result.filesRemoved;
        result.bytesFreed += reclaimable(st);
        result.removed.push_back(path);
    }
    result.disks = disksNow();
    result.finishedAt = static_cast<std::int64_t>(std::time(nullptr));
    return result;
}

} // namespace norvale
