// CommandLineToArgv: quoting rules, the layout of the one block, and how it fails.
#include "cmdline/cmdline.h"

#include <gmock/gmock.h>

#include "tests/sim/fixture.h"

namespace {

using ::testing::ElementsAreArray;

struct Split {
    const char *line;
    std::vector<std::string> arguments;
    DWORD error; // the last-error value afterwards
};

void PrintTo(const Split &split, std::ostream *out) { *out << "Â«" << split.line << "Â»"; }

class SplitTest : public SimTest, public ::testing::WithParamInterface<Split> {};

TEST_P(SplitTest, SplitsIntoOneBlock)
{
    const Split &split = GetParam();
    std::u16string line = sim::Utf16(split.line);
    SetLastError(12345); // the splitter must say 0 itself, not leave an old code
    DWORD count = 0;
    WCHAR **table = CommandLineToArgv(line.c_str(), &count);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(GetLastError(), split.error);
    ASSERT_EQ(count, split.arguments.size());
    EXPECT_EQ(table[count], nullptr);

    // The strings follow the pointer table, one after another, within len + 1 units.
    const WCHAR *area = (const WCHAR *)(table + count + 1);
    EXPECT_EQ(table[0], area);
    std::vector<std::string> arguments;
    for (DWORD k = 0; k < count; ++k) {
        std::u16string argument(table[k]);
        arguments.push_back(sim::Utf8(argument));
        if (k + 1 < count)
            EXPECT_EQ(table[k + 1], table[k] + argument.size() + 1) << "argument " << k;
        else
            EXPECT_LE(table[k] + argument.size(), area + line.size());
    }
    EXPECT_THAT(arguments, ElementsAreArray(split.arguments));

    EXPECT_EQ(LocalFree(table), nullptr);
    EXPECT_EQ(sim::LiveAllocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    QuotingRules, SplitTest,
    ::testing::Values(
        Split{"prog a b", {"prog", "a", "b"}, 0},
        Split{R"("C:\Program Files\x.exe" "a b" c)", {R"(C:\Program Files\x.exe)", "a b", "c"}, 0},
        Split{R"(prog a\"b)", {"prog", R"(a"b)"}, 0},
        Split{R"(prog a\\"b c")", {"prog", R"(a\b c)"}, 0},
        Split{R"(prog "a""b")", {"prog", R"(a"b)"}, 0},
        Split{R"(prog "abc)", {"prog", "abc"}, 160},
        Split{R"(prog "")", {"prog", ""}, 0},
        Split{"  prog a", {"", "prog", "a"}, 0},
        Split{"   ", {""}, 0},
        Split{R"(prog a""b)", {"prog", "ab"}, 0},
        Split{R"(prog """)", {"prog", R"(")"}, 160},
        Split{R"(prog """")", {"prog", R"(")"}, 0},
        Split{R"(prog \"a b\")", {"prog", R"("a)", R"(b")"}, 0},
        Split{R"(prog "a b"c d"e f")", {"prog", "a bc", "de f"}, 0},
        Split{R"(prog a\\\\"b")", {"prog", R"(a\\b)"}, 0},
        Split{R"(prog \\\")", {"prog", R"(\")"}, 0},
        // Further edges: blanks, lone backslashes, quoted pairs, unterminated quotes.
        Split{"prog", {"prog"}, 0},
        Split{"prog a   \t ", {"prog", "a"}, 0},
        Split{"prog\ta \t b", {"prog", "a", "b"}, 0},
        Split{R"(prog C:\dir\ a\\\b)", {"prog", R"(C:\dir\)", R"(a\\\b)"}, 0},
        Split{R"(prog a\\\"b)", {"prog", R"(a\"b)"}, 0},
        Split{R"(prog "a""b c" d)", {"prog", R"(a"b c)", "d"}, 0},
        Split{R"("prog" a)", {"prog", "a"}, 0},
        Split{R"(prog "a b)", {"prog", "a b"}, 160},
        Split{R"(prog a "b c)", {"prog", "a", "b c"}, 160},
        Split{"prog \"a\t b\" c", {"prog", "a\t b", "c"}, 0},
        Split{"prog \xC3\xA9t\xC3\xA9 \xE2\x82\xAC", {"prog", "\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC"},
              0},
        // Backslashes before a blank, before a quote that opens, and before an empty pair.
        Split{R"(prog a\ "b c")", {"prog", R"(a\)", "b c"}, 0},
        Split{R"(prog \a"b c")", {"prog", R"(\ab c)"}, 0},
        Split{R"(prog a\\"" b)", {"prog", R"(a\)", "b"}, 0},
        Split{R"(prog \\"")", {"prog", R"(\)"}, 0}));

TEST_F(SimTest, SplitterRejectsNullPointersAndAnEmptyLine)
{
    DWORD count = 777;
    SetLastError(0);
    EXPECT_EQ(CommandLineToArgv(nullptr, &count), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    SetLastError(0);
    EXPECT_EQ(CommandLineToArgv(u"prog a", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    SetLastError(0);
    EXPECT_EQ(CommandLineToArgv(u"", &count), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(count, 777u); // written only with a block
    EXPECT_EQ(sim::Calls(sim::Call::LocalAlloc), 0u);
}

TEST_F(SimTest, SplitterPassesTheAllocatorsCodeThrough)
{
    for (DWORD code : {8u, 14u}) {
        DWORD count = 777;
        sim::Fail(sim::Call::LocalAlloc, 1, code);
        EXPECT_EQ(CommandLineToArgv(u"prog a b", &count), nullptr);
        EXPECT_EQ(GetLastError(), code);
        EXPECT_EQ(count, 777u);
    }
}

} // namespace
