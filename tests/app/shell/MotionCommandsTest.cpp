// The user's motion command: run at both edges of every event with its fields, without a shell,
// off the GUI thread, and its failures reported once per camera.
#include "app/shell/MotionCommands.h"
#include "channel/CameraChannel.h"
#include "core/CommandLine.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <QStringList>
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace norvale;
using norvale::test::TempDir;
using norvale::test::waitFor;
namespace fs = std::filesystem;

namespace {

struct Rig {
    TempDir dir;
    std::string command;
    QStringList failures;
    int finished = 0;
    std::unique_ptr<MotionCommands> commands;

    explicit Rig(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        commands = std::make_unique<MotionCommands>([this] { return command; }, nullptr, limit);
        QObject::connect(commands.get(), &MotionCommands::failed,
                         [this](const QString& camera, const QString& text) {
                             failures << camera + ": " + text;
                         });
        QObject::connect(commands.get(), &MotionCommands::finished, [this] { ++finished; });
    }
    // A script that appends its arguments to a file, one per line, and a blank line after them.
    std::string logger() {
        const auto script = dir / "log-args";
        test::writeFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> \"" +
                                    (dir / "log").string() + "\"\necho >> \"" +
                                    (dir / "log").string() + "\"\n");
        ::chmod(script.c_str(), 0700);
        return script.string();
    }
    std::string log() { return test::readFile(dir / "log"); }
    bool runs(int n) {
        return waitFor([&] { return finished >= n; }, 20000);
    }
};

} // namespace

TEST(MotionCommands, RunsAtBothEdgesOfAnEventWithItsFieldsAsSingleArguments) {
    Rig rig;
    rig.command = rig.logger() + " %c \"%n\" %e %t %f";
    CameraChannel channel(ChannelServices{});
    // A name made to break out of a shell: it stays one argument, taken literally.
    channel.setName("Gate; touch pwned $(id)");
    rig.commands->watch(5, channel);
    const std::int64_t start = 1'765'000'000'000;
    emit channel.motionStarted(start);
    ASSERT_TRUE(rig.runs(1));
    MotionEventRecord event;
    event.startMs = start;
    event.endMs = start + 12000;
    event.file = "/rec/Gate-20251206-054640.wmv";
    emit channel.motionEnded(event);
    ASSERT_TRUE(rig.runs(2));

    const std::string name = "Gate; touch pwned $(id)";
    EXPECT_EQ(rig.log(), "5\n" + name + "\nstart\n" + isoLocalTime(start) + "\n\n\n" + // no file
                             "5\n" + name + "\nend\n" + isoLocalTime(start + 12000) + "\n" +
                             event.file + "\n\n");
    EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
    EXPECT_TRUE(rig.failures.isEmpty()) << rig.failures.join('\n').toStdString();
}

TEST(MotionCommands, AFailingCommandIsReportedOncePerCameraNotPerEvent) {
    struct Case {
        const char* command;
        const char* says;
    };
    const Case cases[] = {
        {"false", "exit code 1"},
        {"/nonexistent/notify %c", "cannot be started"},
        {"sleep 10", "stopped after"},
        {"'unclosed %c", "quote"},
        {"sh -c 'kill -TERM $$'", "signal 15"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        Rig rig(std::chrono::milliseconds(300));
        rig.command = c.command;
        for (int i = 0; i < 3; ++i) {
            rig.commands->eventEdge(1, "Door", "start", 0, {});
            rig.commands->eventEdge(2, "Yard", "end", 0, {});
        }
        ASSERT_TRUE(rig.runs(6));
        ASSERT_EQ(rig.failures.size(), 2) << rig.failures.join('\n').toStdString();
        rig.failures.sort(); // the two cameras' commands end in either order
        EXPECT_TRUE(rig.failures[0].startsWith("Door: ")) << rig.failures[0].toStdString();
        EXPECT_TRUE(rig.failures[0].contains(c.says)) << rig.failures[0].toStdString();
        EXPECT_TRUE(rig.failures[1].startsWith("Yard: ")) << rig.failures[1].toStdString();
    }
}

TEST(MotionCommands, AFailureIsToldAgainOnlyAfterTheCommandWorkedOrWasChanged) {
    Rig rig;
    rig.command = "false";
    auto edge = [&](int n) {
        rig.commands->eventEdge(1, "Door", "start", 0, {});
        ASSERT_TRUE(rig.runs(n));
    };
    edge(1);
    edge(2);
    EXPECT_EQ(rig.failures.size(), 1);
    rig.command = "true";
    edge(3);
    rig.command = "false";
    edge(4);
    EXPECT_EQ(rig.failures.size(), 2);
    rig.command = "false --changed";
    edge(5);
    EXPECT_EQ(rig.failures.size(), 3);
    // No command: nothing runs, nothing is told.
    rig.command = "";
    rig.commands->eventEdge(1, "Door", "start", 0, {});
    EXPECT_EQ(rig.commands->running(), 0);
    EXPECT_EQ(rig.failures.size(), 3);
}
