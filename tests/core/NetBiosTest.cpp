#include "core/NetBios.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace norvale::netbios;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Entry {
    std::string name; // up to 15 bytes, blank-padded by the builder unless raw is given
    std::uint8_t suffix;
    bool group;
    Bytes raw = {}; // exact 15 name bytes when not empty
};

// A node-status answer as a Windows host sends it: header, the echoed wildcard name, type and
// class, TTL, data length, the name table, the unit id and the statistics that follow it.
Bytes answer(const std::vector<Entry>& entries,
             const Bytes& mac = {0x00, 0x0C, 0x29, 0x3A, 0x5B, 0x7F}, std::size_t statistics = 40) {
    Bytes d = {0x00, 0x00, 0x84, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
    d.push_back(0x20);
    d.push_back('C');
    d.push_back('K');
    d.insert(d.end(), 30, 'A');
    d.push_back(0x00);
    d.insert(d.end(), {0x00, 0x21, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    d.push_back(static_cast<std::uint8_t>(entries.size()));
    for (const auto& e : entries) {
        if (!e.raw.empty()) {
            d.insert(d.end(), e.raw.begin(), e.raw.end());
        } else {
            std::string n = e.name;
            n.resize(15, ' ');
            d.insert(d.end(), n.begin(), n.end());
        }
        d.push_back(e.suffix);
        d.push_back(e.group ? 0x84 : 0x04);
        d.push_back(0x00);
    }
    d.insert(d.end(), mac.begin(), mac.end());
    d.insert(d.end(), statistics, 0x00);
    return d;
}

std::optional<NodeStatus> parse(const Bytes& d) {
    return ParseNodeStatus(d.data(), d.size());
}

const std::vector<Entry> typical = {
    {"DESK-7", 0x00, false}, {"DESK-7", 0x20, false}, {"OFFICE", 0x00, true},
    {"OFFICE", 0x1E, true},  {"DESK-7", 0x03, false}, {"ALICE", 0x03, false},
};

std::vector<std::string> drain(AddressQueue q) {
    std::vector<std::string> out;
    while (auto a = q.takeFirst())
        out.push_back(*a);
    return out;
}

} // namespace

TEST(NetBiosRequest, IsTheWildcardNodeStatusQuery) {
    const auto& r = nodeStatusRequest();
    Bytes expected = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0x20, 'C', 'K'};
    expected.insert(expected.end(), 30, 'A');
    expected.insert(expected.end(), {0x00, 0x00, 0x21, 0x00, 0x01});
    ASSERT_EQ(expected.size(), 50u);
    EXPECT_EQ(Bytes(r.begin(), r.end()), expected);
}

TEST(NetBiosParse, TypicalAnswerGivesComputerUserGroupAndMac) {
    const auto d = answer(typical);
    // In a regular answer the type byte 0x21 sits at position 47.
    ASSERT_EQ(d[47], 0x21);
    const auto s = parse(d);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->computerName, "DESK-7");
    EXPECT_EQ(s->userName, "ALICE"); // listed after the computer's own 0x03 entry
    EXPECT_EQ(s->groupName, "OFFICE");
    EXPECT_EQ(s->macAddress, "00.0C.29.3A.5B.7F");
}

