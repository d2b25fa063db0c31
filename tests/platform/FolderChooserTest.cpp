// ChooseFolder's rules around the platform browser: the start folder it is given, and the
// result it hands back.
#include "platform/FolderChooser.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace norvale;

TEST(ChooseFolder, StartFolderAndResultRules) {
    test::TempDir dir;
    const QString existing = QString::fromStdString(dir.path().string());
    std::filesystem::create_directory(dir / "sub");
    const struct {
        QString start;
        std::optional<QString> answer;
        bool ok;
        QString askedStart;
        QString after;
    } cases[] = {
        {existing, existing + "/sub/", true, existing, existing + "/sub"},
        {existing, QString("/"), true, existing, "/"},
        {"/no/such/folder", std::nullopt, false, "", ""},
        {existing, std::nullopt, false, existing, existing},
        {existing, existing + "/gone", false, existing, existing},
    };
    for (const auto& c : cases) {
        ScriptedFolderChooser chooser;
        chooser.answer = c.answer;
        QString folder = c.start;
        EXPECT_EQ(ChooseFolder(chooser, nullptr, "Browse for Folder", folder), c.ok)
            << c.start.toStdString();
        EXPECT_EQ(chooser.askedStart, c.askedStart);
        EXPECT_EQ(folder, c.after);
        EXPECT_EQ(chooser.askedTitle, "Browse for Folder");
    }
}
