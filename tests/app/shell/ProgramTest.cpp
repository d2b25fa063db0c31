// Starts the real executable, copied into a sealed folder with what an installed copy holds.
#include "app/shell/Application.h"
#include "core/IniFile.h"
#include "platform/SingleInstance.h"
#include "storage/RecordingIndex.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;
using norvale::test::TempDir;

namespace {

struct Installation {
    TempDir dir;
    TempDir tmp; // the single-instance lock lives here, away from the machine's other runs

    explicit Installation(bool withBranding, const std::string& brandingIni = {}) {
        fs::copy_file(norvale::test::buildDir() / "norvale", dir / "norvale");
        fs::copy(norvale::test::buildDir() / "locale", dir / "locale", fs::copy_options::recursive);
        if (withBranding) {
            if (brandingIni.empty()) {
                fs::copy_file(norvale::test::buildDir() / "update.dll", dir / "update.dll");
            } else {
                QByteArray encoded = QByteArray::fromStdString(brandingIni).toBase64();
                norvale::test::writeFile(dir / "update.dll", encoded.toStdString());
            }
        }
    }

    void prepare(QProcess& p) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("NORVALE_PRINT_MESSAGES", "1");
        env.insert("TMPDIR", QString::fromStdString(tmp.path().string()));
        env.insert("HOME", QString::fromStdString(tmp.path().string()));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(tmp.path().string()));
        p.setProcessEnvironment(env);
        p.setProgram(QString::fromStdString((dir / "norvale").string()));
    }

    // True once a running copy holds the lock of `name`.
    bool lockHeld(const std::string& name) const {
        const fs::path path = tmp / (name + ".lock");
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return held;
    }

    bool waitForLock(const std::string& name) const {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 30000) {
            if (lockHeld(name))
                return true;
            QThread::msleep(50);
        }
        return false;
    }
};

} // namespace

TEST(Program, MissingBrandingFileEndsBeforeAnyWindow) {
    Installation inst(false);
    QProcess p;
    inst.prepare(p);
    p.start();
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(p.readAllStandardError().contains("Error: update.dll not found!\n"));
    EXPECT_FALSE(fs::exists(inst.dir / "setup.ini"));
}

TEST(Program, SecondCopyIsRefusedAndSigtermWritesTheSettings) {
    Installation inst(true);
    QProcess first;
    inst.prepare(first);
    first.start();
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_TRUE(inst.waitForLock("Norvale")) << first.readAllStandardError().toStdString();

    QProcess second;
    inst.prepare(second);
    second.start();
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(
        second.readAllStandardError().contains("Message: Application is running already!\n"));
    EXPECT_EQ(first.state(), QProcess::Running);

    first.terminate(); // SIGTERM: the desktop ending the program
    first.terminate(); // an impatient second one must not cut the shutdown short
    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    norvale::IniFile ini(inst.dir / "setup.ini");
    EXPECT_EQ(ini.readString("Camera1", "Name", ""), "Camera1");
    EXPECT_EQ(ini.readString("Camera36", "Name", ""), "Camera36");
    EXPECT_EQ(ini.readInteger("System", "CurrentCnt", 0), 1);
    EXPECT_EQ(ini.readString("ChangeGroup", "Group4", ""), "1");
    const std::string text = norvale::test::readFile(inst.dir / "setup.ini");
    EXPECT_EQ(text.rfind("[Camera1]", 0), 0u);
    EXPECT_LT(text.find("[Camera36]"), text.find("[System]"));
    EXPECT_LT(text.find("[System]"), text.find("[ChangeGroup]"));
}

