// EntryPoint and PrintConsole: messages, their order and the exit status of whole runs.
#include <gmock/gmock.h>

#include "tests/sim/fixture.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using sim::Call;

const std::string NoArguments =
    "No arguments: at least one (wildcard) directory or file name must be given!\n";

std::string ArgumentFailed(const std::string &call, DWORD code, const std::string &argument)
{
    return call + "() returned error " + std::to_string(code) + " for argument '" + argument +
           "'\n";
}

std::string NoMatch(const std::string &argument)
{
    return "No match for argument '" + argument + "'!\n";
}

const std::string Usage = "Usage: shortcase NAME [NAME ...]\nRenames each file or directory that "
                          "NAME matches, and every entry below it, to its 8.3 short name where "
                          "the two differ only in case.\n";

// A fresh layer whose volume has C:\t holding readme.txt (README.TXT), and C:\empty.
void Fresh()
{
    sim::Reset();
    sim::AddDirectory(R"(C:\t)");
    sim::AddFile(R"(C:\t\readme.txt)", "README.TXT");
    sim::AddDirectory(R"(C:\empty)");
}

class DriverTest : public SimTest {
protected:
    void SetUp() override { Fresh(); }
    const std::vector<std::string> Renamed = {R"(C:\t\)", R"(C:\t\README.TXT)", R"(C:\empty\)"};
    const std::vector<std::string> Untouched = {R"(C:\t\)", R"(C:\t\readme.txt)", R"(C:\empty\)"};
};

TEST_F(DriverTest, WithoutArgumentsSaysSoAndExitsWith160)
{
    for (const char *line : {"shortcase", "\"C:\\bin\\shortcase.exe\"   \t "}) {
        sim::Reset();
        sim::Result result = sim::Run(line);
        EXPECT_EQ(result.status, 160u) << line;
        EXPECT_EQ(result.console, NoArguments) << line;
        EXPECT_EQ(sim::Calls(Call::FindFirstFile), 0u);
        EXPECT_EQ(sim::Calls(Call::LocalFree), 1u);
    }
}

TEST_F(DriverTest, TreatsTheMatchesAndExitsWith0)
{
    sim::Result result = sim::Run(R"(shortcase C:\t\*.txt)");
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.console, "");
    EXPECT_THAT(sim::Tree(R"(C:\t)"), ElementsAre(R"(C:\t\README.TXT)"));
}

TEST_F(DriverTest, AnArgumentThatMatchesNothingGivesItsCode)
{
    struct {
        std::string argument;
        DWORD code;
        const char *added; // what the pattern opened adds to the argument
    } const cases[] = {
        {R"(C:\t\missing.txt)", 2, ""}, {R"(C:\nowhere\*)", 3, ""}, {R"(C:\nowhere\)", 3, "*"},
        {"/?x", 2, ""},
        // Names like any other, though they begin or end with a dot: no directory's contents.
        // (The current directory is C:\empty, so "t." names no C:\t.)
        {"...", 2, ""}, {"t.", 2, ""}, {".t", 2, ""},
        // Names nothing at all: the current directory must not be listed in its stead.
        {"", 2, ""},
        // Only "\\server\share" is a bare share, opened as its contents; never a directory on
        // one, a server, a device path, a literal path or an empty server's name.
        {R"(\\s\m)", 53, R"(\*)"}, {R"(\\server)", 53, ""}, {R"(\\server\)", 53, "*"},
        {R"(\\.\C:)", 53, ""}, {R"(\\?\C:)", 3, ""}, {R"(\\?\UNC\server\share)", 3, ""},
        {R"(\\\share)", 53, ""}, {R"(\\s\share/dir)", 53, ""},
        // Only "\\?\" begins the literal form: with a slash in it, a slash separates.
        {R"(/\?\x/)", 53, "*"}, {R"(\/?\x/)", 53, "*"}, {R"(\\?/x/)", 53, "*"},
    };
    for (auto &c : cases) {
        Fresh();
        sim::SetCurrentDirectory(R"(C:\empty)");
        std::string typed = c.argument.empty() ? "\"\"" : c.argument;
        sim::Result result = sim::Run("shortcase " + typed);
        EXPECT_EQ(result.status, c.code) << typed;
        EXPECT_EQ(result.console, ArgumentFailed("FindFirstFile", c.code, c.argument)) << typed;
        EXPECT_THAT(sim::Log(), ElementsAre("FindFirstFile " + c.argument + c.added + " error " +
                                            std::to_string(c.code)))
            << typed;
    }
}

