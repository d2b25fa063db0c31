#pragma once
// NetBIOS Name Service node-status (NBSTAT) wire format: the request the LAN scanner sends to
// every probed address, the address range it walks, and the parser for the answers.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace norvale::netbios {

inline constexpr std::size_t RequestSize = 50;
// Answers longer than this are dropped by the receiver.
inline constexpr std::size_t ReceiveBufferSize = 500;

// The node-status request for the wildcard name "*": identical for every address.
const std::array<std::uint8_t, RequestSize>& nodeStatusRequest();

// Dotted text of a host-order IPv4 address, as inet_ntoa writes it ("10.0.1.5").
std::string dottedText(std::uint32_t hostOrderAddress);

// The addresses of an inclusive range in ascending unsigned order, skipping every address whose
// last octet is 0 or 255. The addresses are produced on demand, so a huge range costs no memory.
class AddressQueue {
public:
    AddressQueue() = default;
    AddressQueue(std::uint32_t begin, std::uint32_t end);

    // Number of addresses still queued.
    std::uint64_t size() const { return remaining_; }
    bool empty() const { return remaining_ == 0; }
    // Removes and returns the lowest queued address; nothing when the queue is empty.
    std::optional<std::string> takeFirst();

private:
    std::uint64_t next_ = 0; // candidate address, 64-bit so the walk can pass 255.255.255.255
    std::uint64_t end_ = 0;
    std::uint64_t remaining_ = 0;
};

// Parses both texts with inet_addr; either one that does not parse (this includes
// "255.255.255.255") gives nothing. An end below the begin gives an empty queue.
std::optional<AddressQueue> BuildAddressList(const std::string& beginIP, const std::string& endIP);

// What a node-status answer tells about a node. A value the answer does not carry is empty.
struct NodeStatus {
    std::string computerName; // unique name with suffix 0x20
    std::string userName;     // unique name with suffix 0x03, the last one listed
    std::string groupName;    // group name with suffix 0x00
    std::string macAddress;   // unit id as "00.0C.29.3A.5B.7F"
};

// "00.0C.29.3A.5B.7F" for six bytes.
std::string macText(const std::uint8_t* unitId);

// Reads only the `size` bytes at `data`. Gives nothing for a datagram without the type-and-class
// bytes 21 00 01 (searched from position 1), with zero names, or whose name table or unit id
// would run past the bytes received.
std::optional<NodeStatus> ParseNodeStatus(const std::uint8_t* data, std::size_t size);

} // namespace norvale::netbios
