#pragma once
// Helpers shared by the tests: sealed temporary folders and small file utilities.
#include <ctime>
#include <filesystem>
#include <string>

namespace norvale::test {

// A fresh folder under the system temporary directory, removed with the object.
class TempDir {
public:
    TempDir();
    explicit TempDir(const std::filesystem::path& base); // a new folder inside `base`
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);

// The build folder (where norvale, update.dll and locale/ live) and the source tree.
std::filesystem::path buildDir();
std::filesystem::path sourceDir();

// A broken-down time of the given calendar date and clock time (no zone, no day of the week).
std::tm brokenDownTime(int year, int month, int day, int hour, int minute, int second);

// A TCP port that is free on loopback right now.
int freeTcpPort();

} // namespace norvale::test
