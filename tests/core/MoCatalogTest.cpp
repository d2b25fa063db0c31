#include "core/MoCatalog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace norvale {
namespace {

using namespace std::literals;
using test::readFile;
using test::TempDir;
using test::writeFile;

const char* const kPo = R"(msgid ""
msgstr ""
"Content-Type: text/plain; charset=UTF-8\n"
"Language: en\n"
"Plural-Forms: nplurals=2; plural=(n != 1);\n"

msgid "Preview"
msgstr "Live view"

msgid "Not Selected"
msgstr "Nothing selected"

msgid "Please select one Camera!"
msgstr "Please select a camera first."

msgctxt "menu"
msgid "Exit"
msgstr "Quit from the menu"

msgid "%d camera"
msgid_plural "%d cameras"
msgstr[0] "%d device"
msgstr[1] "%d devices"

msgid "Größe"
msgstr "Size"

msgid "Untranslated"
msgstr ""

#, fuzzy
msgid "Fuzzy"
msgstr "Not sure"
)";

// Compiles kPo with msgfmt in the given byte order; empty when msgfmt is not there.
std::string compile(const TempDir& dir, const char* endianness) {
    const auto po = dir / "default.po";
    const auto mo = dir / (std::string("default-") + endianness + ".mo");
    writeFile(po, kPo);
    const std::string command = "msgfmt --endianness=" + std::string(endianness) + " -o '" +
                                mo.string() + "' '" + po.string() + "'";
    if (std::system(command.c_str()) != 0)
        return {};
    return readFile(mo);
}

void expectTheCatalogue(const MoCatalog& mo) {
    EXPECT_EQ(mo.size(), 5u);
    EXPECT_EQ(mo.lookup("Preview"), "Live view"sv);
    EXPECT_EQ(mo.lookup("Not Selected"), "Nothing selected"sv);
    EXPECT_EQ(mo.lookup("Please select one Camera!"), "Please select a camera first."sv);
    EXPECT_EQ(mo.lookup("%d camera"), "%d device"sv); // plural: the first form
    EXPECT_EQ(mo.lookup("Größe"), "Size"sv);
    const std::string_view absent[] = {
        "",     // the header is not a translation
        "Exit", // only with a context
        "menu\x04"
        "Exit",
        "%d cameras",
        "Untranslated",
        "Fuzzy",
        "preview", // msgids match exactly
        "Preview ",
    };
    for (const auto id : absent)
        EXPECT_FALSE(mo.lookup(id).has_value()) << '"' << id << '"';
}

TEST(MoCatalog, ReadsCataloguesOfBothByteOrders) {
    TempDir dir;
    for (const char* order : {"little", "big"}) {
        const std::string bytes = compile(dir, order);
        ASSERT_FALSE(bytes.empty()) << "msgfmt failed";
        SCOPED_TRACE(order);
        expectTheCatalogue(MoCatalog::fromBytes(bytes));
        expectTheCatalogue(MoCatalog::load(dir / (std::string("default-") + order + ".mo")));
    }
}

TEST(MoCatalog, LookupsOutliveMovesAndCopies) {
    TempDir dir;
    const std::string bytes = compile(dir, "little");
    ASSERT_FALSE(bytes.empty());
    MoCatalog copy;
    std::optional<std::string_view> text;
    {
        MoCatalog original = MoCatalog::fromBytes(bytes);
        MoCatalog moved = std::move(original);
        copy = moved;
        text = moved.lookup("Preview");
    }
    EXPECT_EQ(copy.lookup("Preview"), "Live view"sv);
    EXPECT_EQ(text, "Live view"sv);
}

TEST(MoCatalog, MissingOrUnreadableFileIsEmpty) {
    TempDir dir;
    EXPECT_EQ(MoCatalog::load(dir / "none.mo").size(), 0u);
    std::filesystem::create_directory(dir / "folder.mo");
    EXPECT_EQ(MoCatalog::load(dir / "folder.mo").size(), 0u);
    writeFile(dir / "text.mo", "msgid \"Preview\"\nmsgstr \"Live view\"\n");
    EXPECT_EQ(MoCatalog::load(dir / "text.mo").size(), 0u);
}

// A little-endian catalogue built by hand, so the header and tables can be bent.
struct MoBuilder {
    std::vector<std::pair<std::string, std::string>> entries;
    std::uint32_t revision = 0;

