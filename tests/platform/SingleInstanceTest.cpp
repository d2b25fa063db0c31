#include "platform/SingleInstance.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sys/stat.h>
#include <vector>

using norvale::SingleInstance;

namespace {
// Points an environment variable at a value for the scope.
struct EnvScope {
    std::string name, old;
    bool had = false;
    EnvScope(std::string n, const std::string& value) : name(std::move(n)) {
        if (const char* v = std::getenv(name.c_str()))
            old = v, had = true;
        setenv(name.c_str(), value.c_str(), 1);
    }
    ~EnvScope() {
        if (had)
            setenv(name.c_str(), old.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};
// A sealed runtime folder (and temporary folder) for the scope.
struct TmpDirScope {
    norvale::test::TempDir dir;
    EnvScope tmp{"TMPDIR", dir.path().string()};
    EnvScope run{"XDG_RUNTIME_DIR", dir.path().string()};
};
} // namespace

TEST(SingleInstance, OneHolderPerNameUntilItEnds) {
    TmpDirScope tmp;
    {
        SingleInstance first("Norvale");
        EXPECT_FALSE(first.alreadyRunning());
        SingleInstance second("Norvale");
        EXPECT_TRUE(second.alreadyRunning());
        SingleInstance other("Another Site");
        EXPECT_FALSE(other.alreadyRunning());
    }
    SingleInstance again("Norvale");
    EXPECT_FALSE(again.alreadyRunning());
}

TEST(SingleInstance, NamesThatCannotBeFileNamesStillWork) {
    TmpDirScope tmp;
    for (const std::string name : {"", ".", "..", "a/b", "../../etc/x"}) {
        const auto path = SingleInstance::lockPathFor(name);
        EXPECT_EQ(path.parent_path(), tmp.dir.path()) << name;
        SingleInstance one(name);
        EXPECT_FALSE(one.alreadyRunning()) << name;
        SingleInstance two(name);
        EXPECT_TRUE(two.alreadyRunning()) << name;
    }
}

TEST(SingleInstance, TheLockIsTheUsersOwnAndAlwaysASafeFileName) {
    TmpDirScope tmp;
    namespace fs = std::filesystem;

    // Distinct names keep distinct locks, every one a single name within 255 bytes.
    const std::string longName(300, 'n');
    std::set<std::string> files;
    const std::vector<std::string> names = {"Site A", "Site_A",  "Site%41", "a/b",
                                            "a%2Fb",  ".hidden", longName,  longName + "x"};
    for (const std::string& name : names) {
        const std::string file = SingleInstance::lockFileName(name);
        EXPECT_LE(file.size(), 255u) << name;
        EXPECT_EQ(file.find('/'), std::string::npos) << name;
        EXPECT_NE(file[0], '.') << name;
        files.insert(file);
        SingleInstance one(name);
        EXPECT_FALSE(one.alreadyRunning()) << name;
        EXPECT_EQ(one.lockPath().parent_path(), tmp.dir.path()) << name;
        EXPECT_TRUE(SingleInstance(name).alreadyRunning()) << name;
    }
    EXPECT_EQ(files.size(), 8u);

    // A planted link is not followed: no file appears where it points, and the start is refused
    // rather than taking a lock elsewhere.
    const fs::path target = tmp.dir / "elsewhere";
    fs::create_symlink(target, SingleInstance::lockPathFor("Linked"));
    EXPECT_TRUE(SingleInstance("Linked").alreadyRunning());
    EXPECT_FALSE(fs::exists(target));

    // A runtime folder others can write to is not used: a private folder of the user's is.
    const fs::path shared = tmp.dir / "shared";
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    EnvScope run("XDG_RUNTIME_DIR", shared.string());
    const fs::path folder = SingleInstance::lockFolder();
    EXPECT_NE(folder, shared);
    EXPECT_EQ(folder.parent_path(), tmp.dir.path());
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(SingleInstance("Norvale").alreadyRunning());
}
