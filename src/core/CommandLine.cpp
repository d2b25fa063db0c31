#include "CommandLine.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace norvale {

std::optional<std::vector<std::string>> splitCommandLine(std::string_view line) {
    std::vector<std::string> args;
    std::string current;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord)
                args.push_back(std::move(current));
            current.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            if (++i >= line.size())
                return std::nullopt;
            current += line[i];
        } else if (c == '\'') {
            const auto close = line.find('\'', i + 1);
            if (close == std::string_view::npos)
                return std::nullopt;
            current.append(line.substr(i + 1, close - i - 1));
            i = close;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i >= line.size())
                    return std::nullopt;
                if (line[i] == '"')
                    break;
                if (line[i] == '\\' && i + 1 < line.size() &&
                    (line[i + 1] == '"' || line[i + 1] == '\\' || line[i + 1] == '$' ||
                     line[i + 1] == '`'))
                    ++i;
                current += line[i];
            }
        } else {
            current += c;
        }
    }
    if (inWord)
        args.push_back(std::move(current));
    return args;
}

std::vector<std::string> expandMotionCommand(const std::vector<std::string>& args,
                                             const MotionCommandFields& fields) {
    std::vector<std::string> out;
    out.reserve(args.size());
    for (const auto& arg : args) {
        std::string text;
        for (std::size_t i = 0; i < arg.size(); ++i) {
            if (arg[i] != '%' || i + 1 >= arg.size()) {
                text += arg[i];
                continue;
            }
            switch (arg[i + 1]) {
            case 'c':
                text += std::to_string(fields.camera);
                break;
            case 'n':
                text += fields.name;
                break;
            case 'e':
                text += fields.edge;
                break;
            case 't':
                text += fields.time;
                break;
            case 'f':
                text += fields.file;
                break;
            case '%':
                text += '%';
                break;
            default:
                text += arg[i];
                continue; // not ours: keep the % and read on
            }
            ++i;
        }
        out.push_back(std::move(text));
    }
    return out;
}

std::string isoLocalTime(std::int64_t msSinceEpoch) {
    const auto seconds = static_cast<std::time_t>(msSinceEpoch >= 0 ? msSinceEpoch / 1000
                                                                    : (msSinceEpoch - 999) / 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    const int offset = static_cast<int>(tm.tm_gmtoff / 60); // minutes
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  offset < 0 ? '-' : '+', std::abs(offset) / 60 % 100, std::abs(offset) % 60);
    return text;
}

} // namespace norvale