    std::string build() const {
        const std::size_t n = entries.size();
        const std::size_t originals = 28;
        const std::size_t translations = originals + n * 8;
        std::size_t offset = translations + n * 8;
        std::string out(offset, '\0');
        auto put = [&out](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                out[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
        };
        put(0, 0x950412de);
        put(4, revision);
        put(8, static_cast<std::uint32_t>(n));
        put(12, static_cast<std::uint32_t>(originals));
        put(16, static_cast<std::uint32_t>(translations));
        for (std::size_t i = 0; i < n; ++i) {
            for (int side = 0; side < 2; ++side) {
                const std::string& s = side == 0 ? entries[i].first : entries[i].second;
                const std::size_t table = side == 0 ? originals : translations;
                put(table + i * 8, static_cast<std::uint32_t>(s.size()));
                put(table + i * 8 + 4, static_cast<std::uint32_t>(out.size()));
                out += s;
                out += '\0';
            }
        }
        return out;
    }
};

void put32(std::string& bytes, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

TEST(MoCatalog, HandBuiltCatalogueRules) {
    MoBuilder b;
    b.entries = {{"", "Content-Type: text/plain; charset=UTF-8\n"},
                 {"A", "first"},
                 {"A", "second"},
                 {"Empty", ""},
                 {"Empty first form\0x"s, "\0second form"s},
                 {"ctx\x04"
                  "B",
                  "with context"}};
    const auto mo = MoCatalog::fromBytes(b.build());
    EXPECT_EQ(mo.size(), 1u);
    EXPECT_EQ(mo.lookup("A"), "first"sv);
    EXPECT_FALSE(mo.lookup("Empty").has_value());
    EXPECT_FALSE(mo.lookup("Empty first form").has_value());
    EXPECT_FALSE(mo.lookup("B").has_value());

    // Minor revisions and the system-dependent revision 1 read the same; revision 2 does not.
    for (const std::uint32_t revision : {0x00000001u, 0x00010000u, 0x0001ffffu, 0x00020000u}) {
        b.revision = revision;
        EXPECT_EQ(MoCatalog::fromBytes(b.build()).size(), revision < 0x20000 ? 1u : 0u)
            << std::hex << revision;
    }
}

TEST(MoCatalog, CorruptCataloguesNeverGiveWrongTexts) {
    TempDir dir;
    const std::string good = compile(dir, "little");
    ASSERT_FALSE(good.empty());

    // A damaged catalogue may lose entries but never gives a wrong text.
    auto expectNoWrongText = [](const MoCatalog& mo, const std::string& where) {
        for (const auto& [id, text] : {std::pair{"Preview"sv, "Live view"sv},
                                       std::pair{"Not Selected"sv, "Nothing selected"sv},
                                       std::pair{"%d camera"sv, "%d device"sv}}) {
            const auto found = mo.lookup(id);
            EXPECT_TRUE(!found || *found == text) << where << ": " << id;
        }
    };
    for (std::size_t len = 0; len < good.size(); ++len)
        expectNoWrongText(MoCatalog::fromBytes(good.substr(0, len)),
                          "cut at " + std::to_string(len));

    struct Bend {
        const char* what;
        std::size_t at;
        std::uint32_t value;
    };
    const Bend bends[] = {
        {"wrong magic", 0, 0x12345678},
        {"unknown revision", 4, 0x00050000},
        {"huge count", 8, 0xFFFFFFFF},
        {"count just too large", 8, static_cast<std::uint32_t>(good.size() / 8)},
        {"original table outside", 12, 0xFFFFFFF0},
        {"translation table outside", 16, static_cast<std::uint32_t>(good.size())},
    };
    for (const auto& bend : bends) {
        std::string bytes = good;
        put32(bytes, bend.at, bend.value);
        EXPECT_EQ(MoCatalog::fromBytes(bytes).size(), 0u) << bend.what;
    }

    // One string pointing outside the file loses only that entry.
    MoBuilder b;
    b.entries = {{"A", "a"}, {"B", "b"}};
    std::string bytes = b.build();
    put32(bytes, 28 + 16 + 8 + 4, 0xFFFFFFFE); // offset of the translation of "B"
    auto mo = MoCatalog::fromBytes(bytes);
    EXPECT_EQ(mo.lookup("A"), "a"sv);
    EXPECT_FALSE(mo.lookup("B").has_value());
    bytes = b.build();
    put32(bytes, 28 + 16 + 8, 0xFFFFFFFF); // length of the translation of "B"
    mo = MoCatalog::fromBytes(bytes);
    EXPECT_EQ(mo.lookup("A"), "a"sv);
    EXPECT_FALSE(mo.lookup("B").has_value());
}

} // namespace
} // namespace norvale
