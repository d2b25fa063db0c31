// The English catalogue against the windows: every text a window shows is in it, and the
// catalogue's wording is what the windows show.
#include "app/camera/VideoWindow.h"
#include "app/dialogs/AboutBox.h"
#include "app/dialogs/ConfigForm.h"
#include "app/dialogs/SettingsForm.h"
#include "app/scanner/ScanForm.h"
#include "app/shell/Translator.h"
#include "app/wall/DialogCommands.h"
#include "app/wall/Form1.h"
#include "core/MoCatalog.h"
#include "platform/FolderChooser.h"
#include "platform/MessageBox.h"
#include "support/FakeDesktop.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QProcess>
#include <gtest/gtest.h>

#include <set>

using namespace norvale;
using norvale::test::TempDir;

namespace {
struct CatalogueReset {
    ~CatalogueReset() { Translator::setCatalog(nullptr); }
};

std::unique_ptr<TForm1> makeWall(const TempDir& dir, norvale::test::FakeDesktop& desktop) {
    Form1Context c;
    c.exeDir = QString::fromStdString(dir.path().string()) + "/";
    c.applicationName = "Norvale Test";
    c.desktop = &desktop;
    c.cameraServices.videoDeviceCount = [] { return 0; };
    return std::make_unique<TForm1>(std::move(c));
}
} // namespace

// Every window of the program is listed here; a text the build's extraction missed (a caption
// built at run time, a table entry without its N_ mark) fails with the window and the text.
TEST(Catalogue, HoldsEveryTextTheWindowsShow) {
    const auto mo = norvale::test::buildDir() / "locale/en/LC_MESSAGES/default.mo";
    const MoCatalog catalogue = MoCatalog::load(mo);
    TempDir dir;
    norvale::test::FakeDesktop desktop;
    auto wall = makeWall(dir, desktop);
    TScanForm scanForm(desktop.boxes);
    TConfigForm configForm;
    TSettingsForm settingsForm(nullptr, SettingsFormServices{});
    const AboutBoxTexts branding{"Norvale Test", "(c) Branding", "http://example.invalid/"};
    TAboutBox aboutBox(branding, nullptr);

    // The branding values are not texts of ours.
    std::set<QString> data{branding.applicationName, branding.copyright, branding.productUrl};
    for (TCamera* cam : wall->AllCameras())
        data.insert(cam->CameraName());
    const std::pair<const char*, QObject*> windows[] = {{"Form1", wall.get()},
                                                        {"ScanForm", &scanForm},
                                                        {"ConfigForm", &configForm},
                                                        {"SettingsForm", &settingsForm},
                                                        {"AboutBox", &aboutBox}};
    int checked = 0;
    for (const auto& [name, window] : windows) {
        Translator::forEachText(window, [&, name = name](const QString& text) {
            if (data.count(text))
                return;
            ++checked;
            const QByteArray key = text.toUtf8();
            EXPECT_TRUE(catalogue.lookup(std::string_view(key.constData(), key.size())))
                << name << ": \"" << key.constData()
                << "\" is not in locale/en/default.po; write it as QStringLiteral(\"...\") "
                   "or mark it N_(\"...\") so the build extracts it";
        });
    }
    EXPECT_GT(checked, 40);
}

TEST(Catalogue, LabelsTakeTheSizeOfTheirTranslatedText) {
    CatalogueReset reset;
    TempDir dir;
    const auto folder = dir / "locale/en/LC_MESSAGES";
    std::filesystem::create_directories(folder);
    norvale::test::writeFile(dir / "default.po",
                             "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                             "msgid \"&About\"\nmsgstr \"&About this surveillance program\"\n");
    ASSERT_EQ(
        QProcess::execute("msgfmt", {"-o", QString::fromStdString((folder / "default.mo").string()),
                                     QString::fromStdString((dir / "default.po").string())}),
        0);
    Translator::install(QString::fromStdString(dir.path().string()) + "/");
    norvale::test::FakeDesktop desktop;
    auto wall = makeWall(dir, desktop);
    QLabel* about = nullptr;
    for (QLabel* l : wall->findChildren<QLabel*>())
        if (l->text() == "&About this surveillance program")
            about = l;
    ASSERT_NE(about, nullptr);
    EXPECT_GE(about->width(), about->sizeHint().width());
}

