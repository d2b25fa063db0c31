#pragma once
// ASF data for live viewers: where key frames start in the muxer's data packets, and the
// Windows Media HTTP streaming framing ($H header and $D data chunks) that Windows Media players
// expect around the ASF header and packets. Plain C++, tested and fuzzed without GStreamer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace norvale::asf {

// True when a key frame begins in this ASF data packet: some payload is flagged as belonging to
// a key frame and carries the start of its media object (offset 0, or a compressed payload,
// which only holds whole objects). A packet that only continues a key frame begun earlier gives
// false. Nothing when the packet cannot be parsed; never reads outside `size` bytes.
std::optional<bool> packetStartsKeyFrame(const std::uint8_t* data, std::size_t size);

// A packet in which a key frame starts after payloads of earlier pictures, cut in two packets
// of the same size: the earlier payloads, then the payloads from the key frame's start on.
// Each declares the full packet size as its length and pads the rest. A viewer that starts at
// the second one begins with the key frame instead of pictures it cannot decode.
struct KeyFrameSplit {
    std::vector<std::uint8_t> before;
    std::vector<std::uint8_t> from;
};

// Nothing when the key frame starts at the first payload, no key frame starts, or the packet
// cannot be parsed or rewritten (single payload, no padding field). Never reads outside `size`.
std::optional<KeyFrameSplit> splitAtKeyFrame(const std::uint8_t* data, std::size_t size);

// Framing header plus the MMS data packet header in front of each chunk.
inline constexpr std::size_t ChunkPrefixSize = 12;
// The largest payload one chunk can carry (its length fields are 16 bits).
inline constexpr std::size_t MaxChunkPayload = 0xFFFF - 8;

// The prefix of a $D chunk carrying one ASF data packet of `payloadSize` bytes (at most
// MaxChunkPayload): "$D", the length, then the packet number in the live stream.
std::array<std::uint8_t, ChunkPrefixSize> dataChunkPrefix(std::uint32_t packetNumber,
                                                          std::size_t payloadSize);

// The ASF header (header object plus the data object's fixed 50 bytes) as $H chunks: one chunk
// when it fits, otherwise consecutive pieces numbered from 0.
std::vector<std::uint8_t> headerChunks(const std::uint8_t* header, std::size_t size);

} // namespace norvale::asf
