// The Linux layer's own rules: names between bytes and UTF-16, the find patterns, the error
// codes and exit status, the command line, and listings and renames in a real directory.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "linux/linux.h"

// The FAT driver's ioctl as the layer meets it: the real one, the failure a row asks for, or
// a FAT driver's listing: "SHORT|long" an entry, an empty long name for none.
static int ioctlError;
static std::vector<std::string> fatListing;
static size_t fatNext;
extern "C" int __real_ioctl(int descriptor, unsigned long request, ...);
extern "C" int __wrap_ioctl(int descriptor, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (ioctlError)
        return errno = ioctlError, -1;
    if (fatListing.empty())
        return __real_ioctl(descriptor, request, argument);
    struct { long d_ino, d_off; unsigned short d_reclen; char d_name[256]; } *both =
        static_cast<decltype(both)>(argument);
    if (fatNext == fatListing.size())
        return 0;
    const std::string &entry = fatListing[fatNext++];
    snprintf(both[0].d_name, 256, "%s", entry.substr(0, entry.find('|')).c_str());
    snprintf(both[1].d_name, 256, "%s", entry.substr(entry.find('|') + 1).c_str());
    return 1;
}

// Renames as the kernel makes them, except in the directories listed in full: there, as in a
// full root of FAT12 or FAT16, only a name of one record (8.3, 12 bytes at most) finds room,
// or none (fits 0). Every new name the layer tries is logged.
static std::vector<ino_t> full;
static size_t fits;
static std::vector<std::string> triedNames;
extern "C" long __real_syscall(long number, ...);
extern "C" long __wrap_syscall(long number, ...)
{
    va_list args;
    va_start(args, number);
    long from = va_arg(args, long), oldName = va_arg(args, long), to = va_arg(args, long),
         newName = va_arg(args, long), flags = va_arg(args, long); // renameat2's, the only call
    va_end(args);
    struct stat directory;
    if (!full.empty())
        triedNames.push_back(reinterpret_cast<const char *>(newName));
    if (!full.empty() && fstat(int(to), &directory) == 0 && triedNames.back().size() > fits &&
        std::find(full.begin(), full.end(), directory.st_ino) != full.end())
        return errno = ENOSPC, -1;
    return __real_syscall(number, from, oldName, to, newName, flags);
}

namespace {

struct Utf8Locale : ::testing::Environment {
    void SetUp() override { setlocale(LC_CTYPE, "C.UTF-8"); } // as the layer's main does
};
const auto *const locale = ::testing::AddGlobalTestEnvironment(new Utf8Locale);

std::u16string Text(const std::string &bytes)
{
    static WCHAR text[LineUnits];
    DWORD units = NameToUtf16(bytes.data(), bytes.size(), text, LineUnits - 1);
    return units >= LineUnits ? u"<too long>" : std::u16string(text, units);
}

std::string Bytes(const std::u16string &text)
{
    char bytes[1000];
    DWORD length = PathToBytes(text.data(), text.size(), bytes, 999);
    return length > 999 ? "<none>" : std::string(bytes, length);
}

TEST(Layer, NamesComeBackByteForByte)
{
    const struct { std::string bytes; std::u16string text; } rows[] = {
        {"café.txt", u"café.txt"},
        {"\xF0\x9F\x93\xB7", u"\U0001F4F7"},                          // a pair of surrogates
        {"caf\xE9.txt", u"caf\xDCE9.txt"},                           // Latin-1, not UTF-8
        {"a\\b", u"a\xDC5C" u"b"},                                   // a backslash is no separator
        {"\xC0\xAF", u"\xDCC0\xDCAF"},                               // overlong
        {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},                     // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},           // above U+10FFFF
        {"\xE0\x9F\xBF", u"\xDCE0\xDC9F\xDCBF"},                       // U+07FF, overlong
        {"\xE2\x82", u"\xDCE2\xDC82"},                               // cut short
        {"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", u"\x7F\x80\x7FF\x800\xFFFF"}, // edges
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xF0\x9F\x8F\xBF",                      // more edges
         u"\U00010000\U0010FFFF\U0001F3FF"},
        {"\xF0\x8F\xBF\xBF", u"\xDCF0\xDC8F\xDCBF\xDCBF"},           // overlong
    };
    for (const auto &row : rows) {
        EXPECT_EQ(Text(row.bytes), row.text) << row.bytes;
        EXPECT_EQ(Bytes(row.text), row.bytes) << row.bytes;
    }
    EXPECT_EQ(Bytes(u"dir\\sub\\*"), "dir/sub/*");
    EXPECT_EQ(Bytes(u"a\xD800"), "<none>");      // half a pair stands for nothing
    EXPECT_EQ(Bytes(u"\xDD00"), "<none>");
    EXPECT_EQ(Bytes(u"\xDFFF"), "<none>");
    EXPECT_EQ(Bytes(u"\xD83D\xE000"), "<none>");
    WCHAR small[3];
    EXPECT_EQ(NameToUtf16("\xF0\x9F\x93\xB7", 4, small, 2), 2u);
    EXPECT_EQ(NameToUtf16("\xF0\x9F\x93\xB7!", 5, small, 2), 3u);
    EXPECT_EQ(NameToUtf16("abc", 3, small, 2), 3u); // does not fit: size + 1
    char few[3];
    EXPECT_EQ(PathToBytes(u"é", 1, few, 2), 2u);
    EXPECT_EQ(PathToBytes(u"aé", 2, few, 2), 3u);
}

