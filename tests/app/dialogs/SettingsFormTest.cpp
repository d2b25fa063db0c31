// The camera settings dialog against synthetic cameras: the exchange with the camera, the format
// list and its preselection, OK's refusals, the name rule and the spin fields.
#include "app/dialogs/SettingsForm.h"
#include "app/camera/Camera.h"
#include "app/camera/VideoWindow.h"
#include "app/dialogs/CameraSettingsDialog.h"
#include "app/dialogs/DeviceControlsForm.h"
#include "app/dialogs/FrameMotionPreview.h"
#include "app/dialogs/MotionPage.h"
#include "app/dialogs/SpinEdit.h"
#include "capture/ASFWriter.h"
#include "capture/EnumMediaType.h"
#include "capture/FilterGraph.h"
#include "capture/NetworkCamera.h"
#include "capture/SysDevEnum.h"
#include "capture/TestCameras.h"
#include "platform/FolderChooser.h"
#include "platform/MessageBox.h"
#include "support/FakeDesktop.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace norvale;
using norvale::test::TempDir;

namespace {

struct Channel {
    TempDir dir;
    test::FakeDesktop desktop;
    std::unique_ptr<TSysDevEnum> devices;
    TEnumMediaType formats;
    std::unique_ptr<TCamera> cam;
    // What the "user" does in the shown dialog.
    std::function<void(TSettingsForm&)> user = [](TSettingsForm& f) { f.reject(); };

    Channel() {
        setenv("NORVALE_TEST_DEVICES", "2", 1);
        devices = std::make_unique<TSysDevEnum>(CLSID_VideoInputDeviceCategory);
        CameraServices s;
        s.videoDevices = devices.get();
        s.deviceFormats = &formats;
        s.desktop = &desktop;
        s.exeDir = QString::fromStdString(dir.path().string()) + "/";
        s.editSettings = &editCameraSettings;
        desktop.dialogs = [this](QDialog& d) {
            auto& form = static_cast<TSettingsForm&>(d);
            form.show();
            user(form);
            if (form.isVisible())
                form.reject();
            return form.result();
        };
        cam = std::make_unique<TCamera>(nullptr, std::move(s));
    }
    int testCamera(int number) const {
        for (int i = 0; i < devices->DeviceCount(); ++i)
            if (devices->EntryAt(i).FriendlyName == testcameras::cameraName(number))
                return i;
        return -1;
    }
    void settings() { cam->actSettings()->execute(); }
};

void type(QWidget* w, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
    }
}

} // namespace

TEST(SettingsFormRules, FormatListLeavesOutVideoInfo2AndKeepsPositions) {
    const auto listed =
        TSettingsForm::ListedFormats({"A VideoInfo YUY2 320X240", "A VideoInfo2 YUY2 720X576",
                                      "A VideoInfo IYUV 352X288", "A VideoInfo2 H264 1280X720"});
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].second, 0);
    EXPECT_EQ(listed[1].second, 2);
}

