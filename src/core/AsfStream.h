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

// The send time of a data packet, in milliseconds. Nothing when it cannot be parsed.
std::optional<std::uint32_t> packetSendTime(const std::uint8_t* data, std::size_t size);

// Moves a data packet's send time and the presentation time of each payload `baseMs` earlier,
// in place (a time before the base becomes 0), so that a viewer joining a running stream sees
// times counting from its own start. False, with the packet unchanged, when it cannot be parsed.
bool rebasePacketTimes(std::uint8_t* data, std::size_t size, std::uint32_t baseMs);

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

// What the header of a finished recording says about its video stream.
struct HeaderFacts {
    std::uint32_t bitRate = 0;         // bits per second
    std::uint64_t avgTimePerFrame = 0; // 100 ns units
};

// Writes the stream's bit rate (file properties, extended stream properties), its frame time
// and the image size in bytes (width x height x bit count / 8) into an ASF header, in place.
// `size` may cover the whole header object or only part of it: objects that do not fit whole
// are left alone. Returns the number of fields changed; 0 when it is no ASF header.
int repairHeader(std::uint8_t* header, std::size_t size, const HeaderFacts& facts);

} // namespace norvale::asf