TEST(Layer, PatternsMatchAsOnWindows)
{
    const struct { const char16_t *pattern, *name; bool matches; } rows[] = {
        {u"*", u"readme.txt", true},     {u"*.*", u"README", true},
        {u"*.*", u"a.b.c", true},        {u"*.", u"README", true},
        {u"*.", u"readme.txt", false},   {u"*.TXT", u"readme.txt", true},
        {u"*.txt", u"a.txt.bak", false}, {u"*.c", u"a.b.c", true},
        {u"a?", u"a", true},             {u"a?.txt", u"a.txt", true},
        {u"a?c", u"ac", false},          {u"??", u"abc", false},
        {u"a?c", u"abc", true},          {u"*.t?t", u"x.TXT", true},
        {u"x*y", u"xaay", true},         {u"x*y", u"xaaz", false},
        {u"CAFÉ*", u"café.txt", true},   {u"p*s", u"Photos", true},
        {u"*.tx", u"a.txt", false},      {u"readme.txt", u"README.TXT", true},
        {u"a.", u"a", true},             {u"", u"a", false},
        {u"*b", u"", false},             {u"*", u"", true},
        {u"*.*.", u"a.b", true},         {u"a.?", u"a.b", true},
        {u"*.", u".profile", false},     {u"a.", u"ab", false},
    };
    for (const auto &row : rows) {
        std::u16string pattern = row.pattern, name = row.name;
        EXPECT_EQ(MatchesPattern(pattern.data(), pattern.size(), name.data(), name.size()),
                  row.matches)
            << Bytes(pattern) << " against " << Bytes(name);
    }
    std::u16string longest(255, u'a'), tooLong(256, u'a'), word = u"a" + std::u16string(62, u'x');
    EXPECT_TRUE(MatchesPattern(u"a*b", 3, (word + u"b").data(), 64)); // ends a word of bits
    EXPECT_TRUE(MatchesPattern(u"*", 1, longest.data(), longest.size()));
    EXPECT_FALSE(MatchesPattern(u"*", 1, tooLong.data(), tooLong.size()));
    EXPECT_FALSE(MatchesPattern(u"a*b", 3, longest.data(), longest.size()));
    EXPECT_TRUE(MatchesPattern(u"a*a?", 4, longest.data(), longest.size()));
}

TEST(Layer, ErrorsAreTheCodesAWindowsUserSees)
{
    const struct { int errnum; DWORD code; } rows[] = {
        {0, 0}, {ENOENT, 2}, {ENOTDIR, 3}, {EMFILE, 4}, {ENFILE, 4}, {EACCES, 5}, {EPERM, 5},
        {EBADF, 6}, {ENOMEM, 8}, {EXDEV, 17}, {EROFS, 19}, {ENOMEDIUM, 21}, {ETXTBSY, 32},
        {EAGAIN, 32}, {ENOTSUP, 50}, {ENOTTY, 50}, {EINVAL, 87}, {ENOSPC, 112}, {EILSEQ, 123},
        {ENOTEMPTY, 145}, {EBUSY, 170}, {EEXIST, 183}, {ENAMETOOLONG, 206}, {EIO, 1117},
        {EDQUOT, 1295}, {ELOOP, 1921}, {EPIPE, 232}, {EOVERFLOW, 31},
    };
    for (const auto &row : rows)
        EXPECT_EQ(ErrorFromErrno(row.errnum), row.code) << row.errnum;
    const struct { DWORD code; int status; } exits[] = {
        {0, 0}, {2, 2}, {160, 160}, {255, 255}, {256, 255}, {512, 255}, {1117, 255}};
    for (const auto &row : exits)
        EXPECT_EQ(ExitStatus(row.code), row.status) << row.code;
}

TEST(Layer, TheCommandLineSplitsBackIntoTheArguments)
{
    static WCHAR line[LineUnits];
    const std::vector<std::vector<std::string>> rows = {
        {"shortcase", "photos", "a b", "", "tab\there"},
        {"./shortcase", "say \"hi\"", "\"", "\\\"", "x\\", "C:", "c:x", "caf\xE9"},
        {"/usr/bin/short case", "dir/*.txt", "\\\\?\\C:\\x"},
    };
    for (const auto &row : rows) {
        std::vector<char *> argv;
        for (const std::string &argument : row)
            argv.push_back(const_cast<char *>(argument.c_str()));
        ASSERT_TRUE(BuildCommandLine(argv.size(), argv.data(), line));
        DWORD count = 0;
        WCHAR **split = CommandLineToArgv(line, &count);
        ASSERT_EQ(count, row.size());
        for (DWORD i = 0; i < count; ++i) {
            std::u16string argument = split[i];
            EXPECT_EQ(Bytes(argument), row[i]);
            EXPECT_EQ(argument.find_first_of(u":\\"), std::u16string::npos) << row[i];
        }
        free(split);
    }
    // "shortcase " and the argument: 32,767 units in all fit, one more is refused.
    for (size_t length : {32767 - 10, 32767 - 9}) {
        std::string fits(length, 'x');
        char *argv[] = {const_cast<char *>("shortcase"), fits.data()};
        EXPECT_EQ(BuildCommandLine(2, argv, line), length == 32767 - 10) << length;
        std::string quoted = "\"" + std::string(length - 4, 'x'); // «"\"xx…"»
        char *withQuote[] = {const_cast<char *>("shortcase"), quoted.data()};
        EXPECT_EQ(BuildCommandLine(2, withQuote, line), length == 32767 - 10) << length;
    }
}

