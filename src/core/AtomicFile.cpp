#include "core/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace norvale {

bool writeFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size) {
    // The temporary name is hidden and unique (mkstemp), in the target's folder so that the
    // rename stays on one file system.
    const std::size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    auto temporary = [&](const std::string& pattern, std::vector<char>& name) {
        name.assign(pattern.begin(), pattern.end());
        name.push_back('\0');
        return ::mkostemp(name.data(), O_CLOEXEC);
    };
    std::vector<char> name;
    int fd = temporary(folder + "." + base + ".XXXXXX", name);
    if (fd < 0 && errno == ENAMETOOLONG) // a name that fits only without the suffix
        fd = temporary(folder + ".partial.XXXXXX", name);
    if (fd < 0)
        return false;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            ok = false;
    }
    // Readable like a file written with the default creation mask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ok = ::fchmod(fd, 0666 & ~mask) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(name.data(), path.c_str()) == 0;
    if (!ok)
        ::unlink(name.data());
    return ok;
}

} // namespace norvale
