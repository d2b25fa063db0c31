#include "core/IniFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

#include <csignal>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace norvale {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

struct IntCase {
    const char* text;
    int expected;
};

// A folder an ordinary user can reach: the temporary folder, unless it is private (then /tmp).
std::filesystem::path reachableTempBase() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (std::filesystem::path p = base;; p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return "/tmp";
        if (p == p.parent_path())
            return base;
    }
}

TEST(ParseProfileInteger, FollowsTheReadingRule) {
    const int def = -99;
    const IntCase cases[] = {
        {"0", 0},
        {"42", 42},
        {"-7", -7},
        {"007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"2147483648", def},
        {"-2147483649", def},
        {"99999999999999999999", def},
        {"0x5", 5},
        {"0X1f", 31},
        {"0x", def},
        {"0xg", def},
        {"0x0000000000ff", 255},
        {"0xFFFFFFFF", -1},
        {"0x100000000", def},
        {"$1F", 31},
        {"$", def},
        {"$-1", def},
        {"12abc", def},
        {"yes", def},
        {"", def},
        {"-", def},
        {"+5", def},
        {"1.5", def},
        {"-0x5", def},
        {"0", 0},
        {"1 2", def},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseProfileInteger(c.text, def), c.expected) << "value \"" << c.text << '"';
}

struct ReadCase {
    const char* name;
    const char* text;
    const char* section;
    const char* key;
    std::optional<std::string> expected;
};

TEST(IniDocument, ReadsValuesByTheLineRules) {
    const ReadCase cases[] = {
        {"plain", "[S]\nk=v\n", "S", "k", "v"},
        {"blanks around names and value", "  [ S ]  \n  k  =  v w  \n", "S", "k", "v w"},
        {"tabs", "[S]\n\tk\t=\tv\t\n", "S", "k", "v"},
        {"case-insensitive names", "[system]\ncurrentcnt=4\n", "System", "CurrentCnt", "4"},
        {"query names trimmed", "[S]\nk=v\n", " S ", " k ", "v"},
        {"quotes are part of the value", "[S]\nk=\"a b\"\n", "S", "k", "\"a b\""},
        {"empty value", "[S]\nk=\n", "S", "k", ""},
        {"first = splits", "[S]\nk=a=b\n", "S", "k", "a=b"},
        {"semicolon inside a value", "[S]\nk=a;b\n", "S", "k", "a;b"},
        {"comment line", "[S]\n;k=v\n", "S", "k", std::nullopt},
        {"line without =", "[S]\nk\n", "S", "k", std::nullopt},
        {"key before any section", "k=v\n[S]\n", "S", "k", std::nullopt},
        {"missing section", "[S]\nk=v\n", "T", "k", std::nullopt},
        {"missing key", "[S]\nk=v\n", "S", "x", std::nullopt},
        {"key of another section", "[S]\n[T]\nk=v\n", "S", "k", std::nullopt},
        {"first duplicate key wins", "[S]\nk=1\nk=2\n", "S", "k", "1"},
        {"later section of the same name", "[S]\na=1\n[T]\n[s]\nk=2\n", "S", "k", "2"},
        {"first section of the same name wins", "[S]\nk=1\n[S]\nk=2\n", "S", "k", "1"},
        {"text after ] ignored", "[S] ; note\nk=v\n", "S", "k", "v"},
        {"[ without ] is no section", "[S]\n[T\nk=v\n", "S", "k", "v"},
        {"CRLF", "[S]\r\nk=v\r\n", "S", "k", "v"},
        {"lone CR", "[S]\rk=v\r", "S", "k", "v"},
        {"no final line end", "[S]\nk=v", "S", "k", "v"},
        {"UTF-8 BOM", "\xEF\xBB\xBF[S]\nk=v\n", "S", "k", "v"},
        {"empty text", "", "S", "k", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IniDocument::parse(c.text).value(c.section, c.key), c.expected) << c.name;

    // NUL bytes are kept in the text but end a value that is read.
    const std::string withNul("[S]\nk=a\0b\n", 10);
    EXPECT_EQ(IniDocument::parse(withNul).value("S", "k"), "a");
}

TEST(IniDocument, TextIsByteForByte) {
    const std::string texts[] = {
        "",
        "\n",
        "[S]\r\nk = v \r\n; c\r\n\r\n",
        "\xEF\xBB\xBF[S]\nk=v",
        "garbage\rmore\n\n[x\nk=\n=v\n",
        std::string("[S]\nk=\0v\n", 9),
    };
    for (const auto& t : texts)
        EXPECT_EQ(IniDocument::parse(t).text(), t);
}

TEST(IniDocument, CutsLongValuesTo2047Bytes) {
    const std::string name(3000, 'n');
    auto doc = IniDocument::parse("[Camera1]\nName=" + name + "\n");
    EXPECT_EQ(doc.value("Camera1", "Name"), std::string(2047, 'n'));
    // The stored text is not cut; only the read is.
    EXPECT_NE(doc.text().find(name), std::string::npos);

    // A cut inside a UTF-8 sequence leaves the whole character out.
    const std::string accented = std::string(2046, 'a') + "\xC3\xA9" + "zz";
    doc = IniDocument::parse("[S]\nk=" + accented);
    EXPECT_EQ(doc.value("S", "k"), std::string(2046, 'a'));
    const std::string fits = std::string(2045, 'a') + "\xC3\xA9" + "zz";
    doc = IniDocument::parse("[S]\nk=" + fits);
    EXPECT_EQ(doc.value("S", "k"), std::string(2045, 'a') + "\xC3\xA9");
}

struct WriteCase {
    const char* name;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
};

TEST(IniDocument, SingleKeyUpdates) {
    const WriteCase cases[] = {
        {"fresh text", "", "S", "k", "v", "[S]\nk=v\n"},
        {"replace in place keeps position", "[S]\na=1\nk=old\nb=2\n", "S", "k", "new",
         "[S]\na=1\nk=new\nb=2\n"},
        {"replace keeps spelling and blanks", "[S]\n  KEY = old  \n", "s", "key", "new",
         "[S]\n  KEY = new\n"},
        {"replace an empty value", "[S]\nk=\n", "S", "k", "v", "[S]\nk=v\n"},
        {"missing key after the last key", "[S]\na=1\n[T]\nb=2\n", "S", "k", "v",
         "[S]\na=1\nk=v\n[T]\nb=2\n"},
        {"blank lines and comments stay before the next section", "[S]\na=1\n\n; next\n\n[T]\n",
         "S", "k", "v", "[S]\na=1\nk=v\n\n; next\n\n[T]\n"},
        {"unknown lines count as content", "[S]\na=1\nnonsense\n\n", "S", "k", "v",
         "[S]\na=1\nnonsense\nk=v\n\n"},
        {"empty section", "[S]\n\n[T]\n", "S", "k", "v", "[S]\nk=v\n\n[T]\n"},
        {"section without final line end", "[S]\na=1", "S", "k", "v", "[S]\na=1\nk=v\n"},
        {"missing section at the end", "[S]\na=1\n", "T", "k", "v", "[S]\na=1\n[T]\nk=v\n"},
        {"missing section after a text without final line end", "; c", "T", "k", "v",
         "; c\n[T]\nk=v\n"},
        {"keys before any section stay", "k=1\n", "S", "k", "2", "k=1\n[S]\nk=2\n"},
        {"CRLF file gets CRLF lines", "[S]\r\na=1\r\n", "T", "k", "v",
         "[S]\r\na=1\r\n[T]\r\nk=v\r\n"},
        {"CRLF file, key in section", "[S]\r\na=1\r\n[T]\r\n", "S", "k", "v",
         "[S]\r\na=1\r\nk=v\r\n[T]\r\n"},
        {"BOM kept", "\xEF\xBB\xBF[S]\n", "S", "k", "v", "\xEF\xBB\xBF[S]\nk=v\n"},
        {"names written trimmed", "", " S ", " k ", "v", "[S]\nk=v\n"},
        {"line breaks in a value become blanks", "", "S", "k", "a\r\n[T]\nb", "[S]\nk=a  [T] b\n"},
        {"duplicate key: first one replaced", "[S]\nk=1\nk=2\n", "S", "k", "3", "[S]\nk=3\nk=2\n"},
        {"duplicate section: key of the later one replaced", "[S]\na=1\n[S]\nk=1\n", "S", "k", "2",
         "[S]\na=1\n[S]\nk=2\n"},
        {"duplicate section: missing key goes to the first", "[S]\na=1\n[S]\nb=1\n", "S", "k", "2",
         "[S]\na=1\nk=2\n[S]\nb=1\n"},
    };
    for (const auto& c : cases) {
        auto doc = IniDocument::parse(c.before);
        doc.setValue(c.section, c.key, c.value);
        EXPECT_EQ(doc.text(), c.after) << c.name;
    }
}

TEST(IniDocument, RefusesNamesThatCouldNotBeReadBack) {
    auto doc = IniDocument::parse("[S]\n");
    const std::pair<const char*, const char*> bad[] = {
        {"", "k"},    {"  ", "k"}, {"a]b", "k"}, {"a\nb", "k"}, {"S", ""},
        {"S", "a=b"}, {"S", "[k"}, {"S", ";k"},  {"S", "a\rb"},
    };
    for (const auto& [section, key] : bad)
        EXPECT_THROW(doc.setValue(section, key, "v"), std::invalid_argument)
            << '[' << section << "] " << key;
    EXPECT_EQ(doc.text(), "[S]\n");
}

TEST(IniDocument, WrittenValuesReadBack) {
    IniDocument doc;
    for (int n = 1; n <= 36; ++n) {
        const std::string section = "Camera" + std::to_string(n);
        doc.setValue(section, "Name", section);
        doc.setValue(section, "SaveFilePath", "/home/u/");
    }
    doc.setValue("System", "CurrentCnt", "4");
    doc.setValue("camera7", "NAME", "Front door");
    const auto reparsed = IniDocument::parse(doc.text());
    EXPECT_EQ(reparsed.value("Camera7", "Name"), "Front door");
    EXPECT_EQ(reparsed.value("Camera36", "SaveFilePath"), "/home/u/");
    EXPECT_EQ(reparsed.value("SYSTEM", "currentcnt"), "4");
    // Sections in the order of the writes.
    const std::string text = doc.text();
    EXPECT_LT(text.find("[Camera1]"), text.find("[Camera2]"));
    EXPECT_LT(text.find("[Camera36]"), text.find("[System]"));
}

// --- IniFile on disk ---

TEST(IniFile, MissingFileSectionOrKeyGivesDefaults) {
    TempDir dir;
    IniFile missing(dir / "none.ini");
    EXPECT_EQ(missing.readString("S", "k", "def"), "def");
    EXPECT_EQ(missing.readInteger("S", "k", 30), 30);
    EXPECT_TRUE(missing.readBool("S", "k", true));

    writeFile(dir / "setup.ini", "[S]\nk=v\n");
    IniFile ini(dir / "setup.ini");
    EXPECT_EQ(ini.readString("T", "k", "def"), "def");
    EXPECT_EQ(ini.readString("S", "x", "def"), "def");
    EXPECT_EQ(ini.readString("S", "k", "def"), "v");

    // A folder where the file should be reads as a missing file.
    std::filesystem::create_directory(dir / "folder.ini");
    EXPECT_EQ(IniFile(dir / "folder.ini").readInteger("S", "k", 5), 5);
    // So does a FIFO, without waiting for a writer; it is never replaced.
    ASSERT_EQ(::mkfifo((dir / "fifo.ini").c_str(), 0600), 0);
    EXPECT_EQ(IniFile(dir / "fifo.ini").readInteger("S", "k", 6), 6);
    EXPECT_THROW(IniFile(dir / "fifo.ini").writeString("S", "k", "v"), IniWriteError);
    EXPECT_TRUE(std::filesystem::is_fifo(dir / "fifo.ini"));
}

TEST(IniFile, ReadsIntegersAndBooleans) {
    TempDir dir;
    writeFile(dir / "setup.ini", "[System]\nCurrentIndex=0x5\nCnt=$1F\nBad=12abc\nNeg=-7\n"
                                 "[Camera1]\nAutoSnapshot=yes\nA=2\nB=-1\nC=0\nD=7\n");
    IniFile ini(dir / "setup.ini");
    EXPECT_EQ(ini.readInteger("System", "CurrentIndex", 1), 5);
    EXPECT_EQ(ini.readInteger("System", "Cnt", 1), 31);
    EXPECT_EQ(ini.readInteger("System", "Bad", 1), 1);
    EXPECT_EQ(ini.readInteger("System", "Neg", 1), -7);
    EXPECT_FALSE(ini.readBool("Camera1", "AutoSnapshot", false));
    EXPECT_TRUE(ini.readBool("Camera1", "AutoSnapshot", true));
    EXPECT_TRUE(ini.readBool("Camera1", "A", false));
    EXPECT_TRUE(ini.readBool("Camera1", "B", false));
    EXPECT_FALSE(ini.readBool("Camera1", "C", true));

    // A boolean read as true is written back as "1".
    ini.writeBool("Camera1", "D", ini.readBool("Camera1", "D", false));
    ini.writeBool("Camera1", "C", false);
    ini.writeInteger("System", "Neg", -12);
    EXPECT_EQ(readFile(dir / "setup.ini"), "[System]\nCurrentIndex=0x5\nCnt=$1F\nBad=12abc\n"
                                           "Neg=-12\n[Camera1]\nAutoSnapshot=yes\nA=2\nB=-1\n"
                                           "C=0\nD=1\n");
}

TEST(IniFile, WritesKeepUnknownContentAndPermissions) {
    TempDir dir;
    const auto path = dir / "setup.ini";
    writeFile(path, "; hand-written\r\n[Mine]\r\nx = 1\r\n\r\n[Camera1]\r\nName=Old\r\n");
    ::chmod(path.c_str(), 0640);
    IniFile ini(path);
    ini.writeString("Camera1", "Name", "Garage");
    ini.writeString("Camera1", "BitRate", "1024");
    ini.writeString("System", "CurrentCnt", "4");
    EXPECT_EQ(readFile(path),
              "; hand-written\r\n[Mine]\r\nx = 1\r\n\r\n[Camera1]\r\nName=Garage\r\n"
              "BitRate=1024\r\n[System]\r\nCurrentCnt=4\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // No temporary files left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

// A file that holds a password is its owner's alone: new, replaced, or unchanged but open to
// others before.
TEST(IniFile, PrivateWritesLeaveTheFileToItsOwner) {
    TempDir dir;
    struct Case {
        const char* why;
        const char* before; // nullptr: no file yet
        mode_t mode;
        const char* value;
    };
    const Case cases[] = {
        {"new file", nullptr, 0, "secret"},
        {"changed file", "[NetCam1]\nPassword=old\n", 0644, "secret"},
        {"unchanged file", "[NetCam1]\nPassword=secret\n", 0664, "secret"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const auto path = dir / (std::string(c.why) + ".ini");
        if (c.before) {
            writeFile(path, c.before);
            ::chmod(path.c_str(), c.mode);
        }
        IniFile ini(path);
        ini.beginUpdate();
        ini.writeString("NetCam1", "Password", c.value);
        ini.setPrivate(true);
        ini.commit();
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(readFile(path), "[NetCam1]\nPassword=secret\n");
    }
}

TEST(IniFile, CreatesTheFileOnTheFirstWrite) {
    TempDir dir;
    IniFile ini(dir / "setup.ini");
    ini.writeString("Camera1", "Name", "Camera1");
    ini.writeInteger("Camera1", "VideoDeviceIndex", -1);
    EXPECT_EQ(readFile(dir / "setup.ini"), "[Camera1]\nName=Camera1\nVideoDeviceIndex=-1\n");
    EXPECT_EQ(ini.readInteger("Camera1", "VideoDeviceIndex", 0), -1);
}

TEST(IniFile, FollowsASymbolicLink) {
    TempDir dir(reachableTempBase());
    std::filesystem::create_directory(dir / "real");
    writeFile(dir / "real" / "setup.ini", "[S]\n");
    std::filesystem::create_symlink(dir / "real" / "setup.ini", dir / "setup.ini");
    IniFile(dir / "setup.ini").writeString("S", "k", "v");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "setup.ini"));
    EXPECT_EQ(readFile(dir / "real" / "setup.ini"), "[S]\nk=v\n");
}

// Runs body in a child process, so it may change process-wide limits, and returns what it
// returns: an empty text when its checks hold, else what went wrong. With ordinaryUser and when
// running as root (tests often do, in containers, and permissions do not bind root), the child
// first switches to "nobody", after handing it the folder.
std::string inChildProcess(const std::filesystem::path& folder, bool ordinaryUser,
                           const std::function<std::string()>& body) {
    const bool dropRoot = ordinaryUser && ::geteuid() == 0;
    const uid_t nobody = 65534;
    if (dropRoot) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
            if (::lchown(entry.path().c_str(), nobody, nobody) != 0)
                return "cannot hand the folder over";
        if (::lchown(folder.c_str(), nobody, nobody) != 0)
            return "cannot hand the folder over";
    }
    int fds[2];
    if (::pipe(fds) != 0)
        return "no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string result = "cannot switch to nobody";
        if (!dropRoot ||
            (::setgroups(0, nullptr) == 0 && ::setgid(nobody) == 0 && ::setuid(nobody) == 0)) {
            try {
                result = body();
            } catch (const std::exception& e) {
                result = std::string("exception: ") + e.what();
            }
        }
        [[maybe_unused]] auto n = ::write(fds[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string result;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        result.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        return "the child process crashed";
    return result;
}

std::string asOrdinaryUser(const std::filesystem::path& folder,
                           const std::function<std::string()>& body) {
    return inChildProcess(folder, true, body);
}

// Files cannot grow beyond limit bytes: writes past it fail as on a full disk.
void limitFileSize(rlim_t limit) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
}

#define CHECK_OR_RETURN(cond)                                                                      \
    do {                                                                                           \
        if (!(cond))                                                                               \
            return std::string("failed: ") + #cond;                                                \
    } while (false)

TEST(IniFile, ReadOnlyFolderWithoutFileFailsWithThePath) {
    TempDir dir(reachableTempBase());
    const auto folder = dir / "ro";
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), 0555);
    EXPECT_EQ(asOrdinaryUser(dir.path(),
                             [&] {
                                 IniFile ini(folder / "setup.ini");
                                 try {
                                     ini.writeString("Camera1", "Name", "Camera1");
                                 } catch (const IniWriteError& e) {
                                     CHECK_OR_RETURN(std::string(e.what()) ==
                                                     "Unable to write to " +
                                                         (folder / "setup.ini").string());
                                     CHECK_OR_RETURN(e.path() == folder / "setup.ini");
                                     CHECK_OR_RETURN(!e.reason().empty());
                                     return std::string();
                                 }
                                 return std::string("the write succeeded");
                             }),
              "");
    EXPECT_FALSE(std::filesystem::exists(folder / "setup.ini"));
}

TEST(IniFile, ReadOnlyFolderRewritesAWritableFileInPlace) {
    TempDir dir(reachableTempBase());
    const auto folder = dir / "ro";
    std::filesystem::create_directory(folder);
    writeFile(folder / "setup.ini", "[Camera1]\nName=Old name that is long\n[Keep]\nx=1\n");
    ::chmod(folder.c_str(), 0555);
    EXPECT_EQ(asOrdinaryUser(dir.path(),
                             [&] {
                                 IniFile ini(folder / "setup.ini");
                                 ini.writeString("Camera1", "Name", "New");
                                 CHECK_OR_RETURN(readFile(folder / "setup.ini") ==
                                                 "[Camera1]\nName=New\n[Keep]\nx=1\n");
                                 ini.writeString("Camera1", "SnapshotPath", "/a/longer/folder/");
                                 return std::string();
                             }),
              "");
    EXPECT_EQ(readFile(folder / "setup.ini"),
              "[Camera1]\nName=New\nSnapshotPath=/a/longer/folder/\n[Keep]\nx=1\n");
}

TEST(IniFile, WriteProtectedFileIsNeitherReplacedNorChanged) {
    TempDir dir(reachableTempBase());
    const auto path = dir / "setup.ini";
    const std::string old = "[Camera1]\nName=Old\n";
    writeFile(path, old);
    ::chmod(path.c_str(), 0444);
    EXPECT_EQ(asOrdinaryUser(dir.path(),
                             [&] {
                                 IniFile ini(path);
                                 try {
                                     ini.writeString("Camera1", "Name", "New");
                                     return std::string("the write succeeded");
                                 } catch (const IniWriteError&) {
                                 }
                                 // An unchanged value writes nothing, so it does not fail.
                                 ini.writeString("Camera1", "Name", "Old");
                                 return std::string();
                             }),
              "");
    EXPECT_EQ(readFile(path), old);
}

TEST(IniFile, ReadOnlyFolderAndFileKeepTheOldFile) {
    TempDir dir(reachableTempBase());
    const auto folder = dir / "ro";
    std::filesystem::create_directory(folder);
    const std::string old = "[System]\nCurrentCnt=4\n";
    writeFile(folder / "setup.ini", old);
    ::chmod((folder / "setup.ini").c_str(), 0444);
    ::chmod(folder.c_str(), 0555);
    EXPECT_EQ(asOrdinaryUser(
                  dir.path(),
                  [&] {
                      try {
                          IniFile(folder / "setup.ini").writeInteger("System", "CurrentCnt", 9);
                      } catch (const IniWriteError&) {
                          return std::string();
                      }
                      return std::string("the write succeeded");
                  }),
              "");
    EXPECT_EQ(readFile(folder / "setup.ini"), old);
}

TEST(IniFile, UnreadableFileIsNotOverwritten) {
    TempDir dir(reachableTempBase());
    const auto path = dir / "setup.ini";
    writeFile(path, "[Unknown]\nvalue=precious\n");
    ::chmod(path.c_str(), 0200);
    EXPECT_EQ(asOrdinaryUser(dir.path(),
                             [&] {
                                 IniFile ini(path);
                                 CHECK_OR_RETURN(ini.readString("Unknown", "value", "d") == "d");
                                 try {
                                     ini.writeString("S", "k", "v");
                                 } catch (const IniWriteError&) {
                                     return std::string();
                                 }
                                 return std::string("the write succeeded");
                             }),
              "");
    EXPECT_EQ(readFile(path), "[Unknown]\nvalue=precious\n");
}

TEST(IniFile, MissingFolderFails) {
    TempDir dir;
    IniFile ini(dir / "gone" / "setup.ini");
    EXPECT_THROW(ini.writeString("S", "k", "v"), IniWriteError);
    EXPECT_FALSE(std::filesystem::exists(dir / "gone"));
}

TEST(IniFile, FullDiskKeepsTheOldFile) {
    TempDir dir;
    const auto path = dir / "setup.ini";
    const std::string old = "[Camera1]\nName=Camera1\n[Keep]\nx=1\n";
    writeFile(path, old);
    EXPECT_EQ(inChildProcess(dir.path(), false,
                             [&] {
                                 limitFileSize(64);
                                 try {
                                     IniFile(path).writeString("Camera1", "Name",
                                                               std::string(100, 'n'));
                                 } catch (const IniWriteError&) {
                                     return std::string();
                                 }
                                 return std::string("the write succeeded");
                             }),
              "");
    EXPECT_EQ(readFile(path), old);
    // The temporary file is gone too.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(IniFile, FullDiskInPlaceFailsBeforeChangingAByte) {
    TempDir dir(reachableTempBase());
    const auto folder = dir / "ro";
    std::filesystem::create_directory(folder);
    const std::string old = "[Camera1]\nName=Camera1\n[Keep]\nx=1\n";
    writeFile(folder / "setup.ini", old);
    ::chmod(folder.c_str(), 0555);
    EXPECT_EQ(asOrdinaryUser(dir.path(),
                             [&] {
                                 limitFileSize(64);
                                 try {
                                     IniFile(folder / "setup.ini")
                                         .writeString("Camera1", "Name", std::string(100, 'n'));
                                 } catch (const IniWriteError&) {
                                     return std::string();
                                 }
                                 return std::string("the write succeeded");
                             }),
              "");
    EXPECT_EQ(readFile(folder / "setup.ini"), old);
}

} // namespace
TEST(IniFile, CollectedWritesAreSavedInOneStep) {
    TempDir dir;
    const auto path = dir / "setup.ini";
    writeFile(path, "[System]\nCurrentCnt=4\n");
    IniFile ini(path);
    ini.beginUpdate();
    ini.writeInteger("System", "CurrentCnt", 9);
    ini.writeString("Camera1", "Name", "Gate");
    EXPECT_EQ(ini.readInteger("System", "CurrentCnt", 0), 9); // reads see the collected values
    EXPECT_EQ(readFile(path), "[System]\nCurrentCnt=4\n");    // the file is untouched so far
    ini.commit();
    EXPECT_FALSE(ini.updating());
    EXPECT_EQ(readFile(path), "[System]\nCurrentCnt=9\n[Camera1]\nName=Gate\n");

    // A failing save throws, ends the collecting and leaves nothing half written.
    IniFile missing(dir / "no-such-folder" / "setup.ini");
    missing.beginUpdate();
    missing.writeString("Camera1", "Name", "Gate");
    EXPECT_THROW(missing.commit(), IniWriteError);
    EXPECT_FALSE(missing.updating());
    EXPECT_FALSE(std::filesystem::exists(dir / "no-such-folder"));
}

TEST(IniFile, ASnapshotReadsTheFileOnceUntilAWrite) {
    TempDir dir;
    writeFile(dir / "setup.ini", "[S]\nk=v\nn=5\n");
    IniFile ini(dir / "setup.ini");
    ini.beginRead();
    std::filesystem::remove(dir / "setup.ini"); // later reads cannot reach the file any more
    EXPECT_EQ(ini.readString("S", "k", "def"), "v");
    EXPECT_EQ(ini.readInteger("S", "n", 0), 5);
    EXPECT_EQ(ini.readString("S", "x", "def"), "def");
    ini.writeString("S", "w", "1"); // a write ends it: reads see the file as written
    EXPECT_EQ(ini.readString("S", "k", "def"), "def");
    EXPECT_EQ(ini.readString("S", "w", ""), "1");
    ini.beginRead();
    ini.endRead();
    writeFile(dir / "setup.ini", "[S]\nk=again\n");
    EXPECT_EQ(ini.readString("S", "k", "def"), "again");
}

} // namespace norvale
