#pragma once
// MPEG-TS data for live viewers: where a viewer that joins may start. Plain C++, tested without
// GStreamer.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace norvale::ts {

constexpr std::size_t PacketSize = 188;

// The offset of the first whole packet in `data` that is a random access point (its adaptation
// field's random access indicator: a key frame begins there, as the muxer marks it); nothing
// when none is. `data` holds whole packets from its start; one that does not begin with the sync
// byte, and a cut-off packet at the end, are passed over. Never reads outside `size` bytes.
std::optional<std::size_t> randomAccessOffset(const std::uint8_t* data, std::size_t size);

} // namespace norvale::ts
