// The options dialog and the main window's options exchange, with the autostart entry in a
// temporary folder; the about box and the help page.
#include "app/dialogs/ConfigForm.h"
#include "app/dialogs/AboutBox.h"
#include "app/dialogs/SpinEdit.h"
#include "app/wall/DialogCommands.h"
#include "app/wall/Form1.h"
#include "platform/MessageBox.h"
#include "platform/PageOpener.h"
#include "support/FakeDesktop.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTabWidget>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using namespace norvale;
namespace fs = std::filesystem;

namespace {

struct Options {
    test::TempDir dir;
    test::FakeDesktop desktop;
    RecordingPageOpener pages;
    TConfigForm config;
    TAboutBox about{{"Norvale Test", "(c) Nobody", "https://example.org/a/very/long/path"}, &pages};
    std::unique_ptr<TForm1> form;
    DialogCommands* commands = nullptr;
    std::function<void(TConfigForm&)> user = [](TConfigForm& f) { f.accept(); };
    fs::path autostart;
    StorageStatus storage;
    int retentionChanges = 0;

    Options() {
        autostart = dir / "autostart";
        Form1Context c;
        c.exeDir = QString::fromStdString(dir.path().string()) + "/";
        c.applicationName = "Norvale Test";
        c.desktop = &desktop;
        c.cameraServices.videoDeviceCount = [] { return 0; };
        form = std::make_unique<TForm1>(std::move(c));
        DialogCommandsContext d;
        d.configForm = &config;
        d.aboutBox = &about;
        d.pages = &pages;
        d.autorun = Autorun(autostart);
        d.applicationName = "Norvale Test";
        d.executablePath = "/opt/norvale/norvale";
        d.supportUrl = "https://example.org/support";
        desktop.dialogs = [this](QDialog& dialog) {
            dialog.show();
            if (&dialog == &config)
                user(config);
            if (dialog.isVisible())
                dialog.reject();
            return dialog.result();
        };
        d.storageStatus = [this] { return storage; };
        d.retentionChanged = [this] { ++retentionChanges; };
        commands = new DialogCommands(*form, std::move(d));
    }
    fs::path entry() const { return autostart / "Norvale Test.desktop"; }
};

} // namespace

TEST(ConfigForm, DesignStatesEnablingRuleAndTheIntervalField) {
    TConfigForm f;
    EXPECT_EQ(f.windowTitle(), "Options");
    EXPECT_EQ(f.size(), QSize(377, 284));
    EXPECT_TRUE(f.chkAutoRun()->isChecked());
    EXPECT_FALSE(f.chkStartMin()->isChecked());
    EXPECT_TRUE(f.chkCheckForUpdates()->isChecked());
    EXPECT_EQ(f.seChangeGroupSeconds()->Value(), 30);
    EXPECT_FALSE(f.seChangeGroupSeconds()->isEnabled());
    f.chkChangeGroup()->setChecked(true);
    EXPECT_TRUE(f.seChangeGroupSeconds()->isEnabled());
    EXPECT_TRUE(f.chkGroup(4)->isEnabled());

    f.seChangeGroupSeconds()->SetValue(2);
    EXPECT_EQ(f.seChangeGroupSeconds()->Value(), 5);
    f.seChangeGroupSeconds()->SetValue(9000);
    EXPECT_EQ(f.seChangeGroupSeconds()->Value(), 3600);
    f.seChangeGroupSeconds()->lineEdit()->setText("4"); // typed, then focus leaves
    QFocusEvent out(QEvent::FocusOut);
    QApplication::sendEvent(f.seChangeGroupSeconds(), &out);
    EXPECT_EQ(f.seChangeGroupSeconds()->text(), "5");
    f.seChangeGroupSeconds()->lineEdit()->setText("soon");
    EXPECT_EQ(f.seChangeGroupSeconds()->Value(), 5);
}

TEST(OptionsExchange, OkTakesValuesBackWritesTheEntryAndRestartsCycling) {
    Options o;
    o.user = [](TConfigForm& f) {
        EXPECT_EQ(f.PageControl1()->currentWidget(), f.TabSheet2());
        f.chkAutoRun()->setChecked(true);
        f.chkStartMin()->setChecked(true);
        f.chkChangeGroup()->setChecked(true);
        f.seChangeGroupSeconds()->SetValue(12);
        f.chkGroup(2)->setChecked(false);
        f.accept();
    };
    o.commands->OptionsClick();
    const WallSettings& s = o.form->settings();
    EXPECT_TRUE(s.autoRun);
    EXPECT_TRUE(s.startMinimized);
    EXPECT_TRUE(s.changeGroup);
    EXPECT_EQ(s.changeGroupSeconds, 12);
    EXPECT_FALSE(s.groupEnabled[1]);
    EXPECT_TRUE(o.form->tmrChangeGroup()->isActive());
    EXPECT_EQ(o.form->tmrChangeGroup()->interval(), 12000);
    EXPECT_NE(test::readFile(o.entry()).find("Exec=/opt/norvale/norvale\n"), std::string::npos);

    // Unchecked: removed on OK, and removing again (nothing there) is silent.
    o.user = [](TConfigForm& f) {
        f.chkAutoRun()->setChecked(false);
        f.accept();
    };
    o.commands->OptionsClick();
    EXPECT_FALSE(fs::exists(o.entry()));
    o.commands->OptionsClick();
    EXPECT_TRUE(o.desktop.boxes.requests.empty());
}

