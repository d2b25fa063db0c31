// Network cameras in the camera settings dialog: adding, editing and removing one through its
// own dialog (whose "Test" runs away from the window's thread), finding another computer's
// cameras on the LAN, and the password kept out of everything shown.
#include "app/dialogs/NetCameraForm.h"
#include "app/dialogs/SettingsForm.h"
#include "capture/EnumMediaType.h"
#include "capture/FilterGraph.h"
#include "capture/NetworkCamera.h"
#include "capture/SysDevEnum.h"
#include "capture/VideoFrame.h"
#include "capture/VideoRenderer.h"
#include "platform/MessageBox.h"
#include "support/FakeDesktop.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

using namespace norvale;

namespace {

constexpr const char* Secret = "pa55-word";

struct Dialog {
    test::TempDir dir;
    test::FakeDesktop desktop;
    std::unique_ptr<TSysDevEnum> devices;
    TEnumMediaType formats;
    TFilter source;
    TFilterGraph graph;
    std::unique_ptr<TSettingsForm> form;
    // What the "user" does in the network camera dialog.
    std::function<void(TNetCameraForm&)> user = [](TNetCameraForm& f) { f.reject(); };
    QStringList netTitles;
    int probes = 0;

    // `peer`: the address of another Norvale, asked for real; none: answers made up here.
    explicit Dialog(const char* peer = nullptr) {
        setenv("NORVALE_TEST_DEVICES", "1", 1);
        setNetworkCameras({});
        devices = std::make_unique<TSysDevEnum>(CLSID_VideoInputDeviceCategory);
        SettingsFormServices s;
        s.devices = devices.get();
        s.formats = &formats;
        s.sourceFilter = &source;
        s.graph = &graph;
        s.desktop = &desktop;
        s.exeDir = QString::fromStdString(dir.path().string()) + "/";
        if (!peer)
            s.netProber = [this](const NetCameraConfig& c) {
                ++probes;
                NetProbeResult r;
                if (c.password != Secret) {
                    r.problem = NetProbeResult::Problem::Credentials;
                    r.reason = describeNetworkProblem(r.problem, {});
                    return r;
                }
                r.codec = "H.264";
                r.width = 64;
                r.height = 48;
                auto pixels = std::make_shared<std::vector<uint8_t>>(64 * 48 * 3, 0x80);
                r.picture = std::make_shared<TVideoFrame>(64, 48, 64 * 3, pixels->data(), pixels);
                return r;
            };
        s.chooseComputer = [peer](QString& computer, QString& address) {
            computer = "OTHERPC";
            address = peer ? peer : "127.0.0.1";
            return true;
        };
        if (!peer)
            s.servedCameras = [](const QString&) { return std::vector<int>{2, 5}; };
        desktop.dialogs = [this](QDialog& d) {
            auto& net = dynamic_cast<TNetCameraForm&>(d);
            net.show();
            netTitles << net.windowTitle();
            user(net);
            if (net.isVisible())
                net.reject();
            return net.result();
        };
        form = std::make_unique<TSettingsForm>(nullptr, std::move(s));
        form->show();
    }
    ~Dialog() {
        form.reset();
        setNetworkCameras({});
    }
    QStringList listed() const {
        QStringList out;
        for (int i = 0; i < form->cbbVideoDevices()->count(); ++i)
            out << form->cbbVideoDevices()->itemText(i);
        return out;
    }
};

void fill(TNetCameraForm& f, const QString& name, const QString& url, const QString& password) {
    f.NameEdit()->setText(name);
    f.AddressEdit()->setText(url);
    f.UserEdit()->setText("admin");
    f.PasswordEdit()->setText(password);
}

} // namespace

