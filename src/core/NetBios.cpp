#include "NetBios.h"

#include <arpa/inet.h>
#include <cstdio>

namespace norvale::netbios {

namespace {

constexpr std::array<std::uint8_t, RequestSize> makeRequest() {
    std::array<std::uint8_t, RequestSize> r{};
    r[5] = 0x01;  // one question; id, flags and the other counts stay 0
    r[12] = 0x20; // the encoded name is 32 bytes long
    // "*" and fifteen zero bytes, each byte as 'A' + high nibble, 'A' + low nibble.
    r[13] = 'C';
    r[14] = 'K';
    for (std::size_t i = 15; i < 45; ++i)
        r[i] = 'A';
    r[45] = 0x00; // end of name
    r[47] = 0x21; // type NBSTAT
    r[49] = 0x01; // class IN
    return r;
}

constexpr std::array<std::uint8_t, RequestSize> request = makeRequest();

// Valid addresses (last octet 1..254) in [0, x).
std::uint64_t validBelow(std::uint64_t x) {
    const std::uint64_t rem = x & 0xFF;
    return (x >> 8) * 254 + (rem > 0 ? rem - 1 : 0);
}

bool isQueued(std::uint64_t address) {
    const auto last = address & 0xFF;
    return last != 0 && last != 255;
}

std::optional<std::uint32_t> parseAddress(const std::string& text) {
    const in_addr_t a = inet_addr(text.c_str());
    if (a == INADDR_NONE)
        return std::nullopt;
    return ntohl(a);
}

// 15 bytes of a name: control characters, blanks and zero bytes become blanks, then the blanks
// at both ends go.
std::string nameText(const std::uint8_t* bytes) {
    std::string s(15, ' ');
    for (std::size_t i = 0; i < 15; ++i)
        if (bytes[i] > 0x20)
            s[i] = static_cast<char>(bytes[i]);
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

} // namespace

const std::array<std::uint8_t, RequestSize>& nodeStatusRequest() {
    return request;
}

std::string dottedText(std::uint32_t a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (a >> 24) & 0xFF, (a >> 16) & 0xFF,
                  (a >> 8) & 0xFF, a & 0xFF);
    return buf;
}

AddressQueue::AddressQueue(std::uint32_t begin, std::uint32_t end) {
    if (end < begin)
        return;
    next_ = begin;
    end_ = end;
    remaining_ = validBelow(std::uint64_t{end} + 1) - validBelow(begin);
}

std::optional<std::string> AddressQueue::takeFirst() {
    while (remaining_ > 0 && next_ <= end_) {
        const std::uint64_t a = next_++;
        if (isQueued(a)) {
            --remaining_;
            return dottedText(static_cast<std::uint32_t>(a));
        }
    }
    return std::nullopt;
}

std::optional<AddressQueue> BuildAddressList(const std::string& beginIP, const std::string& endIP) {
    const auto end = parseAddress(endIP);
    if (!end)
        return std::nullopt;
    const auto begin = parseAddress(beginIP);
    if (!begin)
        return std::nullopt;
    return AddressQueue(*begin, *end);
}

std::string macText(const std::uint8_t* unitId) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < 6; ++i) {
        std::snprintf(buf, sizeof buf, "%.2X", unitId[i]);
        if (i > 0)
            s += '.';
        s += buf;
    }
    return s;
}

std::optional<NodeStatus> ParseNodeStatus(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr)
        return std::nullopt;
    // The answer's type (..21) and class (00 01); position 0 is never a candidate.
    std::size_t p = 1;
    for (; p + 2 < size; ++p)
        if (data[p] == 0x21 && data[p + 1] == 0x00 && data[p + 2] == 0x01)
            break;
    if (p + 2 >= size)
        return std::nullopt;

    const std::size_t countAt = p + 9;
    if (countAt >= size)
        return std::nullopt;
    const std::size_t names = data[countAt];
    if (names == 0)
        return std::nullopt;
    const std::size_t tableAt = p + 10;
    const std::size_t unitIdAt = tableAt + 18 * names;
    // A table or unit id cut short is not reported: half a name or a MAC address made up of
    // bytes nobody sent would mislead more than silence does.
    if (unitIdAt + 6 > size)
        return std::nullopt;

    NodeStatus status;
    for (std::size_t k = 0; k < names; ++k) {
        const std::uint8_t* entry = data + tableAt + 18 * k;
        const std::uint8_t suffix = entry[15];
        const bool group = (entry[16] & 0x80) != 0;
        if (group && suffix == 0x00)
            status.groupName = nameText(entry);
        else if (!group && suffix == 0x03)
            status.userName = nameText(entry);
        else if (!group && suffix == 0x20)
            status.computerName = nameText(entry);
    }
    status.macAddress = macText(data + unitIdAt);
    return status;
}

} // namespace norvale::netbios
