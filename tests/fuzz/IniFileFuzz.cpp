// The settings-file engine on arbitrary text: the text survives a parse unchanged, and a
// single-key update gives a text that parses to itself and reads the written value back.
#include "core/IniFile.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

std::string_view blanksTrimmed(std::string_view s) {
    constexpr std::string_view blanks = " \t\v\f";
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

void require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // Layout: three length bytes, then section, key and value of one update, then the text.
    std::string_view rest = input;
    std::size_t lengths[3] = {4, 4, 8};
    if (rest.size() >= 3) {
        for (auto& len : lengths)
            len = static_cast<unsigned char>(rest[&len - lengths]) % 24;
        rest.remove_prefix(3);
    }
    std::string_view parts[3];
    for (int i = 0; i < 3; ++i) {
        parts[i] = rest.substr(0, std::min(lengths[i], rest.size()));
        rest.remove_prefix(parts[i].size());
    }
    const std::string_view text = rest;

    auto doc = norvale::IniDocument::parse(text);
    require(doc.text() == text);
    (void)doc.value(parts[0], parts[1]);

    try {
        doc.setValue(parts[0], parts[1], parts[2]);
    } catch (const std::invalid_argument&) {
        require(doc.text() == text);
        return 0;
    }
    const std::string updated = doc.text();
    const auto reparsed = norvale::IniDocument::parse(updated);
    require(reparsed.text() == updated);

    std::string expected(parts[2]);
    for (char& c : expected)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    expected = std::string(blanksTrimmed(expected));
    const auto read = reparsed.value(parts[0], parts[1]);
    require(read.has_value());
    require(*read == expected.substr(0, read->size()));
    require(read->size() == expected.size() || read->size() >= norvale::kMaxProfileValue - 3);

    // Integer parsing never misbehaves on any value.
    (void)norvale::parseProfileInteger(*read, 0);
    return 0;
}
