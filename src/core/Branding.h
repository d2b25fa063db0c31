#pragma once
// The branding file: product texts kept beside the executable as base64 of a small INI text.
//
// INI rules of the decoded text (read only, in memory):
//  - lines end at CR, LF or CR LF; each line is trimmed of blanks and control characters
//    (bytes up to 0x20 and 0x7F); empty lines and lines starting with ";" are ignored;
//  - a line "[...]" opens a section (name trimmed); lines before the first section are ignored;
//  - "key=value" inside a section: key before the first "=", value after it, both trimmed;
//  - names match without regard to ASCII letter case; the first occurrence of a key wins;
//  - a present key replaces its default even when empty; a value ends at its first NUL byte.
// Keys come from section "System": APPLICATION_NAME, SUPPORT_URL, PRODUCT_URL, COPYRIGHT_STRING.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace norvale {

struct Branding {
    std::string applicationName = "Webcam Application";
    std::string supportUrl = "about:blank";
    std::string productUrl = "about:blank";
    std::string copyright = "Copyright (c) All rights reserved.";

    bool operator==(const Branding&) const = default;
};

// Standard base64 with every character outside the alphabet skipped; "=" ends the data.
// A trailing group of 2 or 3 characters gives 1 or 2 bytes; a single one gives nothing.
std::string decodeBase64Lenient(std::string_view text);

// The branding values of a decoded INI text; anything not found keeps its default.
Branding parseBranding(std::string_view iniText);

// Reads, decodes and parses the branding file. nullopt only when no file exists at path (a
// folder of that name counts as no file); an unreadable or undecodable file gives the defaults.
// At most the first MiB is read: real branding files are a few hundred bytes.
std::optional<Branding> loadBrandingFile(const std::filesystem::path& path);

} // namespace norvale
