// The autostart entry: where it goes, what it holds, and its two failure cases.
#include "platform/Autorun.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace norvale;
namespace fs = std::filesystem;

TEST(Autorun, ExecQuotesBlanksAndReservedCharacters) {
    const struct {
        const char* path;
        const char* exec;
    } cases[] = {
        {"/opt/norvale/norvale", "/opt/norvale/norvale"},
        {"/opt/my cams/norvale", "\"/opt/my cams/norvale\""},
        {"/opt/a$b/norvale", "\"/opt/a\\\\$b/norvale\""},
        {"/opt/it's/norvale", "\"/opt/it's/norvale\""},
        {"/opt/100%/norvale", "/opt/100%%/norvale"},
        {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(desktopExecValue(c.path), c.exec) << c.path;
}

TEST(Autorun, EntryNamesNeverLeaveTheFolder) {
    EXPECT_EQ(autorunFileName("Webcam Application"), "Webcam Application.desktop");
    EXPECT_EQ(autorunFileName("../../etc/x"), ".._.._etc_x.desktop");
    EXPECT_EQ(autorunFileName(".."), "_...desktop");
    EXPECT_EQ(autorunFileName(""), "_.desktop");
    EXPECT_EQ(autorunFileName("a\nb"), "a_b.desktop");
}

TEST(Autorun, DefaultFolderFollowsXdgConfigHome) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(autostartFolder(), fs::path("/cfg/autostart"));
    setenv("XDG_CONFIG_HOME", "relative", 1); // ignored, as the base directory rules say
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(autostartFolder(), fs::path("/home/u/.config/autostart"));
    setenv("HOME", home.c_str(), 1);
    if (old)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

TEST(Autorun, AddWritesAValidEntryRemoveDeletesItAndFailuresAreTold) {
    test::TempDir dir;
    const Autorun autorun(dir / "config" / "autostart"); // made when missing
    const fs::path entry = autorun.entryPath("My Cams");
    ASSERT_EQ(autorun.add("My Cams", "/opt/my cams/norvale"), AutorunResult::Done);
    ASSERT_EQ(autorun.add("My Cams", "/opt/my cams/norvale"), AutorunResult::Done); // again
    const std::string text = test::readFile(entry);
    EXPECT_NE(text.find("Exec=\"/opt/my cams/norvale\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Name=My Cams\n"), std::string::npos);
    const std::string check = "desktop-file-validate '" + entry.string() + "'";
    EXPECT_EQ(std::system(check.c_str()), 0) << text;

    EXPECT_EQ(autorun.remove("My Cams"), AutorunResult::Done);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(autorun.remove("My Cams"), AutorunResult::Done); // none there: fine

    // A folder that cannot be made: nothing written.
    test::writeFile(dir / "file", "");
    const Autorun blocked(dir / "file" / "autostart");
    EXPECT_EQ(blocked.add("My Cams", "/x"), AutorunResult::CannotOpen);
    EXPECT_EQ(blocked.remove("My Cams"), AutorunResult::CannotOpen);
    // An entry that cannot be written.
    fs::create_directories(entry);
    EXPECT_EQ(autorun.add("My Cams", "/x"), AutorunResult::CannotWrite);
}
