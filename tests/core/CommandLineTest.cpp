#include "core/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace norvale;
using Args = std::vector<std::string>;

TEST(CommandLine, SplitsLikeAShellWithoutItsExpansions) {
    struct Case {
        const char* line;
        std::optional<Args> expected;
    };
    const Case cases[] = {
        {"notify-send Motion %n", Args{"notify-send", "Motion", "%n"}},
        {"  a \t b  ", Args{"a", "b"}},
        {"", Args{}},
        {"logger -t 'cams/%c' -m \"%e at %t\"",
         Args{"logger", "-t", "cams/%c", "-m", "%e at %t"}},
        {"a\\ b 'it''s' \"q\\\"x\\n\"", Args{"a b", "its", "q\"x\\n"}},
        {"echo $HOME `id` *; rm -rf / | cat > f",
         Args{"echo", "$HOME", "`id`", "*;", "rm", "-rf", "/", "|", "cat", ">", "f"}},
        {"''", Args{""}},
        {"'unclosed", std::nullopt},
        {"\"unclosed", std::nullopt},
        {"trailing\\", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitCommandLine(c.line), c.expected) << c.line;
}

TEST(CommandLine, FieldsFillArgumentsAndNeverSplitThem) {
    const MotionCommandFields f{7, "Gate; rm -rf / 'x' %e", "start", "2026-12-09T19:55:01+00:00",
                                "/rec/Gate-20261209-195501.wmv"};
    const Args in{"curl", "-d", "cam=%c&name=%n", "%e", "%t", "%f", "100%%", "%x", "%"};
    const Args expected{"curl",
                        "-d",
                        "cam=7&name=Gate; rm -rf / 'x' %e",
                        "start",
                        "2026-12-09T19:55:01+00:00",
                        "/rec/Gate-20261209-195501.wmv",
                        "100%",
                        "%x",
                        "%"};
    EXPECT_EQ(expandMotionCommand(in, f), expected);
}

TEST(CommandLine, IsoTimeCarriesTheZoneOffset) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    struct Case {
        const char* zone;
        const char* expected;
    };
    const Case cases[] = {
        {"UTC", "2026-12-09T19:55:01+00:00"},
        {"Europe/Berlin", "2026-12-09T20:55:01+01:00"},
        {"Asia/Kolkata", "2026-12-10T01:25:01+05:30"},
        {"America/St_Johns", "2026-12-09T16:25:01-03:30"},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        EXPECT_EQ(isoLocalTime(1'796'846'101'000), c.expected) << c.zone;
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
