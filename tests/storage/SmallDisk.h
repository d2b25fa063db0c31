#pragma once
// A small file system of the test's own: a tmpfs mounted in a private folder, inside a mount
// namespace of the test process's own, so nothing is left mounted when a test dies. Where
// mounting is not allowed, `error()` says why and the test skips.
#include "support/TestSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace norvale::test {

class SmallDisk {
public:
    explicit SmallDisk(std::size_t megabytes) {
        root_ = dir_ / "disk";
        std::filesystem::create_directory(root_);
        if (!privateNamespace())
            return;
        const std::string options = "size=" + std::to_string(megabytes) + "m,mode=0700";
        if (::mount("norvale-test", root_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            error_ = std::string("mount -t tmpfs failed: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(root_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path operator/(const std::string& name) const { return root_ / name; }
    // A folder beside the small disk, on the ordinary file system.
    const TempDir& outside() const { return dir_; }

private:
    // Once per process, while it has a single thread: as root a mount namespace of its own;
    // otherwise a user namespace that grants one, where the system allows it.
    bool privateNamespace() {
        static const std::string failure = [] {
            if (::unshare(CLONE_NEWNS) != 0) {
                const int asRoot = errno;
                const uid_t uid = ::getuid();
                const gid_t gid = ::getgid();
                if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
                    return std::string("no mount namespace (") + std::strerror(asRoot) + ", " +
                           std::strerror(errno) + ")";
                auto write = [](const char* file, const std::string& text) {
                    const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
                    const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) ==
                                                   static_cast<ssize_t>(text.size());
                    if (fd >= 0)
                        ::close(fd);
                    return ok;
                };
                write("/proc/self/setgroups", "deny");
                if (!write("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
                    !write("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
                    return std::string("cannot map the user into a user namespace");
            }
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                return std::string("cannot make the mounts private: ") + std::strerror(errno);
            return std::string();
        }();
        error_ = failure;
        return failure.empty();
    }

    TempDir dir_;
    std::filesystem::path root_;
    std::string error_;
    bool mounted_ = false;
};

} // namespace norvale::test
