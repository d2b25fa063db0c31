#include "platform/SingleInstance.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvale {

namespace {

// A real folder (not a link) of this user that nobody else may write to.
bool isPrivateFolder(const std::filesystem::path& dir) {
    struct stat st {};
    return !dir.empty() && ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::filesystem::path privateSubfolder(const std::filesystem::path& parent) {
    if (parent.empty())
        return {};
    const std::filesystem::path dir =
        parent / ("norvale-" + std::to_string(static_cast<unsigned long>(::geteuid())));
    ::mkdir(dir.c_str(), 0700); // an existing one is checked like any other
    return isPrivateFolder(dir) ? dir : std::filesystem::path();
}

} // namespace

std::filesystem::path SingleInstance::lockFolder() {
    if (const char* run = std::getenv("XDG_RUNTIME_DIR");
        run && *run == '/' && isPrivateFolder(run))
        return run;
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    if (auto dir = privateSubfolder(ec ? std::filesystem::path("/tmp") : tmp); !dir.empty())
        return dir;
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return privateSubfolder(home);
    return {};
}

std::string SingleInstance::lockFileName(const std::string& applicationName) {
    static const char hex[] = "0123456789ABCDEF";
    std::string name;
    for (std::size_t i = 0; i < applicationName.size(); ++i) {
        const auto c = static_cast<unsigned char>(applicationName[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == ' ' || c == '-' || c == '_' ||
                           (c == '.' && i > 0);
        if (plain) {
            name += static_cast<char>(c);
        } else {
            name += '%';
            name += hex[c >> 4];
            name += hex[c & 15];
        }
    }
    if (name.empty())
        name = "%";
    // 255 bytes is the usual limit for one name; keep well below it with the suffix.
    constexpr std::size_t kMax = 200;
    if (name.size() > kMax) {
        std::uint64_t h = 1469598103934665603ull; // FNV-1a of the whole name
        for (unsigned char c : applicationName)
            h = (h ^ c) * 1099511628211ull;
        std::size_t cut = kMax - 17;
        // Do not split an escape.
        if (name[cut - 1] == '%')
            cut -= 1;
        else if (name[cut - 2] == '%')
            cut -= 2;
        char digest[17];
        std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(h));
        name = name.substr(0, cut) + "-" + digest;
    }
    return name + ".lock";
}

std::filesystem::path SingleInstance::lockPathFor(const std::string& applicationName) {
    const std::filesystem::path dir = lockFolder();
    return dir.empty() ? std::filesystem::path() : dir / lockFileName(applicationName);
}

SingleInstance::SingleInstance(const std::string& applicationName)
    : path_(lockPathFor(applicationName)) {
    if (path_.empty())
        return;
    // No links: a planted one must not make this process create or lock a file elsewhere.
    UniqueFd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
        fd_ = std::move(fd);
}

// The lock goes with the descriptor; the file stays so a waiting copy never races a delete.
SingleInstance::~SingleInstance() = default;

} // namespace norvale
