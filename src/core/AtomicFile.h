#pragma once
// Writing a file so that it appears whole or not at all: the bytes go to a temporary name in
// the same folder, which is renamed over the target only once every byte is written; on any
// failure (full disk, missing folder, a name too long) the temporary file is removed again.
#include <cstddef>
#include <cstdint>
#include <string>

namespace norvale {

// True when `path` now holds exactly `data`. An existing file of that name is replaced.
bool writeFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t size);

} // namespace norvale
