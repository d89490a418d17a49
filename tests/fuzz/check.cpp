// Checks of CommandLineToArgv against the reference model, and the lines that pin the model.
#include "tests/fuzz/check.h"

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "tests/fuzz/reference.h"
#include "tests/fuzz/shim.h"

// A count and last-error value the splitter cannot produce, to see whether it wrote them.
static const DWORD UNTOUCHED = 0xC0FFEEu;

static void PrintUnits(const WCHAR *units, size_t length)
{
    fputc('<', stderr);
    for (size_t at = 0; at < length; ++at) {
        WCHAR unit = units[at];
        if (unit == u'\t')
            fputs("\\t", stderr);
        else if (unit == u'\\')
            fputs("\\\\", stderr);
        else if (unit >= 0x20 && unit < 0x7F)
            fputc((char)unit, stderr);
        else
            fprintf(stderr, "\\u%04X", (unsigned)unit);
    }
    fputc('>', stderr);
}

static size_t Length(const WCHAR *line)
{
    size_t length = 0;
    while (line[length])
        ++length;
    return length;
}

[[noreturn]] static void Fail(const char *what, const WCHAR *line)
{
    fprintf(stderr, "CommandLineToArgv check failed: %s\n  line: ", what);
    if (line) {
        PrintUnits(line, Length(line));
        if (*line) {
            Split expected = SplitReference(line);
            fprintf(stderr, "\n  model: %zu argument(s)", expected.arguments.size());
            for (const std::u16string &argument : expected.arguments) {
                fputc(' ', stderr);
                PrintUnits(argument.data(), argument.size());
            }
            fprintf(stderr, "%s", expected.unterminated ? ", ends in quotes" : "");
        }
    } else {
        fputs("(null)", stderr);
    }
    fputc('\n', stderr);
    __builtin_trap();
}

void CheckSplit(const WCHAR *line)
{
    ShimReset();
    size_t length = Length(line);
    std::u16string original(line, length);
    DWORD count = UNTOUCHED;
    SetLastError(UNTOUCHED);
    WCHAR **table = CommandLineToArgv(line, &count);
    DWORD error = GetLastError();

    if (std::u16string(line, length) != original)
        Fail("the line was written to", line);
    if (length == 0) {
        if (table)
            Fail("an empty line gave a block", line);
        if (error != ERROR_INVALID_PARAMETER)
            Fail("an empty line did not leave last error 87", line);
        if (count != UNTOUCHED)
            Fail("an empty line wrote the count", line);
        if (ShimLiveBlocks() != 0)
            Fail("an empty line left memory allocated", line);
        return;
    }
    if (!table)
        Fail("a non-empty line gave a null result", line);
    if (ShimAllocCalls() != 1 || ShimLiveBlocks() != 1)
        Fail("not exactly one allocation, live after the call", line);
    if (ShimLastFlags() != LMEM_ZEROINIT)
        Fail("the block was not asked for with LMEM_ZEROINIT alone", line);
    SIZE_T bytes = ShimBlockSize(table);
    if (!bytes)
        Fail("the result is not the start of the LocalAlloc block", line);

    Split expected = SplitReference(line);
    if (error != (expected.unterminated ? ERROR_BAD_ARGUMENTS : ERROR_SUCCESS))
        Fail(expected.unterminated ? "the line ends in quotes but last error is not 160"
                                   : "the line is closed but last error is not 0",
             line);

    // The pointer table: count entries, then a null one, all inside the block.
    uintptr_t begin = (uintptr_t)table, end = begin + bytes;
    if ((SIZE_T)count + 1 > bytes / sizeof(WCHAR *))
        Fail("the pointer table for the count does not fit in the block", line);
    for (DWORD k = 0; k < count; ++k)
        if (!table[k])
            Fail("a null entry before the count", line);
    if (table[count])
        Fail("the entry after the last argument is not null", line);
    if (bytes != ((SIZE_T)count + 1) * sizeof(WCHAR *) + (length + 1) * sizeof(WCHAR))
        Fail("the block is not the pointer table plus one unit per line unit and one", line);
    WCHAR *area = (WCHAR *)(table + count + 1);
    if (table[0] != area)
        Fail("entry 0 does not point at the string area right after the table", line);

    // The string area: each argument starts after the previous one's terminator, and the
    // terminator is inside the block.
    uintptr_t next = (uintptr_t)area; // first unit no earlier argument uses
    std::vector<std::u16string> actual;
    for (DWORD k = 0; k < count; ++k) {
        uintptr_t start = (uintptr_t)table[k];
        if (start < next || start >= end)
            Fail("an argument starts outside the block or inside the previous one", line);
        if ((start - (uintptr_t)area) % sizeof(WCHAR))
            Fail("an argument does not start on a unit boundary", line);
        uintptr_t unit = start;
        while (unit + sizeof(WCHAR) <= end && *(const WCHAR *)unit)
            unit += sizeof(WCHAR);
        if (unit + sizeof(WCHAR) > end)
            Fail("an argument has no terminator inside the block", line);
        actual.emplace_back((const WCHAR *)start, (unit - start) / sizeof(WCHAR));
        next = unit + sizeof(WCHAR);
    }
    // No check that the rest of the area is zero: a quote after a backslash run takes back
    // units already copied, and those stay behind past the last terminator.

    if (actual != expected.arguments) {
        fprintf(stderr, "  splitter: %u argument(s)", (unsigned)count);
        for (const std::u16string &argument : actual) {
            fputc(' ', stderr);
            PrintUnits(argument.data(), argument.size());
        }
        fputc('\n', stderr);
        Fail("the arguments differ from the model's", line);
    }

    // One LocalFree releases everything; the shim traps if the table was not the block itself.
    LocalFree(table);
}