// Texts that are built or shown after their window translated itself are looked up where they
// are shown; each appears here with a translation longer than its English.
TEST(Catalogue, TextsShownLaterAreLookedUpToo) {
    CatalogueReset reset;
    TempDir dir;
    const auto folder = dir / "locale/en/LC_MESSAGES";
    std::filesystem::create_directories(folder);
    const char* texts[] = {"&Help",
                           "&About",
                           "Camera Device List",
                           "Browse for Folder",
                           "Please select a video device!",
                           "Please select a video format!",
                           "Failed to set data for '%1'",
                           "No device: open Camera Settings",
                           "Stopped: press Preview",
                           "Error"};
    std::string po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";
    for (const char* t : texts)
        po += std::string("msgid \"") + t + "\"\nmsgstr \"" + t + " (site wording)\"\n\n";
    norvale::test::writeFile(dir / "default.po", po);
    ASSERT_EQ(
        QProcess::execute("msgfmt", {"-o", QString::fromStdString((folder / "default.mo").string()),
                                     QString::fromStdString((dir / "default.po").string())}),
        0);
    Translator::install(QString::fromStdString(dir.path().string()) + "/");
    auto site = [](const char* text) { return QString(text) + " (site wording)"; };

    norvale::test::FakeDesktop desktop;
    auto wall = makeWall(dir, desktop);
    // The wall's commands made after the wall translated itself.
    DialogCommandsContext context;
    context.applicationName = "Norvale Test";
    std::filesystem::create_directories(dir / "autostart/Norvale Test.desktop");
    context.autorun = Autorun(dir / "autostart"); // the entry is a folder: it cannot be written
    TConfigForm config;
    context.configForm = &config;
    desktop.dialogs = [](QDialog&) { return int(QDialog::Accepted); };
    auto* commands = new DialogCommands(*wall, std::move(context));
    EXPECT_EQ(commands->actHelp()->text(), site("&Help"));
    EXPECT_EQ(commands->actAbout()->text(), site("&About"));
    config.chkAutoRun()->setChecked(true);
    wall->settings().autoRun = true;
    commands->OptionsClick();
    ASSERT_FALSE(desktop.boxes.requests.empty());
    EXPECT_EQ(desktop.boxes.requests.back().text,
              site("Failed to set data for '%1'").arg("Norvale Test"));

    // The list caption has room for its translation.
    QLabel* caption = nullptr;
    for (QLabel* l : wall->PopupPanel()->findChildren<QLabel*>())
        if (l->text() == site("Camera Device List"))
            caption = l;
    ASSERT_NE(caption, nullptr);
    EXPECT_GE(caption->width(), caption->sizeHint().width());

    // The camera frame's waiting text and its refusal without a device.
    TCamera* camera = wall->AllCameras().at(0);
    EXPECT_EQ(camera->VideoWindow()->WaitingText(), site("No device: open Camera Settings"));
    camera->StartPreview();
    ASSERT_FALSE(desktop.boxes.requests.empty());
    EXPECT_EQ(desktop.boxes.requests.back().text, site("Please select a video device!"));
    EXPECT_EQ(desktop.boxes.requests.back().caption, site("Error"));

    // The camera settings dialog's refusals and its folder chooser.
    SettingsFormServices services;
    services.desktop = &desktop;
    TSettingsForm settings(nullptr, services);
    settings.accept();
    EXPECT_EQ(desktop.boxes.requests.back().text, site("Please select a video device!"));
    settings.btnBrowseClick();
    EXPECT_EQ(desktop.chooser.askedTitle, site("Browse for Folder"));
}
