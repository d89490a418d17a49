// ChangeEntry and WalkDirectory through whole runs: which entries change, in which order, what
// is reported, and how paths near 32,767 units are guarded.
#include <cstring>

#include <gmock/gmock.h>

#include "tests/sim/fixture.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using sim::Call;

const DWORD Directory = FILE_ATTRIBUTE_DIRECTORY;
const DWORD Junction = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

std::string PathFailed(const std::string &call, DWORD code, const std::string &path)
{
    return call + "() returned error " + std::to_string(code) + " for path '" + path + "'\n";
}

// Runs shortcase on one argument and expects a normal end.
std::string RunOn(const std::string &argument)
{
    sim::Result result = sim::Run("shortcase " + argument);
    EXPECT_EQ(result.status, 0u) << argument;
    return result.console;
}

struct Entry {
    const char *name, *shortName;
    DWORD attributes;
    const char *after; // the name once the run is over
    bool turkish = false; // lstrcmpiW folds as under a Turkish user locale
};

void PrintTo(const Entry &e, std::ostream *out)
{
    *out << e.name << " (" << e.shortName << ") 0x" << std::hex << e.attributes
         << (e.turkish ? " Turkish" : "");
}

class EntryRuleTest : public SimTest, public ::testing::WithParamInterface<Entry> {};

TEST_P(EntryRuleTest, RenamesOnlyWhenTheNamesDifferInCaseAlone)
{
    const Entry &e = GetParam();
    sim::TurkishLocale(e.turkish);
    sim::AddDirectory(R"(C:\t)");
    // Listed first, a pair that fills every unit of the comparison up to the longest short
    // name: the entry's own comparison must not read what this one left behind.
    sim::AddFile(R"(C:\t\before.others)", "BEFORE.OTHERS");
    (e.attributes & Directory ? sim::AddDirectory : sim::AddFile)(R"(C:\t\)" + std::string(e.name),
                                                                 e.shortName, e.attributes);
    EXPECT_EQ(RunOn(R"(C:\t\*)"), "");
    std::string after = R"(C:\t\)" + std::string(e.after) + (e.attributes ? "\\" : "");
    EXPECT_THAT(sim::Tree(R"(C:\t)"), ElementsAre(R"(C:\t\BEFORE.OTHERS)", after));
    EXPECT_EQ(sim::Calls(Call::MoveFile), std::string(e.name) != e.after ? 2u : 1u);
    // A directory is listed, unless it is a reparse point or its name fills the field.
    bool listed = (e.attributes & Junction) == Directory && std::strlen(e.name) < MAX_PATH;
    EXPECT_EQ(sim::Calls(Call::FindFirstFile), listed ? 2u : 1u);
}

// A long name that fills all 260 units of its field in the find record, and the longest that
// leaves room for its terminator.
const std::string Filled(MAX_PATH, 'f'), Longest(MAX_PATH - 1, 'f');

INSTANTIATE_TEST_SUITE_P(
    Names, EntryRuleTest,
    ::testing::Values(Entry{"readme.txt", "README.TXT", 0, "README.TXT"},
                      Entry{"Readme.Txt", "README.TXT", 0, "README.TXT"},
                      Entry{"caf\xC3\xA9.txt", "CAF\xC3\x89.TXT", 0, "CAF\xC3\x89.TXT"},
                      Entry{"docs", "DOCS", Directory, "DOCS"},
                      Entry{"link", "LINK", Junction, "LINK"},
                      Entry{"README.TXT", "", 0, "README.TXT"},
                      Entry{"readme.txt", "", 0, "readme.txt"},
                      Entry{"README.TXT", "README.TXT", 0, "README.TXT"},
                      Entry{"Program Files", "PROGRA~1", Directory, "Program Files"},
                      Entry{"report.docx", "REPORT~1.DOC", 0, "report.docx"},
                      Entry{"a.b", "A.C", 0, "a.b"},
                      // Dots begin names that are no dot entries.
                      Entry{"..x", "..X", Directory, "..X"},
                      // lstrcmpiW ignores a soft hyphen; the lengths differ, so not case alone.
                      Entry{"ab\xC2\xAD", "AB", 0, "ab\xC2\xAD"},
                      // Nor is a name without a short one compared, though lstrcmpiW would
                      // equate a lone soft hyphen with an empty name.
                      Entry{"\xC2\xAD", "", 0, "\xC2\xAD"},
                      // ASCII letters fold alike in every locale; lstrcmpiW judges the rest.
                      Entry{"index.txt", "INDEX.TXT", 0, "INDEX.TXT", true},
                      Entry{"fi\xC3\xA9.txt", "FI\xC3\x89.TXT", 0, "FI\xC3\x89.TXT", true},
                      // Whichever of the two is in upper case.
                      Entry{"INDEX.TXT", "index.txt", 0, "index.txt", true},
                      // Units 0x20 apart that are no letters: «@» and «`», «~» and «^».
                      Entry{"a@", "A`", 0, "a@"}, Entry{"a~", "A^", 0, "a~"},
                      // Names that fill their fields, unterminated: the short name is no name
                      // to rely on, and the long one none to rename or walk.
                      Entry{"abcdefgh.txtxx", "ABCDEFGH.TXTXX", 0, "abcdefgh.txtxx"},
                      // Nor one to hand lstrcmpiW, which would read on past its soft hyphen.
                      Entry{"abcdefgh.txtx", "ABCDEFGH.TXTX\xC2\xAD", 0, "abcdefgh.txtx"},
                      // Nor is any beginning of it a name, which lstrcmpiW would read on past.
                      Entry{"x", "X\xC2\xAD" "ABCDEFGHIJKL", 0, "x"},
                      Entry{Filled.c_str(), "F", Directory, Filled.c_str()},
                      Entry{Longest.c_str(), "F", Directory, Longest.c_str()}));

