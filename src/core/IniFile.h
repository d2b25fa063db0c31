#pragma once
// The settings-file engine: INI text edited the way the classic profile-string functions do it,
// one key at a time, so a hand-edited file keeps everything the program does not know about.
//
// Line rules (an INI text is held as lines; every line is kept byte for byte unless a write
// replaces it):
//  - Lines end at LF, CR LF or a lone CR; each line keeps its own ending. New lines use the
//    ending of the first line of the file (LF for a file without line ends).
//  - A UTF-8 byte-order mark at the start is skipped for parsing and written back.
//  - Blanks (space, tab, vertical tab, form feed) around names and values are not significant.
//  - "[name]": a section header. The name is the text between "[" and the first "]", trimmed;
//    anything after that "]" is ignored. A "[" line without "]" is kept but means nothing.
//  - A line whose first non-blank character is ";" is a comment.
//  - "key=value": the key is the text before the first "=", the value the text after it, both
//    trimmed. Quotes are part of the value (values read back exactly as written). A line
//    without "=", a line with an empty key and key lines before the first section mean nothing.
//  - Names are compared without regard to ASCII letter case. A section name may occur more than
//    once: lookups walk the sections of that name in file order and the first key found wins;
//    a write replaces that first key, or appends to the first section of that name.
//  - NUL bytes are ordinary bytes inside lines; a value read ends at its first NUL.
//  - Reads give at most kMaxProfileValue bytes of a value; the cut never splits a UTF-8
//    sequence.
//
// Writes: an existing key's line keeps everything up to the start of its old value (spelling,
// indentation, blanks around "=") and gets the new value. A missing key goes right after the last
// line of its section that is neither blank nor a comment, so blank lines and comments that
// lead into the next section stay with it. A missing section ("[name]" then "key=value") goes to
// the end of the file. A value is stored on one line: CR, LF and NUL in it become blanks. A
// section or key name that could not be read back as written (empty, holding a line break or
// NUL, "]" in a section name, "=" in a key, a key starting with "[" or ";") is refused with
// std::invalid_argument; the program's own names never are.
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace norvale {

// Longest value a read gives back, as the profile functions' 2048-byte buffer did.
inline constexpr std::size_t kMaxProfileValue = 2047;

// Reading rule for integers: a value of at least 3 characters starting "0x"/"0X" is hexadecimal,
// a value starting "$" is hexadecimal, anything else must be a whole decimal number with an
// optional leading "-". Hexadecimal takes up to 32 bits (0xFFFFFFFF reads as -1); decimal must
// fit an int. Anything else, including "0x" or "$" alone, gives def.
int parseProfileInteger(std::string_view text, int def);

class IniDocument {
public:
    static IniDocument parse(std::string_view text);

    // The text again: parse(t).text() == t for every t; edits change only the lines they touch.
    std::string text() const;

    // The value of key in section, or nullopt when the section or key is missing.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;

    // Single-key update: replace in place, or append at the end of its section, or append the
    // section at the end of the text. Throws std::invalid_argument for an unusable name.
    void setValue(std::string_view section, std::string_view key, std::string_view value);

private:
    struct Line {
        std::string content; // without its line end
        std::string end;     // "\n", "\r\n", "\r" or "" (only for the last line)
    };
    std::string newLine() const;
    void insertLine(std::size_t at, std::string content);

    bool bom_ = false;
    std::vector<Line> lines_;
};

// A settings file could not be written. what() is exactly "Unable to write to <path>"; reason()
// says why, for logs.
class IniWriteError : public std::runtime_error {
public:
    IniWriteError(std::filesystem::path path, std::string reason);
    const std::filesystem::path& path() const { return path_; }
    const std::string& reason() const { return reason_; }

private:
    std::filesystem::path path_;
    std::string reason_;
};

// The profile-string functions over one file on disk. Every read looks at the file as it is now
// (a missing or unreadable file, section or key gives the default). Every write is a single-key
// update saved at once:
//  - a write that changes nothing touches nothing (and so succeeds in a read-only folder);
//  - the new text goes to a temporary file in the same folder that then replaces the old one,
//    so a crash or a full disk never leaves a half-written file; the old file's permissions
//    (and owner, where allowed) carry over, and a symbolic link is followed, not replaced;
//  - when no temporary file can be made there (a read-only folder) but the file itself is
//    writable, the file is rewritten in place, its space reserved before the first byte changes;
//  - an existing file that cannot be read or is write-protected is never replaced; a missing
//    folder is not created.
// Any failure throws IniWriteError and leaves the old file as it was.
class IniFile {
public:
    explicit IniFile(std::filesystem::path path);

    const std::filesystem::path& fileName() const { return path_; }

    // The whole file as it is now (empty when missing or unreadable).
    IniDocument document() const;

    std::string readString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    int readInteger(std::string_view section, std::string_view key, int def) const;
    // Read as an integer; true exactly when that integer is not 0.
    bool readBool(std::string_view section, std::string_view key, bool def) const;

    void writeString(std::string_view section, std::string_view key, std::string_view value);
    void writeInteger(std::string_view section, std::string_view key, int value);
    // Written as "1" or "0".
    void writeBool(std::string_view section, std::string_view key, bool value);

    // Collects the writes that follow in memory and saves them in one step at commit(), with
    // the same safety and failure rules as a single write; reads see the collected values.
    // Hundreds of keys written at exit then cost one file replacement instead of one each, and
    // a failure leaves the old file whole instead of half updated.
    void beginUpdate();
    // Saves what was collected (nothing when nothing changed) and ends the collecting; throws
    // IniWriteError on failure, which also ends it.
    void commit();
    bool updating() const { return pending_.has_value(); }
    // From now on every write leaves the file readable and writable by its owner only (mode
    // 0600), whatever it had: for a file that holds a password.
    void setPrivate(bool on) { private_ = on; }
    // Reads the file once now; until endRead() (or a write) every read answers from that copy
    // instead of reading the file again. Start-up reads its ~300 keys this way: one read of the
    // file, however large it is.
    void beginRead();
    void endRead() { snapshot_.reset(); }

private:
    struct Pending {
        std::filesystem::path target;
        std::string oldText;
        bool exists = false;
        IniDocument doc;
    };
    Pending load() const;
    // What reads look at: the collected update, the snapshot, or the file read into `scratch`.
    const IniDocument& view(IniDocument& scratch) const;
    void save(const Pending& p, const std::string& newText);

    std::filesystem::path path_;
    std::optional<Pending> pending_;
    std::optional<IniDocument> snapshot_;
    bool private_ = false;
};

} // namespace norvale
