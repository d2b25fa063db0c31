#include "core/AtomicFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using norvale::writeFileAtomically;
namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> bytes(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7);
    return v;
}

// Names in the folder, so leftovers (temporary files) show.
std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    return out;
}

} // namespace

TEST(AtomicFile, AFileAppearsWholeOrNotAtAll) {
    norvale::test::TempDir dir;
    const auto data = bytes(300 * 1024);

    // Replaces an older file of the name.
    const fs::path file = dir / "Door-20101231-235959.bmp";
    norvale::test::writeFile(file, "old");
    ASSERT_TRUE(writeFileAtomically(file.string(), data.data(), data.size()));
    EXPECT_EQ(fs::file_size(file), data.size());
    EXPECT_EQ(entries(dir.path()).size(), 1u);

    // A name that fits only without a temporary suffix.
    const fs::path longName = dir / (std::string(251, 'n') + ".bmp");
    EXPECT_TRUE(writeFileAtomically(longName.string(), data.data(), 10));
    EXPECT_EQ(fs::file_size(longName), 10u);
    fs::remove(longName);

    // A full disk: the write stops part-way; neither the target nor a temporary file is left.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 100 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    const fs::path full = dir / "full.bmp";
    const bool written = writeFileAtomically(full.string(), data.data(), data.size());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(written);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{file.filename().string()});
    EXPECT_EQ(fs::file_size(file), data.size()); // the earlier file is untouched

    // No folder, a name too long for any file system: false, nothing created.
    EXPECT_FALSE(writeFileAtomically((dir / "missing" / "a.bmp").string(), data.data(), 1));
    EXPECT_FALSE(writeFileAtomically((dir / std::string(300, 'x')).string(), data.data(), 1));
    EXPECT_EQ(entries(dir.path()).size(), 1u);
}
