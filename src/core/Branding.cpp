#include "Branding.h"

#include <array>
#include <fstream>
#include <system_error>

namespace norvale {

namespace {

constexpr std::size_t kMaxBrandingFile = 1u << 20;

constexpr std::array<signed char, 256> makeDecodeTable() {
    std::array<signed char, 256> table{};
    for (auto& v : table)
        v = -1;
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return table;
}
constexpr auto kDecode = makeDecodeTable();

bool isTrimmed(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
}

std::string_view trimControls(std::string_view s) {
    while (!s.empty() && isTrimmed(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isTrimmed(s.back()))
        s.remove_suffix(1);
    return s;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

std::string decodeBase64Lenient(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        const int v = kDecode[static_cast<unsigned char>(c)];
        if (v < 0)
            continue;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if (++count == 4) {
            out += static_cast<char>((bits >> 16) & 0xFF);
            out += static_cast<char>((bits >> 8) & 0xFF);
            out += static_cast<char>(bits & 0xFF);
            bits = 0;
            count = 0;
        }
    }
    if (count == 2) {
        out += static_cast<char>((bits >> 4) & 0xFF);
    } else if (count == 3) {
        out += static_cast<char>((bits >> 10) & 0xFF);
        out += static_cast<char>((bits >> 2) & 0xFF);
    }
    return out;
}

Branding parseBranding(std::string_view iniText) {
    Branding result;
    struct Wanted {
        std::string_view key;
        std::string Branding::*field;
        bool found = false;
    };
    std::array<Wanted, 4> wanted{{{"APPLICATION_NAME", &Branding::applicationName},
                                  {"SUPPORT_URL", &Branding::supportUrl},
                                  {"PRODUCT_URL", &Branding::productUrl},
                                  {"COPYRIGHT_STRING", &Branding::copyright}}};

    bool haveSection = false;
    bool inSystem = false;
    std::size_t pos = 0;
    while (pos <= iniText.size()) {
        auto brk = iniText.find_first_of("\r\n", pos);
        if (brk == std::string_view::npos)
            brk = iniText.size();
        const std::string_view line = trimControls(iniText.substr(pos, brk - pos));
        pos = brk + 1;
        if (brk < iniText.size() && iniText[brk] == '\r' && pos < iniText.size() &&
            iniText[pos] == '\n')
            ++pos;

        if (line.empty() || line.front() == ';')
            continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            haveSection = true;
            inSystem = sameName(trimControls(line.substr(1, line.size() - 2)), "System");
            continue;
        }
        if (!haveSection || !inSystem)
            continue;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = trimControls(line.substr(0, eq));
        std::string_view value = trimControls(line.substr(eq + 1));
        // The values end up in C interfaces (file names, window titles): stop at a NUL.
        if (const auto nul = value.find('\0'); nul != std::string_view::npos)
            value = trimControls(value.substr(0, nul));
        for (auto& w : wanted) {
            if (!w.found && sameName(key, w.key)) {
                w.found = true;
                result.*(w.field) = std::string(value);
            }
        }
    }
    return result;
}

std::optional<Branding> loadBrandingFile(const std::filesystem::path& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status) || std::filesystem::is_directory(status))
        return std::nullopt;
    if (!std::filesystem::is_regular_file(status))
        return Branding{}; // a FIFO or device: never block on it
    std::string text;
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return Branding{};
        text.resize(kMaxBrandingFile);
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
    } catch (const std::exception&) {
        return Branding{}; // unreadable: like a file that does not decode
    }
    return parseBranding(decodeBase64Lenient(text));
}

} // namespace norvale
