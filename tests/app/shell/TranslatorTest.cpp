#include "app/shell/Translator.h"
#include "app/camera/Camera.h"
#include "core/MoCatalog.h"
#include "support/TestSupport.h"

#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <gtest/gtest.h>

using namespace norvale;
using norvale::test::TempDir;

namespace {
// Compiles `po` with msgfmt into <dir>/locale/en/LC_MESSAGES/default.mo, as the build does.
void compileCatalogue(const TempDir& dir, const std::string& po) {
    const auto folder = dir / "locale/en/LC_MESSAGES";
    std::filesystem::create_directories(folder);
    norvale::test::writeFile(dir / "default.po", po);
    const int rc =
        QProcess::execute("msgfmt", {"-o", QString::fromStdString((folder / "default.mo").string()),
                                     QString::fromStdString((dir / "default.po").string())});
    ASSERT_EQ(rc, 0);
}

struct CatalogueReset {
    ~CatalogueReset() { Translator::setCatalog(nullptr); }
};
} // namespace

TEST(Translator, AnEntryOfTheInstalledCatalogueChangesACaption) {
    CatalogueReset reset;
    TempDir dir;
    compileCatalogue(dir, "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                          "msgid \"Snapshot\"\nmsgstr \"Momentaufnahme\"\n\n"
                          "msgid \"&Preview\"\nmsgstr \"&Vorschau\"\n\n"
                          "msgid \"7\"\nmsgstr \"sieben\"\n");
    // The C locale must not matter: the catalogue is read directly.
    setenv("LC_ALL", "C", 1);
    Translator::install(QString::fromStdString(dir.path().string()) + "/", "en");
    EXPECT_EQ(Translator::tr("Snapshot"), "Momentaufnahme");
    EXPECT_EQ(Translator::tr("Not in the catalogue"), "Not in the catalogue");

    CameraServices services;
    TCamera cam(nullptr, services);
    QListWidget list(&cam);
    list.addItem("7");
    auto* button = new QPushButton("Snapshot", &cam);
    Translator::translateComponent(&cam);
    EXPECT_EQ(cam.PageControl1()->tabText(1), "Momentaufnahme");
    EXPECT_EQ(cam.actPreview()->text(), "&Vorschau");
    EXPECT_EQ(button->text(), "Momentaufnahme");
    EXPECT_EQ(list.item(0)->text(), "7"); // list contents are never translated
}

TEST(Translator, MissingOrCorruptCataloguesLeaveTextsAsDesigned) {
    CatalogueReset reset;
    TempDir dir;
    Translator::install(QString::fromStdString(dir.path().string()), "en");
    EXPECT_EQ(Translator::tr("Snapshot"), "Snapshot");
    std::filesystem::create_directories(dir / "locale/en/LC_MESSAGES");
    norvale::test::writeFile(dir / "locale/en/LC_MESSAGES/default.mo",
                             std::string("\xde\x12\x04\x95\xff\xff\xff\x7f", 8));
    Translator::install(QString::fromStdString(dir.path().string()), "en");
    EXPECT_EQ(Translator::tr("Snapshot"), "Snapshot");
}

TEST(Translator, TheShippedCatalogueIsReadFromBesideTheExecutable) {
    const auto mo = MoCatalog::load(norvale::test::buildDir() / "locale/en/LC_MESSAGES/default.mo");
    ASSERT_GT(mo.size(), 10u);
    EXPECT_EQ(mo.lookup("Camera Device List").value_or(""), "Camera Device List");
}