TEST(OptionsExchange, NoGroupCheckedTurnsCyclingOffAndCancelChangesNothing) {
    Options o;
    o.user = [](TConfigForm& f) {
        f.chkAutoRun()->setChecked(false);
        f.chkChangeGroup()->setChecked(true);
        for (int g = 1; g <= 4; ++g)
            f.chkGroup(g)->setChecked(false);
        f.accept();
    };
    o.commands->OptionsClick();
    EXPECT_FALSE(o.form->settings().changeGroup);
    bool shownUnchecked = false, groupsDisabled = false;
    o.user = [&](TConfigForm& f) {
        shownUnchecked = !f.chkChangeGroup()->isChecked();
        groupsDisabled = !f.chkGroup(1)->isEnabled();
        f.PageControl1()->setCurrentWidget(f.tsSwitchGroup());
        f.chkStartMin()->setChecked(true);
        f.reject();
    };
    const WallSettings before = o.form->settings();
    o.commands->OptionsClick();
    EXPECT_TRUE(shownUnchecked);
    EXPECT_TRUE(groupsDisabled);
    EXPECT_EQ(o.form->settings(), before);
    // It reopens on the page it was closed on.
    o.user = [](TConfigForm& f) {
        EXPECT_EQ(f.PageControl1()->currentWidget(), f.tsSwitchGroup());
        f.reject();
    };
    o.commands->OptionsClick();
}

TEST(OptionsExchange, StoragePageShowsTheDisksAndTakesTheLimitsBack) {
    Options o;
    o.storage.disks = {{"/srv/video/", std::uint64_t{3} << 30, std::uint64_t{10} << 30}};
    QString disks, sweep;
    o.user = [&](TConfigForm& f) {
        EXPECT_EQ(f.seKeepFreeMB()->Value(), 2048);
        EXPECT_EQ(f.seKeepDays()->Value(), 0);
        EXPECT_TRUE(f.chkResumeCameras()->isChecked());
        disks = f.lblDisks()->text();
        sweep = f.lblLastSweep()->text();
        f.seKeepFreeMB()->SetValue(100);
        f.seKeepDays()->SetValue(30);
        f.chkResumeCameras()->setChecked(false);
        f.accept();
    };
    o.commands->OptionsClick();
    EXPECT_EQ(disks.toStdString(), "/srv/video/: 3.0 GB free of 10.0 GB");
    EXPECT_EQ(sweep.toStdString(), "No sweep yet.");
    EXPECT_EQ(o.form->settings().keepFreeMB, 100);
    EXPECT_EQ(o.form->settings().keepDays, 30);
    EXPECT_FALSE(o.form->settings().resumeCameras);
    EXPECT_EQ(o.retentionChanges, 1);

    // Unchanged limits ask for no sweep; Cancel takes nothing back.
    o.storage.disks.clear();
    o.storage.lastSweep = StorageStatus::Sweep{QDateTime::currentDateTime(), 2, 5u << 20};
    o.user = [&](TConfigForm& f) {
        disks = f.lblDisks()->text();
        sweep = f.lblLastSweep()->text();
        f.accept();
    };
    o.commands->OptionsClick();
    EXPECT_EQ(disks.toStdString(), "No recording disk found.");
    EXPECT_TRUE(sweep.endsWith(": 2 files removed, 5.0 MB freed.")) << sweep.toStdString();
    EXPECT_EQ(o.retentionChanges, 1);
    o.user = [](TConfigForm& f) {
        f.seKeepFreeMB()->SetValue(0);
        f.reject();
    };
    o.commands->OptionsClick();
    EXPECT_EQ(o.form->settings().keepFreeMB, 100);
    EXPECT_EQ(o.retentionChanges, 1);
}