// C:\t: docs (DOCS) holding readme.txt (README.TXT) and img (IMG) holding a.png (A.PNG), then
// z.txt (Z.TXT).
void MakeDocs()
{
    sim::AddDirectory(R"(C:\t)");
    sim::AddDirectory(R"(C:\t\docs)", "DOCS");
    sim::AddFile(R"(C:\t\docs\readme.txt)", "README.TXT");
    sim::AddDirectory(R"(C:\t\docs\img)", "IMG");
    sim::AddFile(R"(C:\t\docs\img\a.png)", "A.PNG");
    sim::AddFile(R"(C:\t\z.txt)", "Z.TXT");
}

TEST_F(SimTest, RenamesAnEntryBeforeItsSubtreeAndFinishesItBeforeTheNextSibling)
{
    MakeDocs();
    EXPECT_EQ(RunOn(R"(C:\t)"), "");
    EXPECT_THAT(sim::Log(), ElementsAre(R"(FindFirstFile C:\t)", R"(FindFirstFile C:\t\*)",
                                        R"(MoveFile C:\t\docs C:\t\DOCS)",
                                        R"(FindFirstFile C:\t\DOCS\*)",
                                        R"(MoveFile C:\t\DOCS\readme.txt C:\t\DOCS\README.TXT)",
                                        R"(MoveFile C:\t\DOCS\img C:\t\DOCS\IMG)",
                                        R"(FindFirstFile C:\t\DOCS\IMG\*)",
                                        R"(MoveFile C:\t\DOCS\IMG\a.png C:\t\DOCS\IMG\A.PNG)",
                                        R"(FindClose C:\t\DOCS\IMG\*)", R"(FindClose C:\t\DOCS\*)",
                                        R"(MoveFile C:\t\z.txt C:\t\Z.TXT)", R"(FindClose C:\t\*)",
                                        R"(FindClose C:\t)"));

    // Everything now has its short spelling: a second run finds nothing to do.
    EXPECT_EQ(RunOn(R"(C:\t)"), "");
    EXPECT_EQ(sim::Calls(Call::MoveFile), 5u);
}

TEST_F(SimTest, ADirectoryNamedOutrightIsRenamedAndWalked)
{
    MakeDocs();
    EXPECT_EQ(RunOn(R"(C:\t\docs)"), "");
    EXPECT_THAT(sim::Tree(R"(C:\t)"),
                ElementsAre(R"(C:\t\DOCS\)", R"(C:\t\DOCS\README.TXT)", R"(C:\t\DOCS\IMG\)",
                            R"(C:\t\DOCS\IMG\A.PNG)", R"(C:\t\z.txt)"));
}

TEST_F(SimTest, WalksOnUnderTheNewSpellingInACaseSensitiveDirectory)
{
    // Once docs is DOCS, "C:\cs\docs\*" names nothing there; the same one level down.
    for (const char *argument : {R"(C:\cs)", R"(C:\cs\docs)"}) {
        sim::Reset();
        sim::AddDirectory(R"(C:\cs)");
        sim::SetCaseSensitive(R"(C:\cs)");
        sim::AddDirectory(R"(C:\cs\docs)", "DOCS");
        sim::SetCaseSensitive(R"(C:\cs\docs)");
        sim::AddDirectory(R"(C:\cs\docs\img)", "IMG");
        sim::AddFile(R"(C:\cs\docs\img\a.png)", "A.PNG");
        sim::AddFile(R"(C:\cs\docs\readme.txt)", "README.TXT");
        EXPECT_EQ(RunOn(argument), "");
        EXPECT_THAT(sim::Tree(R"(C:\cs)"),
                    ElementsAre(R"(C:\cs\DOCS\)", R"(C:\cs\DOCS\IMG\)", R"(C:\cs\DOCS\IMG\A.PNG)",
                                R"(C:\cs\DOCS\README.TXT)"));
    }
}

