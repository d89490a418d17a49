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
        const char *argument;
        DWORD code;
    } const cases[] = {{R"(C:\t\missing.txt)", 2}, {R"(C:\nowhere\*)", 3}, {"/?", 2}};
    for (auto &c : cases) {
        sim::Result result = sim::Run(std::string("shortcase ") + c.argument);
        EXPECT_EQ(result.status, c.code) << c.argument;
        EXPECT_EQ(result.console, ArgumentFailed("FindFirstFile", c.code, c.argument));
    }
    // An option-looking argument is a pattern like any other.
    EXPECT_THAT(sim::Log(), Contains("FindFirstFile /? error 2"));
}

TEST_F(DriverTest, OnlyDotEntriesMeanNoMatchWithStatus0)
{
    sim::Result result = sim::Run(R"(shortcase C:\empty\*)");
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.console, NoMatch(R"(C:\empty\*)"));
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
            EXPECT_EQ(sim::Calls(Call::CloseHandle), 1u);
        }
    }
    // Without any handle even the CloseHandle failure is formatted, and lost.
    EXPECT_EQ(sim::Formatted().back(), "CloseHandle() returned error 6\n");
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

    result = sim::Run("shortcase " + huge);
    EXPECT_EQ(result.status, 206u);

    result = sim::Run("shortcase " + longest);
    EXPECT_EQ(result.status, 2u); // opened, and simply not found
    EXPECT_EQ(sim::Formatted().back(), ArgumentFailed("FindFirstFile", 2, longest));
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
