#include "core/Branding.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace norvale {

void PrintTo(const Branding& b, std::ostream* os) {
    *os << "{\"" << b.applicationName << "\", \"" << b.supportUrl << "\", \"" << b.productUrl
        << "\", \"" << b.copyright << "\"}";
}

namespace {

using namespace std::literals;
using test::TempDir;
using test::writeFile;

std::string encode(std::string_view data, std::size_t lineLength = 0) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(data[i]) << 16 |
                           static_cast<unsigned char>(data[i + 1]) << 8 |
                           static_cast<unsigned char>(data[i + 2]);
        for (int s = 18; s >= 0; s -= 6)
            out += alphabet[(v >> s) & 63];
    }
    if (data.size() - i == 1) {
        const unsigned v = static_cast<unsigned char>(data[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (data.size() - i == 2) {
        const unsigned v = static_cast<unsigned char>(data[i]) << 16 |
                           static_cast<unsigned char>(data[i + 1]) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    if (lineLength == 0)
        return out;
    std::string broken;
    for (std::size_t p = 0; p < out.size(); p += lineLength)
        broken += out.substr(p, lineLength) + "\r\n";
    return broken;
}

TEST(DecodeBase64Lenient, DecodesAndSkipsEverythingOutsideTheAlphabet) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", ""},
        {"TWFu", "Man"},
        {"TWE=", "Ma"},
        {"TQ==", "M"},
        {"TWE", "Ma"}, // padding may be missing
        {"TQ", "M"},
        {"T", ""}, // a lone sextet is not a byte
        {"TW\r\nFu", "Man"},
        {" T W F u ", "Man"},
        {"T*W.F-u\t", "Man"},
        {"TQ==TWFu", "M"}, // "=" ends the data
        {"\xC3\xA9TWFu", "Man"},
        {"////", "\xFF\xFF\xFF"},
        {"++++", "\xFB\xEF\xBE"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(decodeBase64Lenient(in), out) << '"' << in << '"';
}

TEST(DecodeBase64Lenient, RoundTripsEveryByte) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (std::size_t len = 0; len <= all.size(); len += 37)
        EXPECT_EQ(decodeBase64Lenient(encode(all.substr(0, len), 76)), all.substr(0, len));
}

struct BrandingCase {
    const char* name;
    std::string_view ini;
    Branding expected;
};

Branding with(std::string name, std::string support = "about:blank",
              std::string product = "about:blank") {
    Branding b;
    b.applicationName = std::move(name);
    b.supportUrl = std::move(support);
    b.productUrl = std::move(product);
    return b;
}

TEST(ParseBranding, FollowsTheReadOnlyIniRules) {
    const Branding defaults;
    Branding all;
    all.applicationName = "Norvale";
    all.supportUrl = "https://example.org/support";
    all.productUrl = "https://example.org/";
    all.copyright = "Copyright (c) 2026";
    Branding emptyCopyright;
    emptyCopyright.copyright = "";

    const BrandingCase cases[] = {
        {"every key",
         "[System]\nAPPLICATION_NAME=Norvale\nSUPPORT_URL=https://example.org/support\n"
         "PRODUCT_URL=https://example.org/\nCOPYRIGHT_STRING=Copyright (c) 2026\n",
         all},
        {"only the name", "[System]\nAPPLICATION_NAME=Norvale\n", with("Norvale")},
        {"blanks around =", "[System]\n APPLICATION_NAME = Norvale \n", with("Norvale")},
        {"tabs and control characters trimmed", "[System]\n\tAPPLICATION_NAME\t=\tNorvale\x01\n",
         with("Norvale")},
        {"lower-case key and section", "[system]\napplication_name=Norvale\n", with("Norvale")},
        {"section name trimmed", "[ System ]\nAPPLICATION_NAME=Norvale\n", with("Norvale")},
        {"CRLF", "[System]\r\nAPPLICATION_NAME=Norvale\r\n", with("Norvale")},
        {"lone CR", "[System]\rAPPLICATION_NAME=Norvale\r", with("Norvale")},
        {"no final line end", "[System]\nAPPLICATION_NAME=Norvale", with("Norvale")},
        {"value keeps later =", "[System]\nSUPPORT_URL=https://x/?a=b\n",
         with("Webcam Application", "https://x/?a=b")},
        {"present but empty replaces the default", "[System]\nCOPYRIGHT_STRING=\n", emptyCopyright},
        {"comment", "[System]\n;APPLICATION_NAME=Norvale\n", defaults},
        {"before the first section", "APPLICATION_NAME=Norvale\n[System]\n", defaults},
        {"another section", "[Other]\nAPPLICATION_NAME=Norvale\n", defaults},
        {"section closed by another", "[System]\n[Other]\nAPPLICATION_NAME=Norvale\n", defaults},
        {"[ line without ] is no section", "[System]\n[Other\nAPPLICATION_NAME=Norvale\n",
         with("Norvale")},
        {"line without =", "[System]\nAPPLICATION_NAME\n", defaults},
        {"first key wins", "[System]\nAPPLICATION_NAME=A\nAPPLICATION_NAME=B\n", with("A")},
        {"value ends at NUL", "[System]\nAPPLICATION_NAME=Nor\0vale\n"sv, with("Nor")},
        {"empty text", "", defaults},
        {"garbage", "\x89PNG\x1a\xff\xfe[[[===", defaults},
        {"UTF-8 value kept", "[System]\nAPPLICATION_NAME=Überwachung\n", with("Überwachung")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseBranding(c.ini), c.expected) << c.name;
}

TEST(ParseBranding, DefaultCopyrightIsOneLine) {
    const Branding b;
    EXPECT_FALSE(b.copyright.empty());
    EXPECT_EQ(b.copyright.find_first_of("\r\n"), std::string::npos);
}

TEST(LoadBrandingFile, SameValuesWhateverTheLineLength) {
    const std::string ini = "; product texts\r\n[System]\r\nAPPLICATION_NAME=Norvale Test Wall\r\n"
                            "PRODUCT_URL=https://example.org/norvale\r\n";
    TempDir dir;
    writeFile(dir / "long.dll", encode(ini));
    writeFile(dir / "wrapped.dll", encode(ini, 76));
    writeFile(dir / "short.dll", encode(ini, 5));
    const auto expected = with("Norvale Test Wall", "about:blank", "https://example.org/norvale");
    for (const char* name : {"long.dll", "wrapped.dll", "short.dll"}) {
        const auto b = loadBrandingFile(dir / name);
        ASSERT_TRUE(b.has_value()) << name;
        EXPECT_EQ(*b, expected) << name;
    }
}

TEST(LoadBrandingFile, MissingFileIsTheOnlyFailure) {
    TempDir dir;
    EXPECT_FALSE(loadBrandingFile(dir / "update.dll").has_value());
    std::filesystem::create_directory(dir / "folder.dll");
    EXPECT_FALSE(loadBrandingFile(dir / "folder.dll").has_value());

    ASSERT_EQ(::mkfifo((dir / "fifo.dll").c_str(), 0600), 0);
    EXPECT_EQ(loadBrandingFile(dir / "fifo.dll"), Branding{});

    writeFile(dir / "empty.dll", "");
    writeFile(dir / "garbage.dll", "\x01\x02 not base64 at all !!!");
    for (const char* name : {"empty.dll", "garbage.dll"}) {
        const auto b = loadBrandingFile(dir / name);
        ASSERT_TRUE(b.has_value()) << name;
        EXPECT_EQ(*b, Branding{}) << name;
    }
}

} // namespace
} // namespace norvale
