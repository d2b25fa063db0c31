#include "IniFile.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace norvale {

namespace {

constexpr std::string_view kBlanks = " \t\v\f";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    }
    return true;
}

// Whether a line can be a section header: its first non-blank character is "[". Lookups skip
// every other line outside the section they look for without classifying it, which keeps a
// search through a large file cheap.
bool mayBeSection(std::string_view line) {
    for (char c : line) {
        if (c == '[')
            return true;
        if (kBlanks.find(c) == std::string_view::npos)
            return false;
    }
    return false;
}

// What one line means.
struct LineInfo {
    enum Kind { Blank, Comment, Section, Key, Other };
    Kind kind = Other;
    std::string_view name;      // section or key name, trimmed
    std::size_t valueBegin = 0; // Key: offset of the value (after "=" and blanks)
    std::string_view value;     // Key: trimmed value
};

LineInfo classify(std::string_view line) {
    LineInfo info;
    const std::string_view body = trimmed(line);
    if (body.empty()) {
        info.kind = LineInfo::Blank;
        return info;
    }
    if (body.front() == ';') {
        info.kind = LineInfo::Comment;
        return info;
    }
    if (body.front() == '[') {
        const auto close = body.find(']');
        if (close != std::string_view::npos) {
            info.kind = LineInfo::Section;
            info.name = trimmed(body.substr(1, close - 1));
        }
        return info;
    }
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return info;
    info.name = trimmed(line.substr(0, eq));
    if (info.name.empty())
        return info;
    info.kind = LineInfo::Key;
    const auto rest = line.substr(eq + 1);
    const auto first = rest.find_first_not_of(kBlanks);
    info.valueBegin = first == std::string_view::npos ? line.size() : eq + 1 + first;
    info.value = trimmed(rest);
    return info;
}

// Cut to kMaxProfileValue bytes without leaving a broken UTF-8 sequence at the end.
std::string_view cutValue(std::string_view v) {
    const auto nul = v.find('\0');
    if (nul != std::string_view::npos)
        v = v.substr(0, nul);
    if (v.size() <= kMaxProfileValue)
        return v;
    std::size_t end = kMaxProfileValue;
    // Step back over continuation bytes to the lead byte of the sequence the cut falls into.
    std::size_t lead = end;
    while (lead > 0 && end - lead < 3 && (static_cast<unsigned char>(v[lead]) & 0xC0) == 0x80)
        --lead;
    if (lead < end) {
        const auto c = static_cast<unsigned char>(v[lead]);
        const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (len > 1 && lead + len > end)
            end = lead; // the sequence would be split: leave it out whole
    }
    return v.substr(0, end);
}

bool hasAny(std::string_view s, std::string_view chars) {
    return s.find_first_of(chars) != std::string_view::npos;
}

std::string_view checkedSection(std::string_view section) {
    const auto name = trimmed(section);
    if (name.empty() || hasAny(name, std::string_view("\r\n\0]", 4)))
        throw std::invalid_argument("unusable INI section name");
    return name;
}

std::string_view checkedKey(std::string_view key) {
    const auto name = trimmed(key);
    if (name.empty() || hasAny(name, std::string_view("\r\n\0=", 4)) || name.front() == '[' ||
        name.front() == ';')
        throw std::invalid_argument("unusable INI key name");
    return name;
}

std::string oneLine(std::string_view value) {
    std::string v(value);
    for (char& c : v) {
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    }
    return v;
}

} // namespace

int parseProfileInteger(std::string_view text, int def) {
    if (text.empty())
        return def;
    std::string_view hex;
    if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        hex = text.substr(2);
    else if (text[0] == '$')
        hex = text.substr(1);
    if (!hex.empty() || text[0] == '$') {
        if (hex.empty())
            return def;
        std::uint64_t v = 0;
        for (char c : hex) {
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return def;
            v = v * 16 + static_cast<std::uint64_t>(d);
            if (v > 0xFFFFFFFFu)
                return def;
        }
        return static_cast<int>(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
    }
    bool negative = false;
    std::string_view digits = text;
    if (digits.front() == '-') {
        negative = true;
        digits.remove_prefix(1);
    }
    if (digits.empty())
        return def;
    std::int64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return def;
        v = v * 10 + (c - '0');
        if (v > static_cast<std::int64_t>(INT_MAX) + 1)
            return def;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX || v < INT_MIN)
        return def;
    return static_cast<int>(v);
}

// --- IniDocument ------------------------------------------------------------------------------

IniDocument IniDocument::parse(std::string_view text) {
    IniDocument doc;
    if (text.starts_with(kBom)) {
        doc.bom_ = true;
        text.remove_prefix(kBom.size());
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto brk = text.find_first_of("\r\n", pos);
        if (brk == std::string_view::npos) {
            doc.lines_.push_back({std::string(text.substr(pos)), {}});
            break;
        }
        std::size_t endLen = 1;
        if (text[brk] == '\r' && brk + 1 < text.size() && text[brk + 1] == '\n')
            endLen = 2;
        doc.lines_.push_back(
            {std::string(text.substr(pos, brk - pos)), std::string(text.substr(brk, endLen))});
        pos = brk + endLen;
    }
    return doc;
}