TEST_F(DriverTest, OnlyDotEntriesMeanNoMatchWithStatus0)
{
    for (const char *argument : {R"(C:\empty\*)", R"(C:\empty\)", R"(C:\empty\.)", "C:/empty/"}) {
        sim::Result result = sim::Run(std::string("shortcase ") + argument);
        EXPECT_EQ(result.status, 0u) << argument;
        EXPECT_EQ(result.console, NoMatch(argument));
    }
}

TEST_F(DriverTest, SlashQuestionMarkPrintsTheUsageAndTouchesNothing)
{
    const std::string missing = ArgumentFailed("FindFirstFile", 2, R"(C:\missing)");
    struct {
        const char *arguments;
        DWORD status;
        std::string console;
        unsigned finds;
    } const cases[] = {
        {"/?", 0, Usage, 0},
        {R"(/? C:\missing)", 2, Usage + missing, 1},
        {R"(C:\missing /?)", 2, missing + Usage, 1},
        {R"(/? C:\t /?)", 0, Usage + Usage, 2},
        // Only "/?" itself: "\?" is the one-letter entries of the root (here C:\t, and its
        // walk), "/h" a name like any other.
        {R"(\?)", 0, "", 2},
        {"/h", 2, ArgumentFailed("FindFirstFile", 2, "/h"), 1},
    };
    for (auto &c : cases) {
        Fresh();
        sim::Result result = sim::Run(std::string("shortcase ") + c.arguments);
        EXPECT_EQ(result.status, c.status) << c.arguments;
        EXPECT_EQ(result.console, c.console) << c.arguments;
        EXPECT_EQ(sim::Calls(Call::FindFirstFile), c.finds) << c.arguments;
    }
}

TEST_F(DriverTest, TheLastArgumentDecidesTheStatus)
{
    sim::Result result = sim::Run(R"(shortcase C:\missing C:\t)");
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.console, ArgumentFailed("FindFirstFile", 2, R"(C:\missing)"));
    EXPECT_EQ(sim::Tree(), Renamed);

    result = sim::Run(R"(shortcase C:\t C:\missing)");
    EXPECT_EQ(result.status, 2u);
    EXPECT_EQ(result.console, ArgumentFailed("FindFirstFile", 2, R"(C:\missing)"));
}

TEST_F(DriverTest, NamesGoAfterTheLastBackslashOrTheDriveColon)
{
    struct {
        const char *argument, *move;
    } const cases[] = {
        {"C:*.txt", "MoveFile C:readme.txt C:README.TXT"},
        {"readme.txt", "MoveFile readme.txt README.TXT"},
        {"*", "MoveFile readme.txt README.TXT"},
        {R"(..\t\r*)", R"(MoveFile ..\t\readme.txt ..\t\README.TXT)"},
        {R"(\)", R"(MoveFile \t\readme.txt \t\README.TXT)"},
    };
    for (auto &c : cases) {
        Fresh();
        sim::SetCurrentDirectory(R"(C:\t)");
        sim::Result result = sim::Run(std::string("shortcase ") + c.argument);
        EXPECT_EQ(result.status, 0u) << c.argument;
        EXPECT_EQ(result.console, "") << c.argument;
        EXPECT_THAT(sim::Log(), Contains(c.move)) << c.argument;
        EXPECT_THAT(sim::Tree(R"(C:\t)"), ElementsAre(R"(C:\t\README.TXT)")) << c.argument;
    }
}