TEST(SettingsFormRules, PreselectionEncIniFirstThenTheLastOfTheTwoSizes) {
    const QStringList both{"YUY2 640X480", "YUY2 352X288", "I420 320X240", "RGB 176X144"};
    const QStringList reverse{"I420 320X240", "YUY2 352X288", "RGB 176X144"};
    const struct {
        QStringList entries;
        QString preferred;
        int expected;
    } cases[] = {
        {both, "", 2},             // 320x240 comes later and wins
        {reverse, "", 1},          // 352x288 comes later and wins
        {both, "rgb 176x144", 3},  // Enc.ini, letter case ignored
        {both, "RGB 176X1440", 2}, // one character more: the size rule
        {{"RGB 176X144", "YUY2 640X480"}, "", 0},
        {{}, "", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TSettingsForm::PreselectedFormat(c.entries, c.preferred), c.expected)
            << c.entries.join('|').toStdString() << " / " << c.preferred.toStdString();
}

TEST(SettingsFormRules, SpinFieldsReadTheirBoundsAndBoundlessFieldsAnyNumber) {
    TSpinEdit seconds, kbps;
    seconds.SetBounds(1, 3600);
    kbps.SetBounds(0, 0);
    seconds.SetValue(0);
    EXPECT_EQ(seconds.Value(), 1);
    seconds.SetValue(5000);
    EXPECT_EQ(seconds.Value(), 3600);
    kbps.SetValue(250000000);
    EXPECT_EQ(kbps.Value(), 250000000);
    kbps.lineEdit()->setText("12k");
    EXPECT_EQ(kbps.Value(), 0);
    seconds.lineEdit()->setText("x");
    EXPECT_EQ(seconds.Value(), 1);
}

// "New file every [ ] minutes": what the field shows for a stored length, and what comes back.
TEST(SettingsFormRules, SegmentLengthInWholeMinutesKeepsAStoredOddLengthUntilEdited) {
    TSettingsForm f(nullptr, SettingsFormServices{});
    EXPECT_EQ(f.SegmentSeconds(), 3600); // a fresh dialog: the default
    struct Case {
        int stored;
        int shown;
        int typed; // -1: the field is left alone
        int back;
    } cases[] = {
        {3600, 60, -1, 3600},
        {90, 2, -1, 90},
        {90, 2, 5, 300},
        {0, 0, -1, 0},
        {30, 1, -1, 30},
        {3600, 60, 0, 0},
        {100000, 1440, -1, 100000},
        {-5, 0, -1, -5},
        {600, 10, 3000, 86400},
    };
    for (const auto& c : cases) {
        f.SetSegmentSeconds(c.stored);
        EXPECT_EQ(f.edtSegmentMinutes()->Value(), c.shown) << c.stored;
        if (c.typed >= 0)
            f.edtSegmentMinutes()->lineEdit()->setText(QString::number(c.typed));
        EXPECT_EQ(f.SegmentSeconds(), c.back) << c.stored << " " << c.typed;
    }
}

TEST(SettingsForm, BitRateFieldSaysWhatRecordingsUseAndTakesAnyNumber) {
    TSettingsForm form(nullptr, SettingsFormServices{});
    const QString tip = form.edtKBps()->toolTip();
    for (const std::uint32_t limit : {TASFWriter::MinBitRate, TASFWriter::MaxBitRate})
        EXPECT_TRUE(tip.contains(QStringLiteral(" %1 ").arg(limit / 1000))) << tip.toStdString();
    form.edtKBps()->SetValue(250000000);
    EXPECT_EQ(form.edtKBps()->Value(), 250000000);
}

TEST(SettingsForm, CancelChangesNothingButTheCameraHasStopped) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.testCamera(1));
    c.cam->setCameraName("Gate");
    c.cam->StartPreview();
    ASSERT_TRUE(c.cam->Previewing());
    c.user = [&](TSettingsForm& f) {
        f.cbbVideoDevices()->setCurrentIndex(c.testCamera(2));
        f.cbbVideoDevicesChange();
        f.NameEdit()->setText("Other");
        f.edtKBps()->SetValue(64);
        f.reject();
    };
    c.settings();
    EXPECT_FALSE(c.cam->Previewing());
    EXPECT_FALSE(c.cam->CaptureGraph().Active());
    EXPECT_EQ(c.cam->VideoDeviceIndex(), c.testCamera(1));
    EXPECT_EQ(c.cam->VideoFormatIndex(), -1);
    EXPECT_EQ(c.cam->CameraName(), "Gate");
    EXPECT_EQ(c.cam->BitRate(), 1024);
    EXPECT_TRUE(c.desktop.reports.empty());
}