TEST_F(SimTest, AReparsePointIsRenamedButNeverEntered)
{
    sim::AddDirectory(R"(C:\t)");
    sim::AddDirectory(R"(C:\t\link)", "LINK", Junction);
    sim::AddFile(R"(C:\t\link\inner.txt)", "INNER.TXT");
    sim::AddDirectory(R"(C:\t\mount)", "", Junction);
    sim::AddFile(R"(C:\t\mount\inner.txt)", "INNER.TXT");
    EXPECT_EQ(RunOn(R"(C:\t)"), "");
    EXPECT_THAT(sim::Tree(R"(C:\t)"),
                ElementsAre(R"(C:\t\LINK\)", R"(C:\t\LINK\inner.txt)", R"(C:\t\mount\)",
                            R"(C:\t\mount\inner.txt)"));
    EXPECT_EQ(sim::Calls(Call::FindFirstFile), 2u); // C:\t and C:\t\* only
}

TEST_F(SimTest, AnEmptyDirectoryIsListedAndLeft)
{
    sim::AddDirectory(R"(C:\t)");
    sim::AddDirectory(R"(C:\t\empty)");
    EXPECT_EQ(RunOn(R"(C:\t)"), "");
    EXPECT_THAT(sim::Log(), Contains(R"(FindClose C:\t\empty\*)"));
    EXPECT_EQ(sim::Calls(Call::MoveFile), 0u);
}

TEST_F(SimTest, ARefusedDirectoryIsReportedUnlessGoneAndItsSiblingsGoOn)
{
    struct {
        DWORD code;
        std::string console;
    } const cases[] = {{5, PathFailed("FindFirstFile", 5, R"(C:\t\A\*)")}, {2, ""}};
    for (auto &c : cases) {
        sim::Reset();
        sim::AddDirectory(R"(C:\t)");
        sim::AddDirectory(R"(C:\t\a)", "A");
        sim::RefuseListing(R"(C:\t\a)", c.code);
        sim::AddFile(R"(C:\t\b.txt)", "B.TXT");
        EXPECT_EQ(RunOn(R"(C:\t)"), c.console);
        EXPECT_THAT(sim::Tree(R"(C:\t)"), ElementsAre(R"(C:\t\A\)", R"(C:\t\B.TXT)"));
    }
}

TEST_F(SimTest, AFailedRenameIsReportedAndTheDirectoryStillWalked)
{
    MakeDocs();
    sim::Fail(Call::MoveFile, 1, 5);
    EXPECT_EQ(RunOn(R"(C:\t)"), "MoveFile(\"C:\\t\\docs\", \"C:\\t\\DOCS\") returned error 5\n");
    EXPECT_THAT(sim::Tree(R"(C:\t)"),
                ElementsAre(R"(C:\t\docs\)", R"(C:\t\docs\README.TXT)", R"(C:\t\docs\IMG\)",
                            R"(C:\t\docs\IMG\A.PNG)", R"(C:\t\Z.TXT)"));
}

TEST_F(SimTest, WalkEnumerationFailuresNameTheDirectorysPattern)
{
    // C:\t\s holds x.txt. FindNextFileW calls: 1-2 the dots of C:\t\*, 3-4 those of
    // C:\t\s\* and x.txt, 5 the end of C:\t\s\*, 6 the end of C:\t\*, 7 the argument's end.
    // FindClose calls: 1 C:\t\s\*, 2 C:\t\*, 3 the argument's.
    struct {
        Call call;
        unsigned nth;
        std::string console;
    } const cases[] = {
        {Call::FindNextFile, 5, PathFailed("FindNextFile", 5, R"(C:\t\s\*)")},
        {Call::FindNextFile, 6, PathFailed("FindNextFile", 5, R"(C:\t\*)")},
        {Call::FindClose, 1, PathFailed("FindClose", 5, R"(C:\t\s\*)")},
        {Call::FindClose, 2, PathFailed("FindClose", 5, R"(C:\t\*)")},
    };
    for (auto &c : cases) {
        sim::Reset();
        sim::AddDirectory(R"(C:\t)");
        sim::AddDirectory(R"(C:\t\s)");
        sim::AddFile(R"(C:\t\s\x.txt)", "X.TXT");
        sim::Fail(c.call, c.nth, 5);
        EXPECT_EQ(RunOn(R"(C:\t)"), c.console);
        EXPECT_THAT(sim::Tree(R"(C:\t)"), ElementsAre(R"(C:\t\s\)", R"(C:\t\s\X.TXT)"));
        EXPECT_EQ(sim::OpenFinds(), c.call == Call::FindClose ? 1u : 0u);
    }
    openFinds = 1;
}