std::u16string Format(const char16_t *format, ...)
{
    WCHAR text[1026];
    va_list args;
    va_start(args, format);
    int length = wvsprintfW(text, format, args);
    va_end(args);
    EXPECT_EQ(text[length], 0);
    return std::u16string(text, length);
}

TEST(Layer, FormatsAndComparesAsTheProductNeeds)
{
    EXPECT_EQ(Format(u"%ls() returned error %lu, %lu%%", u"Move", 0u, 4294967295u),
              u"Move() returned error 0, 4294967295%");
    std::u16string path(2000, u'p');
    EXPECT_EQ(Format(u"'%ls'", path.c_str()), u"'" + path.substr(0, 1023));
    EXPECT_EQ(Format(u"%lu%ls", 12345u, path.c_str()).size(), 1024u);
    EXPECT_EQ(Format(u"%ls%lu", path.substr(0, 1022).c_str(), 12345u).size(), 1024u);
    EXPECT_EQ(lstrcmpiW(u"café.TXT", u"CAFÉ.txt"), 0);
    EXPECT_EQ(lstrcmpiW(u"Übung", u"ÜBUNG"), 0);
    EXPECT_LT(lstrcmpiW(u"a", u"B"), 0);
    EXPECT_GT(lstrcmpiW(u"ab", u"A"), 0);
    EXPECT_NE(lstrcmpiW(u"\xDCE9", u"\xDCC9"), 0); // bytes that are no text have no case

    int pipe_[2];
    ASSERT_EQ(pipe(pipe_), 0);
    SetProcess(nullptr, pipe_[1], 0);
    DWORD written;
    // Pairs at the edges, a byte, and half pairs (also after U+D7FF), each shown as U+FFFD.
    const char16_t text[] = u"\U00010000\U0010FFFF\xDCE9\xD800\xDBFF\xD800\xE000\xD7FF\xDFFF";
    EXPECT_TRUE(WriteConsoleW(GetStdHandle(STD_ERROR_HANDLE), text, 11, &written, nullptr));
    char bytes[32] = {};
    EXPECT_EQ(read(pipe_[0], bytes, sizeof bytes), 27);
    EXPECT_STREQ(bytes, "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xE9\xEF\xBF\xBD\xEF\xBF\xBD"
                        "\xEF\xBF\xBD\xEE\x80\x80\xED\x9F\xBF\xEF\xBF\xBD");
    SetProcess(nullptr, 2, 0);
    close(pipe_[0]), close(pipe_[1]);
}

TEST(Layer, OptionsStandAnywhereBeforeTheDoubleDash)
{
    const struct {
        bool posix; // POSIXLY_CORRECT: the first NAME ends the options
        std::vector<const char *> argv;
        int first;
        unsigned options;
        std::vector<const char *> names;
    } rows[] = {
        {0, {"shortcase"}, 1, 0, {}},
        {0, {"shortcase", "-n", "d"}, 2, OptionDryRun, {"d"}},
        {0, {"shortcase", "-vn", "d"}, 2, OptionDryRun | OptionVerbose, {"d"}},
        {0, {"shortcase", "--dry-run", "--verbose", "d"}, 3, OptionDryRun | OptionVerbose, {"d"}},
        {0, {"shortcase", "--dry", "--verb", "d"}, 3, OptionDryRun | OptionVerbose, {"d"}},
        {0, {"shortcase", "--", "-n"}, 2, 0, {"-n"}}, // a NAME that looks like an option
        {0, {"shortcase", "-v", "--", "--", "d"}, 3, OptionVerbose, {"--", "d"}},
        {0, {"shortcase", "d", "-n"}, 2, OptionDryRun, {"d"}}, // as a user types it
        {0, {"shortcase", "a", "-v", "b", "--", "-n", "c"}, 3, OptionVerbose, {"a", "b", "-n", "c"}},
        {1, {"shortcase", "d", "-n"}, 1, 0, {"d", "-n"}},
        {1, {"shortcase", "-n", "d", "-v"}, 2, OptionDryRun, {"d", "-v"}},
        {0, {"shortcase", "-", "-n"}, 2, OptionDryRun, {"-"}},
        {0, {"shortcase", "d", "--help", "--bogus"}, 0, OptionHelp, {}},
        {0, {"shortcase", "-n", "--version", "-x"}, 0, OptionDryRun | OptionVersion, {}},
        {0, {"shortcase", "--ver", "d"}, -1, 0, {}},               // --verbose or --version?
        {0, {"shortcase", "-x", "d"}, 0, 0, {}},
        {0, {"shortcase", "d", "-nx"}, 0, 0, {}},
        {0, {"shortcase", "--dry-run=yes"}, 0, 0, {}},
    };
    for (const auto &row : rows) {
        unsigned options = 99;
        const char *unknown = nullptr;
        std::vector<char *> argv;
        for (const char *argument : row.argv)
            argv.push_back(const_cast<char *>(argument));
        int first = ParseOptions(argv.size(), argv.data(), !row.posix, &options, &unknown);
        std::string line = row.argv.size() > 1 ? row.argv[1] : "";
        if (row.options & (OptionHelp | OptionVersion)) {
            EXPECT_EQ(options, row.options) << line; // the NAMEs no longer matter
            continue;
        }
        EXPECT_EQ(first, row.first) << line;
        if (first <= 0) {
            EXPECT_STREQ(unknown, row.argv[row.argv[1][0] == '-' ? 1 : 2]);
            continue;
        }
        EXPECT_EQ(options, row.options) << line;
        EXPECT_EQ(std::vector<std::string>(argv.begin() + first, argv.end()),
                  std::vector<std::string>(row.names.begin(), row.names.end())) << line;
    }
}