TEST(Program, DifferentApplicationNamesRunSideBySide) {
    Installation a(true, "[System]\nAPPLICATION_NAME=Site A\n");
    Installation b(true, "[System]\nAPPLICATION_NAME=Site B\n");
    // Share one temporary folder so both copies see each other's locks.
    QProcess pa, pb;
    a.prepare(pa);
    b.prepare(pb);
    QProcessEnvironment env = pb.processEnvironment();
    env.insert("TMPDIR", QString::fromStdString(a.tmp.path().string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(a.tmp.path().string()));
    pb.setProcessEnvironment(env);
    pa.start();
    ASSERT_TRUE(pa.waitForStarted());
    ASSERT_TRUE(a.waitForLock("Site A"));
    pb.start();
    ASSERT_TRUE(pb.waitForStarted());
    ASSERT_TRUE(a.waitForLock("Site B"));
    EXPECT_EQ(pa.state(), QProcess::Running);
    EXPECT_EQ(pb.state(), QProcess::Running);
    pa.terminate();
    pb.terminate();
    EXPECT_TRUE(pa.waitForFinished(30000));
    EXPECT_TRUE(pb.waitForFinished(30000));
}

namespace {
// True once the process catches `sig` (its handler is installed).
bool catchesSignal(qint64 pid, int sig) {
    const std::string status = norvale::test::readFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("SigCgt:");
    if (at == std::string::npos)
        return false;
    const unsigned long long mask = std::stoull(status.substr(at + 7), nullptr, 16);
    return (mask >> (sig - 1)) & 1u;
}
} // namespace

// A signal while a start-up box waits for its OK ends the program as the OK would.
TEST(Program, SignalsEndTheStartUpBoxes) {
    const struct {
        const char* what;
        bool branding;
        int sig;
        int exitCode;
    } cases[] = {
        {"update.dll missing, SIGTERM", false, SIGTERM, 1},
        {"update.dll missing, SIGHUP", false, SIGHUP, 1},
        {"running already, SIGINT", true, SIGINT, 0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        Installation inst(k.branding);
        QProcess first;
        if (k.branding) {
            inst.prepare(first);
            first.start();
            ASSERT_TRUE(inst.waitForLock("Norvale"));
        }
        QProcess p;
        inst.prepare(p);
        QProcessEnvironment env = p.processEnvironment();
        env.remove("NORVALE_PRINT_MESSAGES"); // a real box, which nobody answers
        p.setProcessEnvironment(env);
        p.start();
        ASSERT_TRUE(p.waitForStarted());
        QElapsedTimer t;
        t.start();
        while (!catchesSignal(p.processId(), k.sig) && t.elapsed() < 30000)
            QThread::msleep(20);
        ::kill(static_cast<pid_t>(p.processId()), k.sig);
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), k.exitCode);
        if (k.branding) {
            first.terminate();
            EXPECT_TRUE(first.waitForFinished(30000));
        }
    }
}

TEST(Program, WindowCaptionsGetNothingAppended) {
    norvale::setApplicationIdentity("Norvale Site");
    EXPECT_EQ(QCoreApplication::applicationName(), "Norvale Site");
    // Qt appends the display name to every caption only when one was set: none is, so the
    // display name follows the application name.
    QCoreApplication::setApplicationName("probe");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "probe");
}

TEST(Program, TheIndexBesideTheSettingsTakesInTheFoldersAndOutlivesAKill) {
    Installation inst(true);
    // A recording of Camera1 in its default folder (the home folder) from an earlier run.
    const fs::path file = inst.tmp / "Camera1-20251201-101500.wmv";
    norvale::test::writeFile(file, "recorded");
    QProcess p;
    inst.prepare(p);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start();
    ASSERT_TRUE(p.waitForStarted());
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains("rebuilt from 1 recording files") && t.elapsed() < 30000) {
        p.waitForReadyRead(200);
        out += p.readAll();
    }
    ASSERT_TRUE(out.contains("The recordings index was missing and is rebuilt from 1 recording "
                             "files."))
        << out.toStdString();
    ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
    ASSERT_TRUE(p.waitForFinished(30000));

    norvale::RecordingIndex index((inst.dir / "norvale.db").string());
    EXPECT_FALSE(index.rebuilt());
    const auto rows = index.recordings(1, 0, std::int64_t{1} << 50);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].file, file.string());
    EXPECT_EQ(rows[0].bytes, 8);
}
