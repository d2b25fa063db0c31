#pragma once
// A GNU gettext message catalogue (.mo), read with every offset checked against the file.
//
// Accepted: the magic number 0x950412de in either byte order, major revision 0 or 1 (any minor
// revision; the system-dependent strings of revision 1 are not used). A file that is too short,
// has another magic or revision, or whose string tables point outside the file gives an empty
// catalogue; a single string pointing outside the file makes only that entry absent.
//
// Lookup is by the plain msgid: entries with a context ("ctx\x04msgid") are not found; a plural
// entry is found by its singular msgid and gives its first form; the header entry (empty msgid)
// and empty translations count as absent; with duplicated msgids the first one wins.
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace norvale {

class MoCatalog {
public:
    MoCatalog() = default;

    // Never throws for corrupt input: it gives an empty (or partial) catalogue.
    static MoCatalog fromBytes(std::string bytes);
    // A missing or unreadable file gives an empty catalogue.
    static MoCatalog load(const std::filesystem::path& path);

    // The translation of msgid; the view stays valid as long as this catalogue (or a copy).
    std::optional<std::string_view> lookup(std::string_view msgid) const;
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

private:
    std::shared_ptr<const std::string> bytes_; // views in entries_ point into it
    std::unordered_map<std::string_view, std::string_view> entries_;
};

} // namespace norvale
