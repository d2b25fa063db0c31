#pragma once
// A user's command line, split into arguments without a shell, and the fields of a motion
// event put into it. Fields are filled in after splitting, one argument at a time, so what a
// camera is called can never become a second argument, an option or a shell command.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvale {

// Splits on blanks; '…' keeps everything literally, "…" keeps blanks and takes \" \\ \$ \`
// as the character, a backslash outside quotes takes the next character literally. Nothing
// else is special (no variables, globs, pipes or redirections). Nothing for an unclosed quote
// or a trailing backslash; an empty list for a blank line.
std::optional<std::vector<std::string>> splitCommandLine(std::string_view line);

struct MotionCommandFields {
    int camera = 0;   // %c
    std::string name; // %n
    std::string edge; // %e: "start" or "end"
    std::string time; // %t: ISO 8601
    std::string file; // %f
};

// Replaces %c %n %e %t %f in each argument, and %% by %; any other % stays as it is.
std::vector<std::string> expandMotionCommand(const std::vector<std::string>& args,
                                             const MotionCommandFields& fields);

// ISO 8601 local time with its offset, to the second: "2026-12-09T19:55:01+01:00".
std::string isoLocalTime(std::int64_t msSinceEpoch);

} // namespace norvale