TEST(OptionsExchange, AutorunFailures) {
    Options o;
    o.user = [](TConfigForm& f) {
        f.chkAutoRun()->setChecked(true);
        f.chkChangeGroup()->setChecked(true);
        f.seChangeGroupSeconds()->SetValue(40);
        f.accept();
    };
    // The entry cannot be written: reported, and the cycling values are not taken.
    fs::create_directories(o.entry());
    o.commands->OptionsClick();
    ASSERT_EQ(o.desktop.boxes.requests.size(), 1u);
    EXPECT_EQ(o.desktop.boxes.requests[0].text, "Failed to set data for 'Norvale Test'");
    EXPECT_EQ(o.desktop.boxes.requests[0].caption, "Error");
    EXPECT_TRUE(o.form->settings().autoRun);
    EXPECT_FALSE(o.form->settings().changeGroup);
    // The folder cannot be made: nothing reported, the rest goes on.
    fs::remove_all(o.autostart);
    test::writeFile(o.autostart, "");
    o.commands->OptionsClick();
    EXPECT_EQ(o.desktop.boxes.requests.size(), 1u);
    EXPECT_TRUE(o.form->settings().changeGroup);
    EXPECT_EQ(o.form->settings().changeGroupSeconds, 40);
}

TEST(AboutAndHelp, BrandingTextsTheLinkAndTheSupportPage) {
    Options o;
    o.commands->actAbout()->execute();
    EXPECT_EQ(o.about.SoftName()->text(), "Norvale Test");
    EXPECT_EQ(o.about.Copyright()->text(), "(c) Nobody");
    EXPECT_TRUE(o.about.URL()->wordWrap());
    EXPECT_EQ(o.about.URL()->toolTip(), "Visit our website.");
    o.about.show();
    QMouseEvent click(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(o.about.URL(), &click);
    EXPECT_TRUE(o.about.isVisible()); // the box stays open
    o.about.reject();
    o.commands->actHelp()->execute();
    ASSERT_EQ(o.pages.opened.size(), 2u);
    EXPECT_EQ(o.pages.opened[0], "https://example.org/a/very/long/path");
    EXPECT_EQ(o.pages.opened[1], "https://example.org/support");
    EXPECT_EQ(o.commands->actHelp()->shortcut(), QKeySequence(Qt::Key_F1));
    // F1 (the shortcut triggers the command) opens the page once.
    o.commands->actHelp()->trigger();
    EXPECT_EQ(o.pages.opened.size(), 3u);
}

TEST(AboutAndHelp, LongBrandingTextsWrapInsideTheBox) {
    const struct {
        const char* what;
        AboutBoxTexts texts;
        bool designedSize;
    } cases[] = {
        {"short texts", {"Norvale", "(c) Norvale", "https://n.example/"}, true},
        {"long texts",
         {"Norvale Enterprise Video Surveillance Suite for Large Sites and Campuses",
          "Copyright (c) 2026 Norvale Security Systems International Holding Limited, all rights "
          "reserved",
          "https://www.example.org/products/norvale/enterprise/downloads/"
          "current-release-notes-and-licences/index.html?from=about-box&edition=enterprise"},
         false},
    };
    for (const auto& c : cases) {
        RecordingPageOpener pages;
        TAboutBox about(c.texts, &pages);
        about.show();
        int bottom = 0;
        for (QLabel* label : {about.SoftName(), about.Copyright(), about.URL()}) {
            EXPECT_TRUE(label->wordWrap()) << c.what;
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << c.what << ": " << label->text().toStdString();
            EXPECT_GE(label->y(), bottom) << c.what << ": overlaps the text above";
            bottom = label->geometry().bottom() + 1;
            const QRect inBox(label->mapTo(&about, QPoint(0, 0)), label->size());
            EXPECT_TRUE(about.rect().contains(inBox)) << c.what;
        }
        const QWidget* band = about.SoftName()->parentWidget();
        EXPECT_LE(bottom, band->height()) << c.what;
        EXPECT_GE(about.findChild<QWidget*>("OKButton")->y(), band->geometry().bottom()) << c.what;
        if (c.designedSize) {
            EXPECT_EQ(about.size(), QSize(350, 224));
        }
        about.reject();
    }
}

TEST(OptionsExchange, MotionPageTakesTheCommandBackAndSaysWhenItCannotBeSplit) {
    Options o;
    o.form->settings().motionCommand = "notify-send %n";
    QString shown, check;
    o.user = [&](TConfigForm& f) {
        shown = f.edtMotionCommand()->text();
        f.edtMotionCommand()->setText("curl -d 'unclosed");
        check = f.lblMotionCommandCheck()->text();
        f.edtMotionCommand()->setText("  curl -d \"%e %t\" http://hub.local/cams/%c  ");
        EXPECT_EQ(f.lblMotionCommandCheck()->text(), "");
        f.accept();
    };
    o.commands->OptionsClick();
    EXPECT_EQ(shown.toStdString(), "notify-send %n");
    EXPECT_TRUE(check.contains("quote")) << check.toStdString();
    EXPECT_EQ(o.form->settings().motionCommand, "curl -d \"%e %t\" http://hub.local/cams/%c");
    o.user = [](TConfigForm& f) {
        f.edtMotionCommand()->clear();
        f.reject();
    };
    o.commands->OptionsClick();
    EXPECT_EQ(o.form->settings().motionCommand, "curl -d \"%e %t\" http://hub.local/cams/%c");
}