std::string IniDocument::text() const {
    std::size_t total = bom_ ? kBom.size() : 0;
    for (const auto& line : lines_)
        total += line.content.size() + line.end.size();
    std::string out;
    out.reserve(total);
    if (bom_)
        out += kBom;
    for (const auto& line : lines_) {
        out += line.content;
        out += line.end;
    }
    return out;
}

std::optional<std::string> IniDocument::value(std::string_view section,
                                              std::string_view key) const {
    section = trimmed(section);
    key = trimmed(key);
    bool inSection = false;
    for (const auto& line : lines_) {
        if (!inSection && !mayBeSection(line.content))
            continue;
        const LineInfo info = classify(line.content);
        if (info.kind == LineInfo::Section)
            inSection = sameName(info.name, section);
        else if (inSection && info.kind == LineInfo::Key && sameName(info.name, key))
            return std::string(cutValue(info.value));
    }
    return std::nullopt;
}

std::string IniDocument::newLine() const {
    for (const auto& line : lines_) {
        if (!line.end.empty())
            return line.end;
    }
    return "\n";
}

void IniDocument::insertLine(std::size_t at, std::string content) {
    const std::string end = newLine();
    // The line before the new one needs a line end of its own (a file without a final one).
    if (at > 0 && lines_[at - 1].end.empty())
        lines_[at - 1].end = end;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), Line{std::move(content), end});
}

void IniDocument::setValue(std::string_view section, std::string_view key, std::string_view value) {
    section = checkedSection(section);
    key = checkedKey(key);
    const std::string newValue = oneLine(value);

    bool inSection = false;
    std::size_t firstSectionEnd = 0; // insertion point in the first section of that name
    bool sectionFound = false;
    bool inFirstSection = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (!inSection && !mayBeSection(lines_[i].content))
            continue;
        const LineInfo info = classify(lines_[i].content);
        if (info.kind == LineInfo::Section) {
            inSection = sameName(info.name, section);
            inFirstSection = inSection && !sectionFound;
            if (inFirstSection) {
                sectionFound = true;
                firstSectionEnd = i + 1;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (info.kind == LineInfo::Key && sameName(info.name, key)) {
            auto& content = lines_[i].content;
            content.resize(info.valueBegin);
            content += newValue;
            return;
        }
        if (inFirstSection && info.kind != LineInfo::Blank && info.kind != LineInfo::Comment)
            firstSectionEnd = i + 1;
    }

    std::string keyLine;
    keyLine.reserve(key.size() + 1 + newValue.size());
    keyLine.append(key).append("=").append(newValue);
    if (sectionFound) {
        insertLine(firstSectionEnd, std::move(keyLine));
        return;
    }
    std::string header = "[";
    header.append(section).append("]");
    insertLine(lines_.size(), std::move(header));
    insertLine(lines_.size(), std::move(keyLine));
}

// --- IniFile ----------------------------------------------------------------------------------

IniWriteError::IniWriteError(std::filesystem::path path, std::string reason)
    : std::runtime_error("Unable to write to " + path.string()), path_(std::move(path)),
      reason_(std::move(reason)) {}

namespace {

// A file descriptor closed with its holder.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports whether the close (which may flush) succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

enum class ReadResult { Ok, Missing, Failed };

ReadResult readWhole(const std::filesystem::path& path, std::string& out) {
    out.clear();
    // O_NONBLOCK: a FIFO put where the file should be must not hang the program.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return errno == ENOENT || errno == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return ReadResult::Failed;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ReadResult::Failed;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return ReadResult::Ok;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

mode_t currentUmask() {
    // umask() can only be read by setting it, which races with other threads; Linux shows it here.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Umask:"))
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
    }
    return 022;
}

// Write text into a fresh temporary file beside target and rename it over target. Returns
// false with errno set when the temporary file cannot be created (the caller may then rewrite
// in place); throws for every later failure.
bool replaceViaTemporary(const std::filesystem::path& target, const std::filesystem::path& shown,
                         std::string_view text, const struct stat* old, bool privateFile) {
    std::string tmpl =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    Fd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd)
        return false;
    const auto fail = [&](const char* step) {
        const std::string reason = errnoText(step);
        fd.reset();
        ::unlink(tmpl.c_str());
        throw IniWriteError(shown, reason);
    };
    if (!writeAll(fd.get(), text))
        fail("write");
    mode_t mode = old ? (old->st_mode & 07777) : (0666 & ~currentUmask());
    // Not our file to give away: the copy stays ours, without set-id bits.
    if (old && ::fchown(fd.get(), old->st_uid, old->st_gid) != 0)
        mode &= static_cast<mode_t>(~(S_ISUID | S_ISGID));
    if (privateFile)
        mode = S_IRUSR | S_IWUSR;
    if (::fchmod(fd.get(), mode) != 0)
        fail("chmod");
    if (::fsync(fd.get()) != 0)
        fail("fsync");
    if (!fd.close())
        fail("close");
    if (::rename(tmpl.c_str(), target.c_str()) != 0)
        fail("rename");
    return true;
}

// Rewrite target in place: reserve the space first so a full disk fails before any byte of the
// old text changes.
void rewriteInPlace(const std::filesystem::path& target, const std::filesystem::path& shown,
                    std::string_view text, bool privateFile) {
    Fd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd)
        throw IniWriteError(shown, errnoText("open"));
    // Closed to others before the secret is written.
    if (privateFile && ::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0)
        throw IniWriteError(shown, errnoText("chmod"));
    const auto size = static_cast<off_t>(text.size());
    const int rc = size > 0 ? ::posix_fallocate(fd.get(), 0, size) : 0;
    if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL) {
        errno = rc;
        throw IniWriteError(shown, errnoText("reserve space"));
    }
    if (!writeAll(fd.get(), text))
        throw IniWriteError(shown, errnoText("write"));
    if (::ftruncate(fd.get(), size) != 0)
        throw IniWriteError(shown, errnoText("truncate"));
    if (::fsync(fd.get()) != 0)
        throw IniWriteError(shown, errnoText("fsync"));
    if (!fd.close())
        throw IniWriteError(shown, errnoText("close"));
}

} // namespace