TEST(SettingsForm, OkTakesEveryValueBackTrimmed) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.testCamera(1));
    c.cam->setSnapshotSeconds(5000); // from setup.ini: shown and given back as 3600
    c.cam->setSegmentSeconds(90);
    const QString folder = QString::fromStdString(c.dir.path().string());
    c.desktop.chooser.answer = folder + "/";
    c.user = [&](TSettingsForm& f) {
        EXPECT_EQ(f.edtSnapshotSeconds()->Value(), 3600);
        f.cbbVideoDevices()->setCurrentIndex(c.testCamera(2));
        f.cbbVideoDevicesChange();
        // The preselection: the last 320x240 entry, carrying its position in DeviceFormats.
        EXPECT_EQ(f.cbbVideoFormats()->currentData().toInt(), 5);
        f.cbbVideoFormats()->setCurrentIndex(1);
        f.btnBrowseClick();
        f.NameEdit()->setText("  Lobby\t");
        f.edtKBps()->lineEdit()->setText("fast");
        EXPECT_EQ(f.edtSegmentMinutes()->Value(), 2);
        f.edtSegmentMinutes()->SetValue(5);
        f.chkAutoSnapshot()->setChecked(true);
        f.edtSnapshotPath()->setText(" /srv/snaps\n");
        f.accept();
    };
    c.settings();
    EXPECT_EQ(c.cam->VideoDeviceIndex(), c.testCamera(2));
    EXPECT_EQ(c.cam->VideoFormatIndex(), 1);
    EXPECT_EQ(c.desktop.chooser.askedTitle, "Browse for Folder");
    EXPECT_EQ(c.cam->SaveFilePath(), folder); // the chooser's result without a trailing "/"
    EXPECT_EQ(c.cam->CameraName(), "Lobby");
    EXPECT_EQ(c.cam->BitRate(), 0);
    EXPECT_EQ(c.cam->SegmentSeconds(), 300);
    EXPECT_TRUE(c.cam->AutoSnapshot());
    EXPECT_EQ(c.cam->SnapshotSeconds(), 3600);
    EXPECT_EQ(c.cam->SnapshotPath(), "/srv/snaps");
    EXPECT_EQ(c.formats.Count(), 9); // the formats of the device picked last
    // Not restarted, and the graph handed back empty.
    EXPECT_FALSE(c.cam->Previewing());
    EXPECT_FALSE(c.cam->CaptureGraph().Active());
}

TEST(SettingsForm, UntouchedOkKeepsAStoredDeviceAndFormat) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.testCamera(2));
    c.cam->setVideoFormatIndex(7); // the VideoInfo twin, just before its VideoInfo2 entry
    c.cam->setSegmentSeconds(90);  // not whole minutes: kept as it is
    c.user = [&](TSettingsForm& f) {
        EXPECT_EQ(f.pcPreferences()->currentWidget(), f.tabCapture());
        f.accept();
    };
    c.settings();
    EXPECT_EQ(c.cam->VideoDeviceIndex(), c.testCamera(2));
    EXPECT_EQ(c.cam->VideoFormatIndex(), 7);
    EXPECT_EQ(c.cam->SegmentSeconds(), 90);
    EXPECT_TRUE(c.desktop.boxes.requests.empty());
}

TEST(SettingsForm, EncIniPreselectsIgnoringCase) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.testCamera(1));
    norvale::test::writeFile(c.dir / "Enc.ini",
                             "[norvale test camera 1]\nVideoFormat=major type: video - sub type: "
                             "yuy2 format: videoinfo yuy2 640x480, 16 bits\n");
    c.user = [](TSettingsForm& f) { f.accept(); };
    c.settings();
    EXPECT_EQ(c.cam->VideoFormatIndex(), 2);
}

TEST(SettingsForm, OkRefusesWithoutDeviceOrFormat) {
    Channel c; // VideoDeviceIndex -1
    int formatsListed = -1;
    c.user = [&](TSettingsForm& f) {
        formatsListed = f.cbbVideoFormats()->count();
        f.btnPreviewClick(); // no device: nothing to preview
        EXPECT_FALSE(c.cam->CaptureGraph().Active());
        f.accept();
        EXPECT_TRUE(f.isVisible());
        f.cbbVideoDevices()->setCurrentIndex(c.testCamera(1));
        f.cbbVideoFormats()->clear(); // a device that listed no format
        f.accept();
        EXPECT_TRUE(f.isVisible());
        f.reject();
    };
    c.settings();
    EXPECT_EQ(formatsListed, 0);
    ASSERT_EQ(c.desktop.boxes.requests.size(), 2u);
    EXPECT_EQ(c.desktop.boxes.requests[0].text, "Please select a video device!");
    EXPECT_EQ(c.desktop.boxes.requests[1].text, "Please select a video format!");
    EXPECT_EQ(c.desktop.boxes.requests[1].caption, "Error");
    EXPECT_EQ(c.desktop.boxes.requests[1].icon, MessageIcon::Error);
    EXPECT_EQ(c.cam->VideoDeviceIndex(), -1);
}

