#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace norvale {

std::filesystem::path SingleInstance::lockPathFor(const std::string& applicationName) {
    std::string name = applicationName;
    for (char& c : name) {
        if (c == '/' || c == '\0')
            c = '_';
    }
    if (name.empty() || name == "." || name == "..")
        name = "_" + name;
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec)
        dir = "/tmp";
    return dir / (name + ".lock");
}

SingleInstance::SingleInstance(const std::string& applicationName)
    : path_(lockPathFor(applicationName)) {
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

SingleInstance::~SingleInstance() {
    // The lock goes with the descriptor; the file stays so a waiting copy never races a delete.
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace norvale
