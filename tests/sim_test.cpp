// The simulated layer itself, where the program's tests lean on it behaving like Windows.
#include <gmock/gmock.h>

#include "tests/sim/fixture.h"

namespace {

using ::testing::ElementsAre;

std::vector<std::string> List(const char16_t *pattern, DWORD *error = nullptr)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) {
        if (error)
            *error = GetLastError();
        return names;
    }
    do
        names.push_back(sim::Utf8(data.cFileName));
    while (FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(find));
    return names;
}

TEST_F(SimTest, ListsLikeWindows)
{
    sim::AddDirectory(R"(C:\Program Files)", "PROGRA~1");
    sim::AddFile(R"(C:\Program Files\index.html)", "INDEX~1.HTM");
    sim::AddFile(R"(C:\Program Files\b.txt)");
    EXPECT_THAT(List(uR"(C:\*)"), ElementsAre("Program Files")); // the root has no dots
    EXPECT_THAT(List(uR"(C:\progra~1\*)"), ElementsAre(".", "..", "index.html", "b.txt"));
    EXPECT_THAT(List(uR"(\PROGRAM FILES\*.htm)"), ElementsAre("index.html")); // by short name
    EXPECT_THAT(List(uR"(C:\Program Files\?.TXT)"), ElementsAre("b.txt"));
    DWORD error = 0;
    EXPECT_THAT(List(uR"(C:\Program Files\none*)", &error), ElementsAre());
    EXPECT_EQ(error, 2u);
    EXPECT_THAT(List(uR"(D:\*)", &error), ElementsAre());
    EXPECT_EQ(error, 3u);
    // A share is opened only by a pattern inside it, never by its own name.
    sim::AddShare(R"(\\server\share)");
    sim::AddFile(R"(\\server\share\a.txt)");
    EXPECT_THAT(List(uR"(//SERVER/share/*)"), ElementsAre(".", "..", "a.txt"));
    EXPECT_THAT(List(uR"(\\server\share\..\a.txt)"), ElementsAre("a.txt")); // its top
    for (const char16_t *none : {uR"(\\server\share)", uR"(\\server\*)", uR"(\\other\share\*)"}) {
        EXPECT_THAT(List(none, &error), ElementsAre());
        EXPECT_EQ(error, 53u);
    }
}

TEST_F(SimTest, MovesWithoutReplacingAndKeepsOpenListings)
{
    sim::AddDirectory(R"(C:\t)");
    sim::AddFile(R"(C:\t\readme.txt)", "README.TXT");
    sim::AddFile(R"(C:\t\other)");
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(uR"(C:\t\*)", &data);
    EXPECT_FALSE(MoveFileW(uR"(C:\t\other)", uR"(C:\t\README.TXT)"));
    EXPECT_EQ(GetLastError(), 183u);
    EXPECT_TRUE(MoveFileW(uR"(C:\t\readme.txt)", uR"(C:\t\README.TXT)"));
    EXPECT_THAT(List(uR"(C:\t\*)"), ElementsAre(".", "..", "README.TXT", "other"));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(FindNextFileW(find, &data));
    EXPECT_EQ(std::u16string(data.cFileName), u"readme.txt"); // the snapshot
    EXPECT_EQ(std::u16string(data.cAlternateFileName), u"README.TXT");
    EXPECT_TRUE(FindClose(find));
    EXPECT_FALSE(FindClose(find));
    EXPECT_EQ(sim::Misuses(), 1u);
    sim::Reset();
}

TEST_F(SimTest, CaseSensitiveDirectoriesMatchExactly)
{
    sim::AddDirectory(R"(C:\cs)");
    sim::SetCaseSensitive(R"(C:\cs)");
    sim::AddDirectory(R"(C:\cs\docs)", "DOCS");
    sim::AddFile(R"(C:\cs\Docs)");
    EXPECT_TRUE(MoveFileW(uR"(C:\cs\docs)", uR"(C:\cs\DOCS)"));
    DWORD error = 0;
    EXPECT_THAT(List(uR"(C:\cs\docs\*)", &error), ElementsAre());
    EXPECT_EQ(error, 3u);
    EXPECT_THAT(List(uR"(C:\cs\DOCS\*)"), ElementsAre(".", ".."));
}

TEST_F(SimTest, FormatsLikeWvsprintfW)
{
    auto format = [](WCHAR *buffer, const WCHAR *pattern, ...) {
        va_list args;
        va_start(args, pattern);
        int n = wvsprintfW(buffer, pattern, args);
        va_end(args);
        return n;
    };
    WCHAR buffer[1025];
    EXPECT_EQ(format(buffer, u"%ls=%lu 100%%", u"x", 4294967295u), 17);
    EXPECT_EQ(std::u16string(buffer), u"x=4294967295 100%");
    std::u16string long_(2000, u'a');
    EXPECT_EQ(format(buffer, u"%ls", long_.c_str()), 1024);
    EXPECT_EQ(std::u16string(buffer), long_.substr(0, 1024));
    EXPECT_EQ(lstrcmpiW(u"Caf\u00e9", u"CAF\u00c9"), 0);
    EXPECT_LT(lstrcmpiW(u"a", u"B"), 0);
}

TEST_F(SimTest, FaultsCountDown)
{
    sim::Fail(sim::Call::LocalAlloc, 2, 8, true);
    HLOCAL first = LocalAlloc(0, 4);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(LocalAlloc(0, 4), nullptr);
    EXPECT_EQ(LocalAlloc(0, 4), nullptr); // persistent
    EXPECT_EQ(GetLastError(), 8u);
    EXPECT_EQ(sim::Calls(sim::Call::LocalAlloc), 3u);
    EXPECT_EQ(LocalFree(first), nullptr);
    EXPECT_EQ(LocalFree(first), first); // a second free is caught
    EXPECT_EQ(sim::Misuses(), 1u);
    sim::Reset();
}

} // namespace