void CheckRejects()
{
    DWORD count = UNTOUCHED;
    ShimReset();
    SetLastError(UNTOUCHED);
    if (CommandLineToArgv(nullptr, &count) || GetLastError() != ERROR_INVALID_PARAMETER ||
        count != UNTOUCHED || ShimLiveBlocks())
        Fail("a null line is not rejected with 87", nullptr);

    const WCHAR *line = u"prog a";
    ShimReset();
    SetLastError(UNTOUCHED);
    if (CommandLineToArgv(line, nullptr) || GetLastError() != ERROR_INVALID_PARAMETER ||
        ShimLiveBlocks())
        Fail("a null count is not rejected with 87", line);

    CheckSplit(u"");

    ShimReset();
    ShimFailNextAlloc(ERROR_NOT_ENOUGH_MEMORY);
    SetLastError(UNTOUCHED);
    if (CommandLineToArgv(line, &count) || GetLastError() != ERROR_NOT_ENOUGH_MEMORY ||
        count != UNTOUCHED || ShimLiveBlocks())
        Fail("a failing LocalAlloc does not give null with its own code", line);
}

struct KnownLine {
    const WCHAR *line;
    std::vector<std::u16string> arguments;
    bool unterminated;
};

int CheckKnownLines()
{
    static const KnownLine known[] = {
        {u"prog a b", {u"prog", u"a", u"b"}, false},
        {u"\"C:\\Program Files\\x.exe\" \"a b\" c", {u"C:\\Program Files\\x.exe", u"a b", u"c"}, false},
        {u"prog a\\\"b", {u"prog", u"a\"b"}, false},
        {u"prog a\\\\\"b c\"", {u"prog", u"a\\b c"}, false},
        {u"prog \"a\"\"b\"", {u"prog", u"a\"b"}, false},
        {u"prog \"abc", {u"prog", u"abc"}, true},
        {u"prog \"\"", {u"prog", u""}, false},
        {u"  prog a", {u"", u"prog", u"a"}, false},
        {u"   ", {u""}, false},
        {u"prog a\"\"b", {u"prog", u"ab"}, false},
        {u"prog \"\"\"", {u"prog", u"\""}, true},
        {u"prog \"\"\"\"", {u"prog", u"\""}, false},
        {u"prog \\\"a b\\\"", {u"prog", u"\"a", u"b\""}, false},
        {u"prog \"a b\"c d\"e f\"", {u"prog", u"a bc", u"de f"}, false},
        {u"prog a\\\\\\\\\"b\"", {u"prog", u"a\\\\b"}, false},
        {u"prog \\\\\\\"", {u"prog", u"\\\""}, false},
        // Beyond the lines above: tabs, mixed and trailing blanks, lone backslashes.
        {u"prog\ta", {u"prog", u"a"}, false},
        {u"prog \t \ta\t", {u"prog", u"a"}, false},
        {u"\t", {u""}, false},
        {u"prog a   ", {u"prog", u"a"}, false},
        {u"prog C:\\dir\\", {u"prog", u"C:\\dir\\"}, false},
        {u"prog a\\\\\\b", {u"prog", u"a\\\\\\b"}, false},
        {u"prog \\\\\\\\\"a b\"", {u"prog", u"\\\\a b"}, false},
        {u"prog \"a\\\\\"\"b\"", {u"prog", u"a\\\"b"}, false},
        {u"prog \"a b", {u"prog", u"a b"}, true},
        {u"prog \" ", {u"prog", u" "}, true},
        {u"x", {u"x"}, false},
        {u"\"", {u""}, true},
        {u"\\", {u"\\"}, false},
        {u"\"a\tb\" \"\"\" \"", {u"a\tb", u"\" "}, false},
        {u"\u00E9\U0001F600 \u3000", {u"\u00E9\U0001F600", u"\u3000"}, false},
    };
    for (const KnownLine &row : known) {
        Split split = SplitReference(row.line);
        if (split.arguments != row.arguments || split.unterminated != row.unterminated)
            Fail("the model disagrees with a hand-worked line", row.line);
        CheckSplit(row.line);
    }
    return (int)(sizeof known / sizeof known[0]);
}