IniFile::IniFile(std::filesystem::path path) : path_(std::move(path)) {}

IniDocument IniFile::document() const {
    IniDocument scratch;
    return view(scratch);
}

const IniDocument& IniFile::view(IniDocument& scratch) const {
    if (pending_)
        return pending_->doc;
    if (snapshot_)
        return *snapshot_;
    std::string text;
    if (readWhole(path_, text) == ReadResult::Ok)
        scratch = IniDocument::parse(text);
    return scratch;
}

void IniFile::beginRead() {
    snapshot_.reset();
    snapshot_ = document();
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view def) const {
    IniDocument scratch;
    auto v = view(scratch).value(section, key);
    return v ? std::move(*v) : std::string(def);
}

int IniFile::readInteger(std::string_view section, std::string_view key, int def) const {
    IniDocument scratch;
    const auto v = view(scratch).value(section, key);
    return v ? parseProfileInteger(*v, def) : def;
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool def) const {
    return readInteger(section, key, def ? 1 : 0) != 0;
}

IniFile::Pending IniFile::load() const {
    Pending p;
    // Follow a symbolic link so the link stays and its target gets the new text.
    p.target = path_;
    std::error_code ec;
    if (std::filesystem::is_symlink(path_, ec)) {
        auto resolved = std::filesystem::canonical(path_, ec);
        if (!ec)
            p.target = std::move(resolved);
    }
    const ReadResult read = readWhole(p.target, p.oldText);
    if (read == ReadResult::Failed)
        throw IniWriteError(path_, errnoText("read"));
    p.exists = read == ReadResult::Ok;
    p.doc = IniDocument::parse(p.oldText);
    return p;
}

void IniFile::save(const Pending& p, const std::string& newText) {
    if (p.exists && newText == p.oldText) {
        // Unchanged, but a password may sit in a file others can read.
        struct stat st {};
        if (private_ && ::stat(p.target.c_str(), &st) == 0 && (st.st_mode & 077) != 0 &&
            ::chmod(p.target.c_str(), S_IRUSR | S_IWUSR) != 0)
            throw IniWriteError(path_, errnoText("chmod"));
        return;
    }
    struct stat old {};
    if (p.exists) {
        if (::stat(p.target.c_str(), &old) != 0)
            throw IniWriteError(path_, errnoText("stat"));
        // A write-protected file stays protected, even in a folder we could replace it in.
        if (::access(p.target.c_str(), W_OK) != 0)
            throw IniWriteError(path_, errnoText("access"));
    }
    if (replaceViaTemporary(p.target, path_, newText, p.exists ? &old : nullptr, private_))
        return;
    const std::string tmpReason = errnoText("temporary file");
    if (!p.exists)
        throw IniWriteError(path_, tmpReason);
    rewriteInPlace(p.target, path_, newText, private_);
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    snapshot_.reset(); // reads see the file as written from here on
    if (pending_) {
        pending_->doc.setValue(section, key, value);
        return;
    }
    Pending p = load();
    p.doc.setValue(section, key, value);
    save(p, p.doc.text());
}

void IniFile::beginUpdate() {
    if (!pending_)
        pending_ = load();
}

void IniFile::commit() {
    if (!pending_)
        return;
    Pending p = std::move(*pending_);
    pending_.reset();
    save(p, p.doc.text());
}

void IniFile::writeInteger(std::string_view section, std::string_view key, int value) {
    writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(std::string_view section, std::string_view key, bool value) {
    writeString(section, key, value ? "1" : "0");
}

} // namespace norvale