TEST(NetBiosParse, ClassificationTable) {
    struct Case {
        const char* what;
        std::vector<Entry> entries;
        std::string computer, user, group;
    };
    const std::vector<Case> cases = {
        {"nobody logged on: the computer's own 0x03 name",
         {{"PC", 0x20, false}, {"PC", 0x03, false}, {"WG", 0x00, true}},
         "PC",
         "PC",
         "WG"},
        {"no 0x20 name", {{"PC", 0x00, false}, {"WG", 0x00, true}}, "", "", "WG"},
        {"group 0x20 is not a computer", {{"X", 0x20, true}}, "", "", ""},
        {"unique 0x00 is not a workgroup", {{"X", 0x00, false}}, "", "", ""},
        {"group 0x03 is not a user", {{"X", 0x03, true}}, "", "", ""},
        {"other suffixes ignored", {{"X", 0x1B, false}, {"Y", 0x1C, true}}, "", "", ""},
        {"last entry of a kind wins",
         {{"A", 0x20, false}, {"B", 0x20, false}, {"G1", 0x00, true}, {"G2", 0x00, true}},
         "B",
         "",
         "G2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto s = parse(answer(c.entries));
        ASSERT_TRUE(s);
        EXPECT_EQ(s->computerName, c.computer);
        EXPECT_EQ(s->userName, c.user);
        EXPECT_EQ(s->groupName, c.group);
    }
}

TEST(NetBiosParse, NameBytesBecomeTrimmedText) {
    struct Case {
        Bytes raw;
        std::string text;
    };
    const auto pad = [](std::string s, std::uint8_t fill) {
        Bytes b(s.begin(), s.end());
        b.resize(15, fill);
        return b;
    };
    const std::vector<Case> cases = {
        {pad("  LAB PC", ' '), "LAB PC"}, // inner blank stays, outer ones go
        {pad("ZERO", 0x00), "ZERO"},      // zero padding
        {pad("A\x01"
             "B\x1F"
             "C\tD",
             ' '),
         "A B C D"},                         // control characters become blanks
        {pad("\x05\x10TRIM", 0x00), "TRIM"}, // leading control characters trimmed
        {pad("", 0x00), ""},                 // nothing but padding
        {pad("\xC3\xA9t\xC3\xA9\x7F", ' '), "\xC3\xA9t\xC3\xA9\x7F"}, // bytes above 0x20 kept
        {pad("FIFTEEN-LETTERS", ' '), "FIFTEEN-LETTERS"},
    };
    for (const auto& c : cases) {
        const auto s = parse(answer({{"", 0x20, false, c.raw}}));
        ASSERT_TRUE(s);
        EXPECT_EQ(s->computerName, c.text);
    }
}

TEST(NetBiosParse, MacTextHasTwoUpperCaseDigitsPerByte) {
    const std::uint8_t a[] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    const std::uint8_t b[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::uint8_t c[] = {0xFF, 0xA0, 0x01, 0x10, 0xBC, 0xDE};
    EXPECT_EQ(macText(a), "0A.0B.0C.0D.0E.0F");
    EXPECT_EQ(macText(b), "00.00.00.00.00.00");
    EXPECT_EQ(macText(c), "FF.A0.01.10.BC.DE");
}

TEST(NetBiosParse, DroppedAnswers) {
    const auto full = answer(typical, {1, 2, 3, 4, 5, 6}, 0);
    struct Case {
        const char* what;
        Bytes data;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"zero names", answer({})},
        {"no type and class", Bytes(60, 0x41)},
        {"21 00 01 only at position 0",
         [] {
             Bytes d = {0x21, 0x00, 0x01};
             d.resize(100, 0x00);
             d[9] = 1;
             return d;
         }()},
        {"cut before the name count", Bytes(full.begin(), full.begin() + 50)},
        {"cut inside the name table", Bytes(full.begin(), full.begin() + 80)},
        {"unit id one byte short", Bytes(full.begin(), full.end() - 1)},
        {"name count larger than the table",
         [&] {
             Bytes d = full;
             d[56] = 200;
             return d;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(parse(c.data));
    }
    // Exactly long enough: the unit id is the last six bytes.
    const auto s = parse(full);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->macAddress, "01.02.03.04.05.06");
}

TEST(NetBiosParse, SearchStartsAtPositionOneAndTakesTheFirstMatch) {
    // A datagram whose type-and-class pattern sits right at position 1.
    Bytes d = {0xFF, 0x21, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 1};
    std::string n = "EARLY";
    n.resize(15, ' ');
    d.insert(d.end(), n.begin(), n.end());
    d.insert(d.end(), {0x20, 0x00, 0x00, 9, 8, 7, 6, 5, 4});
    const auto s = parse(d);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->computerName, "EARLY");
    EXPECT_EQ(s->macAddress, "09.08.07.06.05.04");
}

TEST(NetBiosParse, FullSizeDatagramOf500Bytes) {
    // 24 names fill the table; the statistics pad the datagram to the receive buffer's size.
    std::vector<Entry> many(23, {"SERVICE", 0x1B, false});
    many.push_back({"LAST", 0x20, false});
    auto d = answer(many, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, 0);
    ASSERT_LE(d.size(), ReceiveBufferSize);
    d.resize(ReceiveBufferSize, 0x00);
    const auto s = parse(d);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->computerName, "LAST");
    EXPECT_EQ(s->macAddress, "AA.BB.CC.DD.EE.FF");
}

TEST(NetBiosAddressList, Ranges) {
    struct Case {
        const char* begin;
        const char* end;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", "127.0.0.1", {"127.0.0.1"}},
        {"10.0.0.250",
         "10.0.1.5",
         {"10.0.0.250", "10.0.0.251", "10.0.0.252", "10.0.0.253", "10.0.0.254", "10.0.1.1",
          "10.0.1.2", "10.0.1.3", "10.0.1.4", "10.0.1.5"}},
        {"127.255.255.250",
         "128.0.0.5",
         {"127.255.255.250", "127.255.255.251", "127.255.255.252", "127.255.255.253",
          "127.255.255.254", "128.0.0.1", "128.0.0.2", "128.0.0.3", "128.0.0.4", "128.0.0.5"}},
        {"10.0.0.0", "10.0.0.0", {}},
        {"10.0.0.255", "10.0.1.0", {}},
        {"10.0.0.9", "10.0.0.8", {}}, // end below begin: empty, still valid
        {"0.0.0.0", "0.0.0.2", {"0.0.0.1", "0.0.0.2"}},
        {"10.1", "10.1", {"10.0.0.1"}}, // inet_addr's short forms
        {"0x0A.0.0.1", "012.0.0.2", {"10.0.0.1", "10.0.0.2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.begin) + " - " + c.end);
        auto q = BuildAddressList(c.begin, c.end);
        ASSERT_TRUE(q);
        EXPECT_EQ(q->size(), c.expected.size());
        EXPECT_EQ(drain(*q), c.expected);
    }
}

TEST(NetBiosAddressList, WholeClassCNetworkQueues254) {
    auto q = BuildAddressList("192.168.1.0", "192.168.1.255");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->size(), 254u);
    const auto all = drain(*q);
    ASSERT_EQ(all.size(), 254u);
    EXPECT_EQ(all.front(), "192.168.1.1");
    EXPECT_EQ(all.back(), "192.168.1.254");
}

TEST(NetBiosAddressList, HugeRangeIsCountedWithoutBeingBuilt) {
    auto q = BuildAddressList("0.0.0.0", "255.255.255.254");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->size(), 16777216u * 254u);
    EXPECT_EQ(q->takeFirst(), "0.0.0.1");
    EXPECT_EQ(q->size(), 16777216u * 254u - 1u);
}

TEST(NetBiosAddressList, InvalidTextsGiveNothing) {
    for (const char* bad : {"abc", "", "255.255.255.255", "1.2.3.4.5", "300.1.1.1"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(BuildAddressList(bad, "10.0.0.1"));
        EXPECT_FALSE(BuildAddressList("10.0.0.1", bad));
    }
}