TEST(NetCameraDialog, AddEditRemoveKeepThePasswordOutOfSight) {
    Dialog d;
    const int local = d.form->cbbVideoDevices()->count();
    ASSERT_EQ(local, 1);
    EXPECT_FALSE(d.form->btnEditNetCamera()->isEnabled());
    EXPECT_FALSE(d.form->btnRemoveNetCamera()->isEnabled());

    // Added after a test that failed with the wrong password, then passed with the right one.
    QString failed, passed;
    d.user = [&](TNetCameraForm& f) {
        EXPECT_EQ(f.PasswordEdit()->echoMode(), QLineEdit::Password);
        fill(f, "  Front door ", "rtsp://192.0.2.7/stream1", "wrong");
        f.TestClick();
        EXPECT_TRUE(test::waitFor([&] { return !f.Testing(); }));
        failed = f.TestResult()->text();
        f.PasswordEdit()->setText(Secret);
        f.TestClick();
        EXPECT_TRUE(test::waitFor([&] { return !f.Testing(); }));
        passed = f.TestResult()->text();
        EXPECT_FALSE(f.Picture()->pixmap().isNull());
        f.accept();
    };
    d.form->btnAddNetCameraClick();
    EXPECT_EQ(d.probes, 2);
    EXPECT_TRUE(failed.contains("user name or password")) << failed.toStdString();
    EXPECT_TRUE(passed.contains("H.264")) << passed.toStdString();
    ASSERT_EQ(d.listed(), QStringList({d.listed().front(), "Front door"}));
    EXPECT_EQ(d.form->cbbVideoDevices()->currentIndex(), 1);
    EXPECT_TRUE(d.form->btnEditNetCamera()->isEnabled());
    ASSERT_EQ(networkCameras().size(), 1u);
    EXPECT_EQ(networkCameras()[0],
              (NetCameraConfig{"Front door", "rtsp://192.0.2.7/stream1", "admin", Secret}));
    // Picked, it lists a format (what it is known to send, or raw video), so OK can be taken.
    EXPECT_GT(d.form->cbbVideoFormats()->count(), 0);

    // Edited: the dialog comes filled, and a bad address is refused with the dialog open.
    d.user = [&](TNetCameraForm& f) {
        EXPECT_EQ(f.Camera().password, Secret);
        f.AddressEdit()->setText("ftp://192.0.2.7/x");
        f.accept();
        EXPECT_TRUE(f.isVisible());
        f.NameEdit()->setText("Back door");
        f.AddressEdit()->setText("rtsp://192.0.2.8/stream1");
        f.accept();
    };
    d.form->btnEditNetCameraClick();
    ASSERT_FALSE(d.desktop.boxes.requests.empty());
    EXPECT_EQ(d.desktop.boxes.requests.back().text,
              "The address must begin with rtsp://, http:// or https://.");
    EXPECT_EQ(d.listed().back(), "Back door");
    EXPECT_EQ(networkCameras()[0].url, "rtsp://192.0.2.8/stream1");

    // Nothing shown holds the password.
    for (const QString& t : d.listed() + d.netTitles + QStringList{d.form->windowTitle()})
        EXPECT_FALSE(t.contains(Secret)) << t.toStdString();
    for (const auto& box : d.desktop.boxes.requests)
        EXPECT_FALSE(box.text.contains(Secret)) << box.text.toStdString();

    // Kept after a "No", removed after a "Yes".
    d.desktop.boxes.setAnswer(MessageResult::No);
    d.form->btnRemoveNetCameraClick();
    EXPECT_EQ(networkCameras().size(), 1u);
    d.desktop.boxes.setAnswer(MessageResult::Yes);
    d.form->btnRemoveNetCameraClick();
    EXPECT_TRUE(networkCameras().empty());
    EXPECT_EQ(d.form->cbbVideoDevices()->count(), local);
    EXPECT_EQ(d.form->cbbVideoDevices()->currentIndex(), -1);
}

TEST(NetCameraDialog, FindOnLanOffersTheComputersCamerasOnce) {
    Dialog d;
    d.desktop.boxes.setAnswer(MessageResult::Yes);
    d.form->btnFindOnLanClick();
    ASSERT_FALSE(d.desktop.boxes.requests.empty());
    EXPECT_EQ(d.desktop.boxes.requests.back().buttons, MessageButtons::YesNo);
    EXPECT_TRUE(d.desktop.boxes.requests.back().text.contains("OTHERPC camera 5"));
    const auto cameras = networkCameras();
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0].name, "OTHERPC camera 2");
    EXPECT_EQ(cameras[0].url, "http://127.0.0.1:8801/camera/2");
    EXPECT_EQ(cameras[1].url, "http://127.0.0.1:8801/camera/5");
    EXPECT_EQ(d.form->cbbVideoDevices()->currentText(), "OTHERPC camera 2");
    // Asked again, the same cameras are not offered twice.
    d.form->btnFindOnLanClick();
    EXPECT_EQ(networkCameras().size(), 2u);
    EXPECT_EQ(d.desktop.boxes.requests.back().buttons, MessageButtons::Ok);
}

// Run by scripts/lan-peer-test, which starts a second Norvale recording its camera 1 in a
// network namespace of the test's own: "Find on LAN..." asks it at port 8801 and the camera's
// "Test" shows its picture.
TEST(NetCameraDialog, FindsAndShowsAnotherNorvale) {
    const char* peer = std::getenv("LAN_PEER");
    if (!peer)
        GTEST_SKIP() << "needs another Norvale: scripts/lan-peer-test";
    Dialog d(peer);
    d.desktop.boxes.setAnswer(MessageResult::Yes);
    d.form->btnFindOnLanClick();
    ASSERT_EQ(networkCameras().size(), 1u);
    EXPECT_EQ(networkCameras()[0].name, "OTHERPC camera 1");
    EXPECT_EQ(d.form->cbbVideoDevices()->currentText(), "OTHERPC camera 1");
    bool shown = false;
    QString said;
    d.user = [&](TNetCameraForm& f) {
        f.TestClick();
        EXPECT_TRUE(test::waitFor([&] { return !f.Testing(); }, 20000));
        shown = !f.Picture()->pixmap().isNull();
        said = f.TestResult()->text();
        f.accept();
    };
    d.form->btnEditNetCameraClick();
    EXPECT_TRUE(shown) << said.toStdString();
    EXPECT_TRUE(said.contains("WMV")) << said.toStdString();
}
