#include "platform/SingleInstance.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using norvale::SingleInstance;

namespace {
// Points the temporary folder at a sealed one for the scope.
struct TmpDirScope {
    norvale::test::TempDir dir;
    std::string old;
    TmpDirScope() {
        if (const char* v = std::getenv("TMPDIR"))
            old = v;
        setenv("TMPDIR", dir.path().c_str(), 1);
    }
    ~TmpDirScope() {
        if (old.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", old.c_str(), 1);
    }
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
