// The English catalogue against the windows: every text a window shows is in it, and the
// catalogue's wording is what the windows show.
#include "app/dialogs/AboutBox.h"
#include "app/dialogs/ConfigForm.h"
#include "app/dialogs/SettingsForm.h"
#include "app/scanner/ScanForm.h"
#include "app/shell/Translator.h"
#include "app/wall/Form1.h"
#include "core/MoCatalog.h"
#include "platform/MessageBox.h"
#include "support/TestSupport.h"

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

std::unique_ptr<TForm1> makeWall(const TempDir& dir, RecordingMessageBox& messages) {
    Form1Context c;
    c.exeDir = QString::fromStdString(dir.path().string()) + "/";
    c.applicationName = "Norvale Test";
    c.messages = &messages;
    c.cameraServices.videoDeviceCount = [] { return 0; };
    c.screenWidth = [] { return 1024; };
    c.trayAvailable = [] { return false; };
    return std::make_unique<TForm1>(std::move(c));
}
} // namespace

// Every window of the program is listed here; a text the build's extraction missed (a caption
// built at run time, a table entry without its N_ mark) fails with the window and the text.
TEST(Catalogue, HoldsEveryTextTheWindowsShow) {
    const auto mo = norvale::test::buildDir() / "locale/en/LC_MESSAGES/default.mo";
    const MoCatalog catalogue = MoCatalog::load(mo);
    TempDir dir;
    RecordingMessageBox messages;
    auto wall = makeWall(dir, messages);
    TScanForm scanForm(messages);
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
    RecordingMessageBox messages;
    auto wall = makeWall(dir, messages);
    QLabel* about = nullptr;
    for (QLabel* l : wall->findChildren<QLabel*>())
        if (l->text() == "&About this surveillance program")
            about = l;
    ASSERT_NE(about, nullptr);
    EXPECT_GE(about->width(), about->sizeHint().width());
}
