#include "platform/CommandRunner.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>

using namespace norvale;
using namespace std::chrono_literals;

namespace {

CommandRunner::Outcome runAndWait(CommandRunner& runner, const std::vector<std::string>& argv) {
    std::promise<CommandRunner::Outcome> result;
    auto future = result.get_future();
    runner.run(argv, [&](const CommandRunner::Outcome& o) { result.set_value(o); });
    EXPECT_EQ(future.wait_for(20s), std::future_status::ready) << argv[0];
    return future.get();
}

} // namespace

TEST(CommandRunner, ReportsHowEachCommandEnded) {
    CommandRunner runner(300ms);
    struct Case {
        std::vector<std::string> argv;
        bool started, succeeded, killed;
        int exitCode;
    };
    const Case cases[] = {
        {{"true"}, true, true, false, 0},
        {{"sh", "-c", "exit 3"}, true, false, false, 3},
        {{"norvale-no-such-program"}, false, false, false, -1},
        // Past the limit: killed with what it started (the shell's sleep too).
        {{"sh", "-c", "sleep 60 & sleep 60"}, true, false, true, -1},
    };
    for (const auto& c : cases) {
        const auto o = runAndWait(runner, c.argv);
        EXPECT_EQ(o.started, c.started) << c.argv.back();
        EXPECT_EQ(o.succeeded(), c.succeeded) << c.argv.back();
        EXPECT_EQ(o.killed, c.killed) << c.argv.back();
        EXPECT_EQ(o.exitCode, c.exitCode) << c.argv.back();
        if (!c.started) {
            EXPECT_NE(o.error.find("norvale-no-such-program"), std::string::npos);
        }
    }
    EXPECT_EQ(runner.running(), 0);
}

TEST(CommandRunner, ArgumentsArriveExactlyAndTheCallerNeverWaits) {
    test::TempDir dir;
    const auto out = (dir / "args").string();
    CommandRunner runner(10s);
    // One argument with everything a shell would act on; printf writes it back unchanged.
    const std::string tricky = "a b; echo pwned > " + out + ".2 | $(id) `id` *";
    const auto started = std::chrono::steady_clock::now();
    std::promise<void> done;
    runner.run({"sh", "-c", "sleep 0.3; printf '%s' \"$1\" > \"$2\"", "sh", tricky, out},
               [&](const CommandRunner::Outcome&) { done.set_value(); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, 200ms);
    ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_EQ(test::readFile(out), tricky);
    EXPECT_FALSE(std::filesystem::exists(out + ".2"));
}