// The list of renames, lost: said once on the console, and the run does not end with 0; nor
// does one in which a rename or a listing failed, where the product's status is 0.
TEST(LayerDeathTest, ARunWhoseListIsLostOrARenameFailedDoesNotEndWithZero)
{
    auto lost = [](UINT status, DWORD failed) {
        SetProcess(nullptr, 2, OptionVerbose);
        close(1);
        Record(u"renamed", u"a", u"A");
        if (failed)
            NoteFailure(failed);
        Record(u"renamed", u"b", u"B");
        ExitProcess(status);
    };
    const char message[] = "^The renames cannot be listed: writing to standard output failed "
                           "with error 6\n$";
    EXPECT_EXIT(lost(0, 0), ::testing::ExitedWithCode(6), message);
    EXPECT_EXIT(lost(2, 0), ::testing::ExitedWithCode(2), message);
    EXPECT_EXIT(lost(0, 19), ::testing::ExitedWithCode(19), message);
    EXPECT_EXIT(lost(2, 19), ::testing::ExitedWithCode(2), message);
}

// A scratch directory of this process's own, removed afterwards.
class LayerDirectory : public ::testing::Test {
protected:
    std::string root;
    void SetUp() override
    {
        char pattern[] = "/tmp/shortcase-layer-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override
    {
        umount2((root + "/stick").c_str(), MNT_DETACH); // where a test mounted one
        EXPECT_EQ(system(("rm -rf " + root).c_str()), 0);
    }
    static size_t Descriptors()
    {
        size_t count = 0;
        DIR *listing = opendir("/proc/self/fd");
        while (listing && readdir(listing))
            ++count;
        return listing && closedir(listing) == 0 ? count : 0;
    }
    void Make(const std::string &path) { std::ofstream(root + "/" + path) << "x"; }
    std::u16string Path(const std::string &path) { return Text(root) + u"\\" + Text(path); }
    std::vector<std::string> Find(const std::string &pattern, DWORD *error)
    {
        std::vector<std::string> found;
        WIN32_FIND_DATAW find;
        HANDLE handle = FindFirstFileW(Path(pattern).c_str(), &find);
        *error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (handle == INVALID_HANDLE_VALUE)
            return found;
        do
            found.push_back(Bytes(find.cFileName) + (find.dwFileAttributes & 0x400 ? "@" : "") +
                            (find.dwFileAttributes & 0x10 ? "/" : "") +
                            (find.cAlternateFileName[0] ? "|" + Bytes(find.cAlternateFileName)
                                                        : ""));
        while (FindNextFileW(handle, &find));
        *error = GetLastError();
        EXPECT_TRUE(FindClose(handle));
        std::sort(found.begin(), found.end());
        return found;
    }
};

TEST_F(LayerDirectory, FindsAsWindowsFinds)
{
    ASSERT_EQ(mkdir((root + "/docs").c_str(), 0755), 0);
    Make("readme.TXT"), Make("Notes.txt"), Make("notes.txt"), Make("image.jpg");
    Make("Z.shortcase-renaming");
    ASSERT_EQ(symlink("docs", (root + "/link").c_str()), 0);
    ASSERT_EQ(symlink("image.jpg", (root + "/file-link").c_str()), 0);
    const struct {
        const char *pattern;
        std::vector<std::string> found;
        DWORD error;
        int ioctlError = 0; // how the FAT driver's listing fails
    } rows[] = {
        {"*.txt", {"Notes.txt", "notes.txt", "readme.TXT"}, 18},
        {"Z.*", {"Z.shortcase-renaming"}, 18}, // a killed run's, finished by "*" alone:
        {"*", {"../", "./", "Notes.txt", "Z", "docs/", "file-link@", "image.jpg", "link@/",
               "notes.txt", "readme.TXT"}, 18},
        {"README.txt", {"readme.TXT"}, 18},  // any case, under its real name
        {"notes.txt", {"notes.txt"}, 18},     // the exact spelling, wherever it stands
        {"Notes.txt", {"Notes.txt"}, 18},
        {"IMAGE.JPG", {"image.jpg"}, 18},
        {"nothing", {}, 2},
        {"*.zip", {}, 2},
        {"?", {"Z"}, 18},                     // the one name of one unit; no short name is one
        {"missing/*", {}, 3},
        {"image.jpg/*", {}, 3},
        // A file system without short names lists the ordinary way; any other failure is one.
        {"*.txt", {"Notes.txt", "notes.txt", "readme.TXT"}, 18, ENOSYS},
        {"*.txt", {"Notes.txt", "notes.txt", "readme.TXT"}, 18, ENOTSUP},
        {"*.txt", {"Notes.txt", "notes.txt", "readme.TXT"}, 18, EINVAL},
        {"*.txt", {}, 1117, EIO},
        {"docs", {}, 5, EACCES},
    };
    size_t open = Descriptors();
    for (const auto &row : rows) {
        DWORD error;
        ioctlError = row.ioctlError;
        std::vector<std::string> found = Find(row.pattern, &error);
        ioctlError = 0;
        EXPECT_EQ(found, row.found) << row.pattern << " " << row.ioctlError;
        EXPECT_EQ(error, row.error) << row.pattern << " " << row.ioctlError;
    }
    EXPECT_EQ(Descriptors(), open); // every listing closed its directory
}

// The short names as Windows shows them, stored in upper case, whatever case the mount shows
// them in; where the code page alone would know, none.
TEST_F(LayerDirectory, TakesTheShortNamesAsFatStoresThem)
{
    Make("readme.txt"), Make("notes.txt"), Make("Lazy.txt"), Make("Caf\xC3\xA9.txt");
    Make("x"), Make("Docs");
    fatListing = {".|", "..|", "README.TXT|readme.txt", "notes.txt|", "lazy.txt|Lazy.txt",
                  "caf\xC3\xA9.txt|Caf\xC3\xA9.txt", "ABCDEFGHI.TXTX|x", "DOCS|Docs"};
    fatNext = 0;
    DWORD error;
    EXPECT_EQ(Find("*", &error),
              (std::vector<std::string>{"../", "./", "Caf\xC3\xA9.txt", "Docs|DOCS",
                                        "Lazy.txt|LAZY.TXT", "notes.txt",
                                        "readme.txt|README.TXT", "x"}));
    EXPECT_EQ(error, 18u);
    fatNext = 0; // names of one unit: no short name that was dropped is one
    EXPECT_EQ(Find("?", &error), std::vector<std::string>{"x"});

    // A short name that another entry holds, as its long name or (made by hand) as its short
    // one: a FAT driver's lookup finds the first of the two, so only the directory's names
    // tell. Refused before anything moves, in a dry run too; renamed where nobody holds it.
    const struct { std::vector<std::string> listing; unsigned options; DWORD error; } rows[] = {
        {{"README.TXT|readme.txt", "README~1.TXT|ReadMe.TXT"}, 0, 183},
        {{"README.TXT|readme.txt", "README~1.TXT|ReadMe.TXT"}, OptionDryRun, 183},
        {{"README.TXT|readme.txt", "README.TXT|Read me.txt"}, 0, 183},
        {{"README.TXT|readme.txt", "READ~1.TXT|read.me.txt"}, 0, 0},
    };
    for (const auto &row : rows) {
        fatListing = row.listing, fatNext = 0;
        SetProcess(nullptr, 2, row.options);
        BOOL moved = MoveFileW(Path("readme.txt").c_str(), Path("README.TXT").c_str());
        EXPECT_EQ(moved ? 0 : GetLastError(), row.error) << row.listing[1];
        EXPECT_EQ(access((root + (moved ? "/README.TXT" : "/readme.txt")).c_str(), F_OK), 0);
    }
    SetProcess(nullptr, 2, 0);
    fatListing.clear();
}

TEST_F(LayerDirectory, EntersAMountPointThatANameNames)
{
    ASSERT_EQ(mkdir((root + "/stick").c_str(), 0755), 0);
    if (mount("none", (root + "/stick").c_str(), "tmpfs", 0, nullptr) != 0)
        GTEST_SKIP() << "mounting a file system needs root";
    DWORD error;
    EXPECT_EQ(Find("stick", &error), std::vector<std::string>{"stick/"});
    EXPECT_EQ(Find("STICK", &error), std::vector<std::string>{"stick/"});
    EXPECT_EQ(Find("st*", &error), std::vector<std::string>{"stick@/"}); // as "DIR/" lists it
    std::string typed = root + "/st*";
    char *names[] = {typed.data()};
    SetNames(names, 1);
    EXPECT_EQ(Find("st*", &error), std::vector<std::string>{"stick/"}); // the NAME's wildcards
    WIN32_FIND_DATAW first; // the walk below a NAME lists inside the NAME's own listing
    HANDLE named = FindFirstFileW(Path("*").c_str(), &first);
    EXPECT_EQ(Find("st*", &error), std::vector<std::string>{"stick@/"});
    EXPECT_TRUE(FindClose(named));
    SetNames(nullptr, 0);
}

TEST(Layer, NamesOfOneRecordSayWhatTheyStandFor)
{
    const struct { const char *name, *temporary; int attempt = 0; } rows[] = {
        {"FILE0.TXT", "FILE0.TX~"}, {"PHOTOS", "PHOTO~"}, {"ABCDEFGH.TXT", "ABCDEFGH.TX~"},
        {"A.B", "A.~"}, {"pizza.1st", "PIZZA.1S~"}, {"A{B}.TXT", "A{B}.TX~"},
        {"CAFÉ.TXT", "CAF_.TX~"}, {"\xE6\x97\xA5\xE6\x9C\xAC.TXT", "__.TX~"}, // outside ASCII
        {"ABCDEFGHI", nullptr}, {"A.TXTX", nullptr}, {".PROFILE", nullptr}, {"A.B.C", nullptr},
        {"A.", nullptr}, {"", nullptr},
        // Where the first is taken: the base name ends in ~1 to ~9.
        {"FILE0.TXT", "FILE0~1.TXT", 1}, {"ABCDEFGH.TXT", "ABCDEF~9.TXT", 9}, {"A.B", "A~2.B", 2},
        {"README.TX~", "README~1.TX~", 1}, {"PHOTOS", "PHOTOS~3", 3},
    };
    for (const auto &row : rows) {
        char temporary[16];
        bool made = OneRecordName(row.name, row.attempt, temporary);
        EXPECT_EQ(made ? std::string(temporary) : "none", row.temporary ? row.temporary : "none")
            << row.name;
    }
}

TEST_F(LayerDirectory, RenamesWithoutReplacingOrLosingAnything)
{
    Make("a"), Make("B"), Make("c"), Make("D.shortcase-renaming"), Make("x"), Make("y");
    ASSERT_EQ(mkdir((root + "/d").c_str(), 0755), 0);
    // Temporary names that killed runs left: x finds all nine taken, y the last one free.
    Make("X.shortcase-renaming"), Make("Y.shortcase-renaming");
    for (int n = 2; n <= 9; ++n) {
        Make("X.shortcase-renaming-" + std::to_string(n));
        if (n < 9)
            Make("Y.shortcase-renaming-" + std::to_string(n));
    }
    const struct { const char *from, *to; DWORD error; } rows[] = {
        {"a", "A", 0},         // in two steps, leaving no temporary name
        {"c", "B", 183},       // taken by another entry: both stay
        {"missing", "M", 2},
        {"missing", "B", 2},
        {"gone/a", "gone/A", 3},  // a directory on the way is missing, of either name
        {"c", "gone/C", 3},
        {"missing", "gone/M", 3},
        {"gone/b", "b", 3},
        {"d", "D", 0},         // past a temporary name a killed run left
        {"x", "X", 183},
        {"y", "Y", 0},
    };
    size_t open = Descriptors();
    for (const auto &row : rows) {
        BOOL moved = MoveFileW(Path(row.from).c_str(), Path(row.to).c_str());
        EXPECT_EQ(moved ? 0 : GetLastError(), row.error) << row.from;
    }
    EXPECT_EQ(Descriptors(), open); // every directory the steps opened is closed
    DWORD error;
    std::vector<std::string> left = Find("*", &error);
    left.erase(std::remove_if(left.begin(), left.end(), [](const std::string &name) {
        return name.rfind("X.", 0) == 0 || name.rfind("Y.", 0) == 0;
    }), left.end());
    // The listing itself finished what the killed runs left, where X was free.
    EXPECT_EQ(left, (std::vector<std::string>{"../", "./", "A", "B", "D.shortcase-renaming", "D/",
                                              "X", "Y", "c", "x"}));
}

// A directory of the walk that cannot be listed is a failure for the exit status; one that is
// empty is none, and a NAME that matches nothing is one.
TEST_F(LayerDirectory, AWalkThatCannotListADirectoryDoesNotEndWithZero)
{
    ASSERT_EQ(mkdir((root + "/empty").c_str(), 0755), 0);
    auto walk = [&](const char *below) {
        SetProcess(nullptr, 2, 0);
        WIN32_FIND_DATAW find;
        FindFirstFileW(Path("*").c_str(), &find); // the NAME's listing, open during the walk
        FindFirstFileW(Path(below).c_str(), &find);
        ExitProcess(0);
    };
    EXPECT_EXIT(walk("empty/*"), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(walk("missing/*"), ::testing::ExitedWithCode(3), "");
    WIN32_FIND_DATAW find;
    EXPECT_EXIT((SetProcess(nullptr, 2, 0), FindFirstFileW(Path("missing").c_str(), &find),
                 ExitProcess(0)),
                ::testing::ExitedWithCode(2), "");
}

// A listing of a whole directory finishes what a killed run left where the short name is
// free, in the directory or its parent, and lists it under -v; names no run made stay.
TEST_F(LayerDirectory, FinishesWhatAKilledRunLeft)
{
    ASSERT_EQ(mkdir((root + "/d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/e").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/d/x").c_str(), 0755), 0);
    for (const char *name : {"A.shortcase-renaming", "B.shortcase-renaming-9", ".shortcase-renaming",
                             "C.shortcase-renaming-1", "D.shortcase-renaming.3", "E.shortcase-renaming-23",
                             "H.shortcase-renaming-A", "d/F.shortcase-renaming-from-parent",
                             "d/x/K.shortcase-renaming-from-parent", "e/L.shortcase-renaming",
                             "e/G.shortcase-renaming-from-parent-2"})
        Make(name);
    int list[2], out = dup(1), here = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(pipe(list), 0);
    dup2(list[1], 1);
    SetProcess(nullptr, 2, OptionVerbose);
    // d's contents as a NAME types them, with '/' alone; x's as the walk spells them; e's as
    // "*" in the current directory.
    for (const std::u16string &pattern :
         {Text(root + "/d/*"), Text(root + "/d") + u"\\x\\*", std::u16string(u"*")}) {
        WIN32_FIND_DATAW find;
        HANDLE listing = FindFirstFileW(pattern.c_str(), &find);
        while (FindNextFileW(listing, &find)) {
        }
        EXPECT_TRUE(FindClose(listing));
        ASSERT_EQ(chdir((root + "/e").c_str()), 0);
    }
    ASSERT_EQ(fchdir(here), 0);
    close(here);
    DWORD error;
    std::vector<std::string> inside = Find("*", &error);
    dup2(out, 1), close(out), close(list[1]);
    SetProcess(nullptr, 2, 0);
    std::string listed(4096, 0), r = "renamed '" + root;
    listed.resize(std::max<ssize_t>(0, read(list[0], &listed[0], listed.size())));
    close(list[0]);
    EXPECT_EQ(inside, (std::vector<std::string>{"../", "./", ".shortcase-renaming", "A", "B",
                                                "C.shortcase-renaming-1", "D.shortcase-renaming.3",
                                                "E.shortcase-renaming-23", "F", "G",
                                                "H.shortcase-renaming-A", "d/", "e/"}));
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = listed.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(listed.substr(at, end - at));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         r + "/A.shortcase-renaming' -> '" + root + "/A'",
                         r + "/B.shortcase-renaming-9' -> '" + root + "/B'",
                         r + "/d/F.shortcase-renaming-from-parent' -> '" + root + "/F'",
                         r + "/d/x/K.shortcase-renaming-from-parent' -> '" + root + "/d/K'",
                         "renamed 'G.shortcase-renaming-from-parent-2' -> '../G'",
                         "renamed 'L.shortcase-renaming' -> 'L'"}));
}

// A directory without room for the temporary name: through a subdirectory that is neither
// hidden nor a link nor the entry itself, else through a name of one record, else not at all.
TEST_F(LayerDirectory, RenamesWhereOnlyANameOfOneRecordFits)
{
    for (const char *path : {"a", "a/docs", "b", "b/photos", "c", "c/.Trash-1000", "elsewhere"})
        ASSERT_EQ(mkdir((root + "/" + path).c_str(), 0755), 0);
    ASSERT_EQ(symlink("../elsewhere", (root + "/c/link").c_str()), 0);
    Make("a/file0.txt"), Make("c/file2.txt"), Make("c/FILE2.TX~"), Make("c/file3.txt");
    Make("c/file4.txt");
    for (const char *path : {"a", "b", "c"}) {
        struct stat directory;
        ASSERT_EQ(stat((root + "/" + path).c_str(), &directory), 0);
        full.push_back(directory.st_ino);
    }
    const std::string in = ".shortcase-renaming", out = in + "-from-parent";
    const struct {
        const char *from, *to;
        DWORD error;
        std::vector<std::string> tried;
        size_t fits = 12;
    } rows[] = {
        {"a/file0.txt", "a/FILE0.TXT", 0, {"FILE0.TXT" + in, "FILE0.TXT" + out, "FILE0.TXT"}},
        {"b/photos", "b/PHOTOS", 0, {"PHOTOS" + in, "PHOTOS" + out, "PHOTO~", "PHOTOS"}},
        // Its name of one record taken, the next.
        {"c/file2.txt", "c/FILE2.TXT", 0,
         {"FILE2.TXT" + in, "FILE2.TX~", "FILE2~1.TXT", "FILE2.TXT"}},
        // Not a record free: in c, the current directory, and said once.
        {"file3.txt", "FILE3.TXT", 112, {"FILE3.TXT" + in, "FILE3.TX~"}, 0},
        {"c/file4.txt", "c/FILE4.TXT", 112, {"FILE4.TXT" + in, "FILE4.TX~"}, 0},
    };
    int console[2], here = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(pipe(console), 0);
    ASSERT_EQ(chdir((root + "/c").c_str()), 0);
    SetProcess(nullptr, console[1], 0);
    size_t opened = Descriptors();
    for (const auto &row : rows) {
        triedNames.clear();
        fits = row.fits;
        auto spell = [&](const char *path) { return strchr(path, '/') ? Path(path) : Text(path); };
        BOOL moved = MoveFileW(spell(row.from).c_str(), spell(row.to).c_str());
        EXPECT_EQ(moved ? 0 : GetLastError(), row.error) << row.from;
        EXPECT_EQ(triedNames, row.tried) << row.from;
    }
    EXPECT_EQ(Descriptors(), opened);
    ASSERT_EQ(fchdir(here), 0);
    close(here);
    full.clear();
    SetProcess(nullptr, 2, 0);
    close(console[1]);
    char told[1000] = {};
    EXPECT_GT(read(console[0], told, sizeof told - 1), 0);
    close(console[0]);
    EXPECT_STREQ(told, "Directory '.' is full: move one entry out of it, and shortcase can "
                       "rename the rest!\n"); // once, for the first
    DWORD error;
    EXPECT_EQ(Find("a/*", &error), (std::vector<std::string>{"../", "./", "FILE0.TXT", "docs/"}));
    EXPECT_EQ(Find("a/docs/*", &error), (std::vector<std::string>{"../", "./"}));
    EXPECT_EQ(Find("c/*", &error),
              (std::vector<std::string>{"../", "./", ".Trash-1000/", "FILE2.TXT", "FILE2.TX~",
                                        "file3.txt", "file4.txt", "link@/"}));
}

// Past PATH_MAX, where Linux takes no path in one call, and in a dry run, which renames
// nothing and yet walks on under the new name (tmpfs, like a case-sensitive mount, finds an
// entry by its own spelling alone).
TEST_F(LayerDirectory, RenamesAtAnyDepthAndWalksOnInADryRun)
{
    // 20 names: 16 of 250 bytes, one that ends its path at exactly PATH_MAX (4,096 bytes, one
    // too many for a call), 3 more of 250.
    std::string deep, exact;
    int directory = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 20; ++level) {
        std::string name(level == 16 ? 4096 - root.size() - 16 * 251 - 1 : 250, 'a' + level);
        ASSERT_EQ(mkdirat(directory, name.c_str(), 0755), 0);
        int inner = openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(directory);
        directory = inner;
        deep += name + "/";
        exact = level == 16 ? deep : exact;
    }
    int file = openat(directory, "pair.txt", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(file, 0);
    close(file), close(directory);
    ASSERT_EQ(mkdir((root + "/docs").c_str(), 0755), 0);
    const std::string name(5000, 'n'); // longer than any name: for the kernel to refuse
    size_t opened = Descriptors();
    DWORD error;
    EXPECT_TRUE(MoveFileW(Path(deep + "pair.txt").c_str(), Path(deep + "PAIR.TXT").c_str()));
    EXPECT_EQ(Find(deep + "*", &error), (std::vector<std::string>{"../", "./", "PAIR.TXT"}));
    EXPECT_EQ(Find(exact + "*", &error).size(), 3u);
    std::string dots; // 1,672 "/." more: 8,193 bytes, whose second run is exactly PATH_MAX
    for (int n = 0; n < 1672; ++n)
        dots += "./";
    EXPECT_EQ(Find(deep + dots + "*", &error).size(), 3u);
    EXPECT_EQ(Find("missing/" + deep + "*", &error).size() + error, 3u);
    EXPECT_EQ(Find("docs/" + name + "/*", &error).size() + error, 206u);
    int here = open(".", O_RDONLY | O_DIRECTORY); // and from the current directory
    ASSERT_EQ(chdir(root.c_str()), 0);
    WIN32_FIND_DATAW find;
    HANDLE handle = FindFirstFileW(Text("./" + deep + "PAIR.TXT").c_str(), &find);
    EXPECT_TRUE(handle != INVALID_HANDLE_VALUE && FindClose(handle));
    for (const char *path : {"a", "a/Sub", "b", "b/SUB"}) // apart in their first unit alone
        ASSERT_EQ(mkdir(path, 0755), 0);
    PretendRenamed(u"a\\Sub", u"a\\SUB");
    handle = FindFirstFileW(u"b\\SUB", &find);
    EXPECT_TRUE(handle != INVALID_HANDLE_VALUE && Bytes(find.cFileName) == "SUB" &&
                FindClose(handle));
    ASSERT_EQ(fchdir(here), 0);
    close(here);
    EXPECT_EQ(Descriptors(), opened); // each directory on the way closed

    Make("notes.txt"), Make("docs/readme.txt");
    ASSERT_EQ(mkdir((root + "/abcd").c_str(), 0755), 0);
    Make("abcd/1"), Make("abcd/2");
    int pipe_[2];
    ASSERT_EQ(pipe(pipe_), 0);
    int out = dup(1);
    dup2(pipe_[1], 1);
    SetProcess(nullptr, 2, OptionDryRun);
    auto count = [&](const std::u16string &pattern) {
        HANDLE handle = FindFirstFileW((Path("") + pattern).c_str(), &find);
        if (handle == INVALID_HANDLE_VALUE)
            return -(int)GetLastError();
        int found = 1;
        while (FindNextFileW(handle, &find))
            ++found;
        FindClose(handle);
        return found;
    };
    EXPECT_TRUE(MoveFileW(Path("docs").c_str(), Path("DOCS").c_str()));
    EXPECT_EQ(count(u"DOCS"), 1);
    EXPECT_EQ(count(u"DOCS\\*"), 3); // ., .. and readme.txt
    EXPECT_TRUE(MoveFileW((Path("DOCS") + u"\\readme.txt").c_str(),
                          (Path("DOCS") + u"\\README.TXT").c_str()));
    EXPECT_EQ(count(u"DOCS/*"), 3);
    EXPECT_EQ(count(u"abcd\\*"), 4);  // the walk has left DOCS
    EXPECT_EQ(count(u"DOCS\\*"), -3); // and no longer finds it
    SetProcess(nullptr, 2, OptionVerbose);
    EXPECT_TRUE(MoveFileW(Path("notes.txt").c_str(), Path("NOTES.TXT").c_str()));
    EXPECT_FALSE(MoveFileW(Path("missing").c_str(), Path("MISSING").c_str()));
    SetProcess(nullptr, 2, 0);
    dup2(out, 1);
    close(out), close(pipe_[1]);
    char listed[1000] = {};
    EXPECT_GT(read(pipe_[0], listed, sizeof listed - 1), 0);
    close(pipe_[0]);
    EXPECT_EQ(listed, "would rename '" + root + "/docs' -> '" + root + "/DOCS'\n" +
                      "would rename '" + root + "/DOCS/readme.txt' -> '" + root +
                      "/DOCS/README.TXT'\n" +
                      "renamed '" + root + "/notes.txt' -> '" + root + "/NOTES.TXT'\n");
    EXPECT_EQ(Find("*", &error), (std::vector<std::string>{"../", "./", "NOTES.TXT", "a/",
                                                           std::string(250, 'a') + "/",
                                                           "abcd/", "b/", "docs/"}));
    EXPECT_EQ(Descriptors(), opened);
}

} // namespace