// C:\work holds photos (PHOTOS) with docs (DOCS) holding a.txt (A.TXT), and b.txt (B.TXT);
// beside photos, a namesake docs (DOCS) holding a.txt (A.TXT) that only ".." may reach. The
// share \\server\photos holds the same as photos.
TEST_F(SimTest, EveryArgumentFormRenamesInTheDirectoryItNames)
{
    // The renames of photos' contents, through the directory part prefix.
    auto inside = [](const std::string &prefix) {
        return std::vector<std::string>{
            "MoveFile " + prefix + "docs " + prefix + "DOCS",
            "MoveFile " + prefix + R"(DOCS\a.txt )" + prefix + R"(DOCS\A.TXT)",
            "MoveFile " + prefix + "b.txt " + prefix + "B.TXT"};
    };
    auto itself = [&inside](const std::string &prefix) {
        std::vector<std::string> moves = inside(prefix + R"(PHOTOS\)");
        moves.insert(moves.begin(), "MoveFile " + prefix + "photos " + prefix + "PHOTOS");
        return moves;
    };
    auto docs = [&inside](const std::string &prefix) { // docs below prefix, itself
        std::vector<std::string> moves = inside(prefix);
        moves.pop_back();
        return moves;
    };
    struct {
        const char *cwd, *argument;
        std::vector<std::string> moves;
    } const cases[] = {
        // Forms that name photos' contents, never photos itself.
        {R"(C:\work\photos)", ".", inside(R"(.\)")},
        {R"(C:\work\photos\docs)", "..", inside(R"(..\)")},
        {R"(C:\work)", R"(photos\.)", inside(R"(photos\.\)")},
        {R"(C:\work)", R"(photos\docs\..)", inside(R"(photos\docs\..\)")},
        {R"(C:\work)", "photos/*", inside("photos/")},
        {R"(C:\work)", "C:/work/photos/*", inside("C:/work/photos/")},
        {R"(C:\work)", R"(photos\)", inside(R"(photos\)")},
        {R"(C:\work)", "photos/", inside("photos/")},
        {R"(C:\work\photos)", "C:", inside("C:")},
        {R"(C:\work\photos)", "C:.", inside(R"(C:.\)")},
        {R"(C:\work)", R"(\\?\C:\work\photos\)", inside(R"(\\?\C:\work\photos\)")},
        {R"(C:\work)", R"(\\server\photos)", inside(R"(\\server\photos\)")},
        {R"(C:\work)", "//server/photos", inside(R"(//server/photos\)")},
        {R"(C:\work)", R"(/\server\photos)", inside(R"(/\server\photos\)")},
        {R"(C:\work)", R"(\/server\photos)", inside(R"(\/server\photos\)")},
        {R"(C:\work)", R"(\\server\photos\)", inside(R"(\\server\photos\)")},
        // Forms that name photos itself.
        {R"(C:\work)", "photos", itself("")},
        {R"(C:\work)", "photos/.././photos", itself("photos/.././")},
        // Three separators name a share's contents only after two that begin the argument.
        {R"(C:\work)", R"(\\server\photos\docs)", docs(R"(\\server\photos\)")},
        {R"(C:\)", R"(\work/photos/docs)", docs(R"(\work/photos/)")},
        {R"(C:\)", R"(.\work\photos\docs)", docs(R"(.\work\photos\)")},
        // In the literal form a slash is part of a name.
        {R"(C:\work)", R"(\\?\C:\work\a/b)",
         {R"(MoveFile \\?\C:\work\a/b\c.txt \\?\C:\work\a/b\C.TXT)"}},
    };
    for (auto &c : cases) {
        sim::Reset();
        sim::AddDirectory(R"(C:\work)");
        sim::AddDirectory(R"(C:\work\photos)", "PHOTOS");
        sim::AddDirectory(R"(C:\work\photos\docs)", "DOCS");
        sim::AddFile(R"(C:\work\photos\docs\a.txt)", "A.TXT");
        sim::AddFile(R"(C:\work\photos\b.txt)", "B.TXT");
        sim::AddDirectory(R"(C:\work\docs)", "DOCS");
        sim::AddFile(R"(C:\work\docs\a.txt)", "A.TXT");
        sim::AddDirectory(R"(\\?\C:\work\a/b)");
        sim::AddFile(R"(\\?\C:\work\a/b\c.txt)", "C.TXT");
        sim::AddShare(R"(\\server\photos)");
        sim::AddDirectory(R"(\\server\photos\docs)", "DOCS");
        sim::AddFile(R"(\\server\photos\docs\a.txt)", "A.TXT");
        sim::AddFile(R"(\\server\photos\b.txt)", "B.TXT");
        sim::SetCurrentDirectory(c.cwd);
        sim::Result result = sim::Run(std::string("shortcase ") + c.argument);
        EXPECT_EQ(result.status, 0u) << c.argument;
        EXPECT_EQ(result.console, "") << c.argument;
        std::vector<std::string> moves;
        for (const std::string &line : sim::Log())
            if (line.rfind("MoveFile ", 0) == 0)
                moves.push_back(line);
        EXPECT_EQ(moves, c.moves) << c.argument;
    }
}

TEST_F(DriverTest, WarnsFrom260UnitsOnAndGoesOn)
{
    // C:\<200 units>\<stars>: 259 or 260 units that match readme.txt.
    std::string directory = R"(C:\)" + std::string(200, 'd');
    sim::AddDirectory(directory);
    sim::AddFile(directory + R"(\readme.txt)", "README.TXT");
    for (size_t stars : {55, 56}) {
        std::string argument = directory + '\\' + std::string(stars, '*');
        sim::Result result = sim::Run("shortcase " + argument);
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.console, argument.size() < 260
                                      ? ""
                                      : "Argument '" + argument + "' exceeds MAX_PATH!\n");
        EXPECT_EQ(sim::Log().back(), "FindClose " + argument);
    }
    EXPECT_EQ(sim::Calls(Call::MoveFile), 1u);
    EXPECT_THAT(sim::Tree(directory), ElementsAre(directory + R"(\README.TXT)"));

    // Examined only once the enumeration is open: a failing one draws no warning.
    std::string missing = directory + '\\' + std::string(56, 'm');
    EXPECT_EQ(sim::Run("shortcase " + missing).console,
              ArgumentFailed("FindFirstFile", 2, missing));
}

