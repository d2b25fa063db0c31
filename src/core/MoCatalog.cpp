#include "MoCatalog.h"

#include <cstdint>
#include <fstream>
#include <iterator>

namespace norvale {

namespace {

constexpr std::uint32_t kMagic = 0x950412de;
constexpr std::uint32_t kMagicSwapped = 0xde120495;
constexpr std::size_t kHeaderSize = 28;

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    bool init() {
        if (bytes_.size() < kHeaderSize)
            return false;
        const std::uint32_t magic = rawAt(0);
        if (magic == kMagic)
            swapped_ = false;
        else if (magic == kMagicSwapped)
            swapped_ = true;
        else
            return false;
        return true;
    }

    // The 32-bit word at offset; the caller has checked offset + 4 <= size.
    std::uint32_t at(std::size_t offset) const {
        const std::uint32_t v = rawAt(offset);
        if (!swapped_)
            return v;
        return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
    }

    // The table of count (length, offset) pairs at offset, if it lies inside the file.
    bool tableFits(std::size_t offset, std::size_t count) const {
        const std::size_t size = bytes_.size();
        return offset <= size && count <= (size - offset) / 8;
    }

    // String number index of the table at tableOffset, if it lies inside the file.
    std::optional<std::string_view> string(std::size_t tableOffset, std::size_t index) const {
        const std::size_t entry = tableOffset + index * 8;
        const std::size_t length = at(entry);
        const std::size_t offset = at(entry + 4);
        const std::size_t size = bytes_.size();
        if (offset > size || length > size - offset)
            return std::nullopt;
        return bytes_.substr(offset, length);
    }

private:
    std::uint32_t rawAt(std::size_t offset) const {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data()) + offset;
        // Assembled in the file's order as if little-endian; at() swaps for big-endian files.
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    }

    std::string_view bytes_;
    bool swapped_ = false;
};

} // namespace

MoCatalog MoCatalog::fromBytes(std::string bytes) {
    MoCatalog catalog;
    catalog.bytes_ = std::make_shared<const std::string>(std::move(bytes));
    const std::string_view data = *catalog.bytes_;

    Reader reader(data);
    if (!reader.init())
        return {};
    const std::uint32_t majorRevision = reader.at(4) >> 16;
    if (majorRevision > 1)
        return {};
    const std::size_t count = reader.at(8);
    const std::size_t originals = reader.at(12);
    const std::size_t translations = reader.at(16);
    if (!reader.tableFits(originals, count) || !reader.tableFits(translations, count))
        return {};

    catalog.entries_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        auto msgid = reader.string(originals, i);
        auto msgstr = reader.string(translations, i);
        if (!msgid || !msgstr)
            continue;
        // A plural entry holds "singular\0plural" and its forms separated by NULs.
        msgid = msgid->substr(0, msgid->find('\0'));
        msgstr = msgstr->substr(0, msgstr->find('\0'));
        if (msgid->empty() || msgstr->empty() || msgid->find('\x04') != std::string_view::npos)
            continue;
        catalog.entries_.emplace(*msgid, *msgstr); // the first of duplicated msgids stays
    }
    if (catalog.entries_.empty())
        return {};
    return catalog;
}

MoCatalog MoCatalog::load(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return {};
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return {};
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad())
            return {};
        return fromBytes(std::move(bytes));
    } catch (const std::exception&) {
        // A read error surfaces from the stream buffer as an exception.
        return {};
    }
}

std::optional<std::string_view> MoCatalog::lookup(std::string_view msgid) const {
    const auto it = entries_.find(msgid);
    if (it == entries_.end())
        return std::nullopt;
    return it->second;
}

} // namespace norvale
