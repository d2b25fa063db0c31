// The catalogue reader on arbitrary bytes: no read outside the buffer, and every text found is
// a non-empty view into the catalogue's own copy.
#include "core/MoCatalog.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto catalog = norvale::MoCatalog::fromBytes(bytes);
    if (catalog.size() > size / 8)
        std::abort();
    // Look up every NUL-terminated piece of the input, the way real msgids sit in the file.
    std::size_t start = 0;
    for (std::size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == '\0') {
            const auto found = catalog.lookup(std::string_view(bytes).substr(start, i - start));
            if (found && found->empty())
                std::abort();
            if (found)
                (void)std::string(*found); // touch every byte (ASan checks the view)
            start = i + 1;
        }
    }
    (void)catalog.lookup("Preview");
    return 0;
}