TEST_F(DriverTest, ReportsInOrderWarningEntriesEndNoMatchClose)
{
    std::string directory = R"(C:\)" + std::string(200, 'd');
    sim::AddDirectory(directory);
    sim::AddFile(directory + R"(\readme.txt)", "README.TXT");
    std::string argument = directory + '\\' + std::string(56, '*');
    // Records ".", "..", readme.txt: the third FindNextFileW would end the listing.
    sim::Fail(Call::FindNextFile, 3, 5);
    sim::Fail(Call::MoveFile, 1, 32);
    sim::Fail(Call::FindClose, 1, 6);
    sim::Result result = sim::Run("shortcase " + argument);
    EXPECT_EQ(result.status, 5u);
    EXPECT_EQ(result.console, "Argument '" + argument + "' exceeds MAX_PATH!\n" +
                                  "MoveFile(\"" + directory + "\\readme.txt\", \"" + directory +
                                  "\\README.TXT\") returned error 32\n" +
                                  ArgumentFailed("FindNextFile", 5, argument) +
                                  ArgumentFailed("FindClose", 6, argument));
    openFinds = 1; // a failed FindClose leaves its handle

    Fresh();
    sim::Fail(Call::FindNextFile, 2, 5);
    sim::Fail(Call::FindClose, 1, 6);
    result = sim::Run(R"(shortcase C:\empty\*)");
    EXPECT_EQ(result.status, 5u);
    EXPECT_EQ(result.console, ArgumentFailed("FindNextFile", 5, R"(C:\empty\*)") +
                                  NoMatch(R"(C:\empty\*)") +
                                  ArgumentFailed("FindClose", 6, R"(C:\empty\*)"));
}

TEST_F(DriverTest, ReleaseFailuresAreReportedWithoutChangingTheStatus)
{
    struct {
        Call call;
        DWORD code;
        std::string message;
    } const cases[] = {
        {Call::FindClose, 6, ArgumentFailed("FindClose", 6, R"(C:\t)")},
        {Call::LocalFree, 5, "LocalFree() returned error 5\n"},
        {Call::CloseHandle, 6, "CloseHandle() returned error 6\n"},
    };
    for (auto &c : cases) {
        Fresh();
        // The walk of C:\t closes its own handle first; fail the argument's.
        sim::Fail(c.call, c.call == Call::FindClose ? 2 : 1, c.code);
        sim::Result result = sim::Run(R"(shortcase C:\t)");
        EXPECT_EQ(result.status, 0u) << c.message;
        EXPECT_EQ(result.console, c.message);
        EXPECT_THAT(sim::Tree(R"(C:\t)"), ElementsAre(R"(C:\t\README.TXT)"));
        EXPECT_EQ(sim::OpenFinds(), c.call == Call::FindClose ? 1u : 0u);
        EXPECT_EQ(sim::LiveAllocations(), c.call == Call::LocalFree ? 1u : 0u);
    }
}

TEST_F(DriverTest, AnInvalidStdErrHandleEndsTheRunAtOnce)
{
    for (DWORD code : {6u, 1234u}) {
        sim::SetStdErr(sim::StdErr::Invalid, code);
        sim::Result result = sim::Run(R"(shortcase C:\t)");
        EXPECT_EQ(result.status, code);
        EXPECT_EQ(result.console, "");
        EXPECT_EQ(sim::Calls(Call::LocalAlloc), 0u);
        EXPECT_EQ(sim::Calls(Call::FindFirstFile), 0u);
        EXPECT_EQ(sim::Tree(), Untouched);
    }
}

TEST_F(DriverTest, WithoutAConsoleTheRunIsTheSameButSilent)
{
    for (sim::StdErr kind : {sim::StdErr::Redirected, sim::StdErr::Null}) {
        for (const char *line : {R"(shortcase C:\t C:\missing)", R"(shortcase C:\missing C:\t)"}) {
            Fresh();
            sim::Result withConsole = sim::Run(line);
            std::vector<std::string> tree = sim::Tree();

            Fresh();
            sim::SetStdErr(kind);
            sim::Result result = sim::Run(line);
            EXPECT_EQ(result.status, withConsole.status) << line;
            EXPECT_EQ(result.console, "");
            EXPECT_EQ(sim::Tree(), tree);
            // No handle at all is nothing to close.
            EXPECT_EQ(sim::Calls(Call::CloseHandle), kind == sim::StdErr::Null ? 0u : 1u);
        }
    }
}