TEST_F(SimTest, ADeepTreeIsWalkedInOrderWithAHandlePerLevel)
{
    // C:\t and 300 levels below it: each holds d (D), except the last, then f.txt (F.TXT).
    const int depth = 300;
    std::string path = R"(C:\t)";
    sim::AddDirectory(path);
    for (int level = 0; level < depth; ++level, path += "\\d")
        sim::AddDirectory(path + "\\d", "D");
    path = R"(C:\t)";
    for (int level = 0; level <= depth; ++level, path += "\\d")
        sim::AddFile(path + "\\f.txt", "F.TXT");

    std::vector<std::string> log = {R"(FindFirstFile C:\t)"};
    auto walk = [&log](auto &self, const std::string &path, int level) -> void {
        log.push_back("FindFirstFile " + path + "\\*");
        if (level < depth) {
            log.push_back("MoveFile " + path + "\\d " + path + "\\D");
            self(self, path + "\\D", level + 1);
        }
        log.push_back("MoveFile " + path + "\\f.txt " + path + "\\F.TXT");
        log.push_back("FindClose " + path + "\\*");
    };
    walk(walk, R"(C:\t)", 0);
    log.push_back(R"(FindClose C:\t)");

    EXPECT_EQ(RunOn(R"(C:\t)"), "");
    EXPECT_EQ(sim::Log(), log);
    EXPECT_EQ(sim::PeakOpenFinds(), depth + 2u); // the argument's, C:\t's and one per level
}

// Makes directories below C:\t until the path has exactly length units, and returns it.
std::string DeepDirectory(size_t length)
{
    std::string path = R"(C:\t)";
    sim::AddDirectory(path);
    for (char letter = 'a'; path.size() < length; letter = letter == 'z' ? 'a' : letter + 1) {
        size_t room = length - path.size(); // the backslash and the name
        size_t name = room <= 201 ? room - 1 : room == 202 ? 150 : 200;
        path += '\\' + std::string(name, letter);
        sim::AddDirectory(path);
    }
    return path;
}

TEST_F(SimTest, PathsBeyond32767UnitsAreReportedAndPassedOver)
{
    std::string d = DeepDirectory(32762);
    sim::AddFile(d + R"(\a.txt)", "A.TXT");     // 32,768 units: a rename lost
    sim::AddFile(d + R"(\plain.txt)");          // too long, but nothing to do
    sim::AddDirectory(d + R"(\dirxx)");         // 32,768 units: a walk lost
    sim::AddDirectory(d + R"(\dd)");            // 32,765 units: its pattern just fits
    sim::AddFile(d + R"(\dd\b)", "B");          // 32,767 units: renamed
    sim::AddDirectory(d + R"(\ddd)");           // 32,766 units: the pattern would not fit
    sim::AddDirectory(d + R"(\dddd)");          // 32,767 units: nor here
    sim::AddFile(d + R"(\z)", "Z");
    sim::Result result = sim::Run(R"(shortcase C:\t)");
    EXPECT_EQ(result.status, 0u);

    // As much of each path as the buffer holds: 32,767 units at most.
    std::vector<std::string> messages = {
        PathFailed("MoveFile", 206, d + R"(\a.tx)"),
        PathFailed("FindFirstFile", 206, d + R"(\dirx)"),
        PathFailed("FindFirstFile", 206, d + R"(\ddd)"),
        PathFailed("FindFirstFile", 206, d + R"(\dddd)"),
    };
    EXPECT_EQ(sim::Formatted(), messages);
    std::string console;
    for (const std::string &message : messages)
        console += message.substr(0, 1024) + "\n";
    EXPECT_EQ(result.console, console);

    EXPECT_THAT(sim::Tree(d), ElementsAre(d + R"(\a.txt)", d + R"(\plain.txt)", d + R"(\dirxx\)",
                                          d + R"(\dd\)", d + R"(\dd\B)", d + R"(\ddd\)",
                                          d + R"(\dddd\)", d + R"(\Z)"));
    EXPECT_THAT(sim::Log(), Contains("FindFirstFile " + d + R"(\dd\*)"));
    EXPECT_EQ(sim::Calls(Call::MoveFile), 2u);
}

} // namespace