TEST(SettingsForm, ForbiddenCharactersCannotBeTypedButAStoredNameKeepsThem) {
    Channel c;
    c.cam->setCameraName("Yard:1");
    c.user = [&](TSettingsForm& f) {
        EXPECT_EQ(f.NameEdit()->text(), "Yard:1");
        f.NameEdit()->end(false);
        type(f.NameEdit(), ":/x\\*?\"'<>|é");
        EXPECT_EQ(f.NameEdit()->text(), "Yard:1xé");
        // Pasted text obeys the same rule, wherever it lands.
        QGuiApplication::clipboard()->setText("a/b:c*d?e|\"f'<g>\\h");
        f.NameEdit()->setCursorPosition(4);
        QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
        QApplication::sendEvent(f.NameEdit(), &paste);
        EXPECT_EQ(f.NameEdit()->text(), "Yardabcdefgh:1xé");
        f.NameEdit()->setText("Yard:1");
        f.cbbVideoDevices()->setCurrentIndex(c.testCamera(1));
        f.cbbVideoDevicesChange();
        f.accept();
    };
    c.settings();
    EXPECT_EQ(c.cam->CameraName(), "Yard:1");
}

TEST(SettingsForm, PreviewShowsTheDeviceAndClosingEmptiesTheGraph) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.testCamera(1));
    c.user = [&](TSettingsForm& f) {
        f.btnPreviewClick();
        EXPECT_EQ(c.cam->CaptureGraph().GraphState(), TGraphState::gsPlaying);
        f.reject();
    };
    c.settings();
    EXPECT_TRUE(c.desktop.reports.empty());
    EXPECT_FALSE(c.cam->CaptureGraph().Active());
    EXPECT_TRUE(c.cam->CaptureGraph().LinkedFilters().empty());
    // The camera previews on its own again afterwards.
    c.cam->StartPreview();
    EXPECT_TRUE(c.cam->Previewing());
    c.cam->StopAll();
}

TEST(SettingsForm, PickingAnotherDeviceClearsThePreviewAndTheListShowsTheWholeFormat) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.testCamera(1));
    c.user = [&](TSettingsForm& f) {
        auto* window = f.findChild<TVideoWindow*>("VideoWindow");
        ASSERT_NE(window, nullptr);
        f.btnPreviewClick();
        ASSERT_TRUE(norvale::test::waitFor([&] { return window->FrameSource()->LatestFrame(); }));
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* e) override {
                paints += e->type() == QEvent::Paint;
                return false;
            }
        } counter;
        QApplication::processEvents();
        window->installEventFilter(&counter);
        f.cbbVideoDevices()->setCurrentIndex(c.testCamera(2));
        f.cbbVideoDevicesChange();
        EXPECT_EQ(window->FrameSource()->LatestFrame(), nullptr);
        EXPECT_TRUE(norvale::test::waitFor([&] { return counter.paints > 0; }, 2000))
            << "the old device's last frame stays on the screen";
        window->removeEventFilter(&counter);

        // The closed list: the longest entry loses its middle, never its bit depth.
        QComboBox* list = f.cbbVideoFormats();
        int longest = 0;
        for (int i = 0; i < list->count(); ++i)
            if (list->itemText(i).size() > list->itemText(longest).size())
                longest = i;
        list->setCurrentIndex(longest);
        const QString full = list->currentText();
        const QString shown = f.ShownFormatText();
        EXPECT_TRUE(shown.endsWith(full.right(8))) << shown.toStdString();
        EXPECT_LT(QFontMetrics(list->font()).horizontalAdvance(shown), list->width());
        f.reject();
    };
    c.settings();
    EXPECT_TRUE(c.desktop.reports.empty());
}

