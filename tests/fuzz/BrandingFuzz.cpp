// The branding decoder on arbitrary file contents, and its INI rules on arbitrary decoded text.
#include "core/Branding.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string decoded = norvale::decodeBase64Lenient(input);
    if (decoded.size() > size / 4 * 3 + 2)
        std::abort();
    const auto fromFile = norvale::parseBranding(decoded);
    const auto direct = norvale::parseBranding(input);
    // Values are single trimmed lines.
    for (const auto* b : {&fromFile, &direct}) {
        for (const auto* v : {&b->applicationName, &b->supportUrl, &b->productUrl, &b->copyright}) {
            if (v->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
                std::abort();
        }
    }
    return 0;
}