TEST_F(DriverTest, ASplitterFailureIsReportedWithItsCode)
{
    struct {
        const char *line;
        DWORD allocError; // 0: no fault
        DWORD code;
    } const cases[] = {{"", 0, 87}, {"shortcase C:\\t", 8, 8}, {"shortcase C:\\t", 14, 14}};
    for (auto &c : cases) {
        sim::Reset();
        if (c.allocError)
            sim::Fail(Call::LocalAlloc, 1, c.allocError);
        sim::Result result = sim::Run(c.line);
        EXPECT_EQ(result.status, c.code);
        EXPECT_EQ(result.console,
                  "CommandLineToArgv() returned error " + std::to_string(c.code) + "\n");
        EXPECT_EQ(sim::Calls(Call::LocalFree), 0u);
        EXPECT_EQ(sim::Calls(Call::CloseHandle), 1u);
    }
}

TEST_F(DriverTest, AnArgumentOf32768UnitsIsRefusedUnopened)
{
    // Only a command line from elsewhere than Windows can carry it.
    std::string huge(32768, 'a'), longest(32767, 'a');
    sim::Result result = sim::Run("shortcase " + huge + R"( C:\t)");
    EXPECT_EQ(result.status, 0u);
    std::string message = ArgumentFailed("FindFirstFile", 206, huge);
    EXPECT_EQ(sim::Formatted().front(), message);
    EXPECT_EQ(result.console, message.substr(0, 1024) + "\n");
    EXPECT_THAT(sim::Tree(R"(C:\t)"), ElementsAre(R"(C:\t\README.TXT)"));
    EXPECT_EQ(sim::Calls(Call::FindFirstFile), 2u); // C:\t and its walk

    // Refused too when what a contents form adds ("\*", "*") would pass 32,767 units; 206
    // means never opened, any other code opened and not found.
    struct {
        std::string argument;
        DWORD status;
    } const cases[] = {
        {huge, 206},
        {std::string(32763, 'a') + R"(\..)", 206}, {std::string(32762, 'a') + R"(\..)", 3},
        {std::string(32766, 'a') + R"(\)", 206}, {std::string(32765, 'a') + R"(\)", 3},
        {R"(\\s\)" + std::string(32762, 'm'), 206}, {R"(\\s\)" + std::string(32761, 'm'), 53},
        {longest, 2},
    };
    for (auto &c : cases) {
        unsigned opened = sim::Calls(Call::FindFirstFile);
        result = sim::Run("shortcase " + c.argument);
        EXPECT_EQ(result.status, c.status) << c.argument.size();
        EXPECT_EQ(sim::Formatted().back(), ArgumentFailed("FindFirstFile", c.status, c.argument));
        EXPECT_EQ(sim::Calls(Call::FindFirstFile) - opened, c.status == 206 ? 0u : 1u)
            << c.argument.size();
    }
}

TEST_F(DriverTest, AMessageCutAt1024CharactersStillEndsTheLine)
{
    // "FindFirstFile() returned error 2 for argument '<name>'\n" for names of these lengths.
    const std::string prefix = "FindFirstFile() returned error 2 for argument '";
    for (size_t total : {1023, 1024, 1025, 1026, 5000}) {
        std::string name(total - prefix.size() - 2, 'n');
        std::string full = ArgumentFailed("FindFirstFile", 2, name);
        ASSERT_EQ(full.size(), total);
        sim::Result result = sim::Run("shortcase " + name + " y");
        // Up to 1,025 the text survives whole (at 1,025 only its line feed is cut and put
        // back); beyond, the first 1,024 characters and a line feed.
        std::string shown = total <= 1025 ? full : full.substr(0, 1024) + "\n";
        EXPECT_EQ(result.console, shown + ArgumentFailed("FindFirstFile", 2, "y")) << total;
    }
}

TEST_F(DriverTest, ACutMessageIsWrittenOnlyUpToTheTerminatorWineCounts)
{
    sim::CutLikeWine(true);
    std::string name(2000, 'n');
    std::string full = ArgumentFailed("FindFirstFile", 2, name);
    sim::Result result = sim::Run("shortcase " + name);
    EXPECT_EQ(result.console, full.substr(0, 1023) + "\n");
}

} // namespace