TEST(DeviceControls, EditorsReadAndSetTheDeviceAtOnce) {
    setenv("NORVALE_TEST_DEVICES", "1", 1);
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    int index = -1;
    for (int i = 0; i < devices.DeviceCount(); ++i)
        if (devices.EntryAt(i).FriendlyName == testcameras::cameraName(1))
            index = i;
    TFilterGraph graph;
    TFilter source;
    source.BaseFilter().StoreMoniker(devices.MonikerAt(index));
    source.SetFilterGraph(&graph);
    graph.SetActive(true);
    TDeviceControlsForm form(nullptr, source);
    EXPECT_EQ(form.windowTitle().toStdString(), testcameras::cameraName(1));
    EXPECT_EQ(form.NoControlsLabel(), nullptr);
    auto brightness = std::find_if(form.Editors().begin(), form.Editors().end(),
                                   [](const auto& e) { return e.name == "BRIGHTNESS"; });
    ASSERT_NE(brightness, form.Editors().end());
    brightness->spin->setValue(250);
    for (const auto& c : source.DeviceControls()) {
        if (c.Name == "BRIGHTNESS") {
            EXPECT_EQ(c.Value, 250);
        }
    }

    TFilter none("None"); // no device: nothing to adjust
    TDeviceControlsForm empty(nullptr, none);
    EXPECT_NE(empty.NoControlsLabel(), nullptr);
    EXPECT_EQ(ShowFilterPropertyPages(nullptr, nullptr), hr::S_FALSE);
    EXPECT_EQ(ShowFilterPropertyPages(nullptr, &none), hr::E_FAIL);
}

TEST(SettingsForm, MotionPageShowsTheDialogsOwnLivePicture) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.testCamera(1));
    c.user = [&](TSettingsForm& f) {
        f.pcPreferences()->setCurrentWidget(f.tabMotion());
        MotionPage& page = *f.tabMotion();
        page.refreshPicture();
        EXPECT_TRUE(page.maskView()->picture().isNull());
        ASSERT_FALSE(page.btnMotionPreview()->isHidden());
        page.btnMotionPreview()->click();
        // Frames reach the page though the dialog's own window is on a hidden page.
        EXPECT_TRUE(test::waitFor([&] {
            page.refreshPicture();
            return !page.maskView()->picture().isNull();
        }));
        EXPECT_EQ(page.maskView()->picture().width(), FrameMotionPreview::GreyWidth);
        f.reject();
    };
    c.settings();
    EXPECT_TRUE(c.desktop.reports.empty());
    EXPECT_TRUE(c.cam->CaptureGraph().LinkedFilters().empty());
}

// "Record" is offered only for a format the camera compresses itself, and for a network camera
// (its stream is compressed) even before it was seen; a choice not offered leaves the stored one
// as it is.
TEST(SettingsForm, RecordFormatIsOfferedForACompressedFormatOnly) {
    testcameras::setMjpeg(2, true);
    setNetworkCameras({{"Door", "rtsp://127.0.0.1:9/h264", "", ""}});
    struct Case {
        int camera;
        bool offered;
        int chosen; // the entry picked when offered
        int stored, expected;
    } cases[] = {{2, true, 1, 0, 1}, {2, true, 0, 1, 0}, {1, false, 0, 1, 1}, {0, true, 1, 0, 1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.camera);
        Channel c;
        c.cam->setVideoDeviceIndex(k.camera > 0 ? c.testCamera(k.camera)
                                                : c.devices->DeviceCount() - 1); // 0: network
        CameraSettings s = c.cam->Settings();
        s.recordFormat = k.stored;
        c.cam->setSettings(s);
        c.user = [&](TSettingsForm& f) {
            EXPECT_EQ(!f.cbbRecordFormat()->isHidden(), k.offered);
            EXPECT_EQ(f.RecordFormatOffered(), k.offered);
            if (k.offered)
                f.cbbRecordFormat()->setCurrentIndex(k.chosen);
            f.accept();
        };
        c.settings();
        EXPECT_EQ(c.cam->Settings().recordFormat, k.expected);
    }
    testcameras::setMjpeg(2, false);
    setNetworkCameras({});
}
