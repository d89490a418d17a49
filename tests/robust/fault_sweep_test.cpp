// Fails every system call of a few whole runs, one call at a time, and checks that the failure
// is reported in its place, that the run goes on past it and that nothing leaks.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include "tests/sim/fixture.h"

namespace {

using sim::Call;

// One call the program made, or one console write, in the order they happened.
struct Event {
    Call call;
    std::string a, b; // pattern and name found; from and to; the text written
    DWORD error;      // 0: the call succeeded
    bool operator==(const Event &o) const
    {
        return call == o.call && a == o.a && b == o.b && error == o.error;
    }
};

const char *const Names[] = {"FindFirstFile", "FindNextFile", "FindClose",   "MoveFile",
                            "LocalAlloc",    "LocalFree",    "CloseHandle", "WriteConsole"};

void PrintTo(const Event &e, std::ostream *out)
{
    *out << "\n  " << Names[(int)e.call] << " [" << e.a << "] [" << e.b << "]";
    if (e.error)
        *out << " error " << e.error;
}

std::vector<Event> events;
std::map<HANDLE, std::string> patterns;

void Record(Call call, std::string a, std::string b, bool ok)
{
    events.push_back(Event{call, std::move(a), std::move(b), ok ? 0 : GetLastError()});
}

} // namespace

// The product's calls reach the sim through these (the link wraps them), so that one stream
// holds FindNextFileW and the console writes too, which the sim's own log leaves out.
extern "C" {
HANDLE __real_FindFirstFileW(const WCHAR *, WIN32_FIND_DATAW *);
BOOL __real_FindNextFileW(HANDLE, WIN32_FIND_DATAW *);
BOOL __real_FindClose(HANDLE);
BOOL __real_MoveFileW(const WCHAR *, const WCHAR *);
HLOCAL __real_LocalAlloc(UINT, SIZE_T);
HLOCAL __real_LocalFree(HLOCAL);
BOOL __real_CloseHandle(HANDLE);
BOOL __real_WriteConsoleW(HANDLE, const void *, DWORD, DWORD *, void *);

HANDLE __wrap_FindFirstFileW(const WCHAR *pattern, WIN32_FIND_DATAW *data)
{
    HANDLE find = __real_FindFirstFileW(pattern, data);
    bool ok = find != INVALID_HANDLE_VALUE;
    if (ok)
        patterns[find] = sim::Utf8(pattern);
    Record(Call::FindFirstFile, sim::Utf8(pattern), ok ? sim::Utf8(data->cFileName) : "", ok);
    return find;
}
BOOL __wrap_FindNextFileW(HANDLE find, WIN32_FIND_DATAW *data)
{
    BOOL ok = __real_FindNextFileW(find, data);
    Record(Call::FindNextFile, patterns[find], ok ? sim::Utf8(data->cFileName) : "", ok);
    return ok;
}
BOOL __wrap_FindClose(HANDLE find)
{
    BOOL ok = __real_FindClose(find);
    Record(Call::FindClose, patterns[find], "", ok);
    return ok;
}
BOOL __wrap_MoveFileW(const WCHAR *from, const WCHAR *to)
{
    BOOL ok = __real_MoveFileW(from, to);
    Record(Call::MoveFile, sim::Utf8(from), sim::Utf8(to), ok);
    return ok;
}
HLOCAL __wrap_LocalAlloc(UINT flags, SIZE_T bytes)
{
    HLOCAL block = __real_LocalAlloc(flags, bytes);
    Record(Call::LocalAlloc, "", "", block != nullptr);
    return block;
}
HLOCAL __wrap_LocalFree(HLOCAL block)
{
    HLOCAL left = __real_LocalFree(block);
    Record(Call::LocalFree, "", "", left == nullptr);
    return left;
}
BOOL __wrap_CloseHandle(HANDLE object)
{
    BOOL ok = __real_CloseHandle(object);
    Record(Call::CloseHandle, "", "", ok);
    return ok;
}
BOOL __wrap_WriteConsoleW(HANDLE console, const void *text, DWORD units, DWORD *written,
                          void *reserved)
{
    BOOL ok = __real_WriteConsoleW(console, text, units, written, reserved);
    Record(Call::WriteConsole, sim::Utf8(std::u16string((const char16_t *)text, units)), "", ok);
    return ok;
}
}

namespace {

const DWORD Junction = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
const Call Kinds[] = {Call::FindFirstFile, Call::FindNextFile, Call::FindClose,   Call::MoveFile,
                      Call::LocalAlloc,    Call::LocalFree,    Call::CloseHandle, Call::WriteConsole};
// What systems report for these calls, 2 included: the walk passes it over in silence.
const DWORD Codes[] = {2, 3, 5, 8, 32, 183, 206};

struct Scenario {
    const char *name;
    std::function<void()> build;
    const char *commandLine;
    // The clean run: exit status, console text and the volume afterwards.
    DWORD status;
    std::string console;
    std::vector<std::string> tree;
};

const Scenario Scenarios[] = {
    {"one file", [] { sim::AddFile(R"(C:\readme.txt)", "README.TXT"); },
     R"(shortcase C:\readme.txt)", 0, "", {R"(C:\README.TXT)"}},
    {"nested tree",
     [] {
         sim::AddDirectory(R"(C:\t)");
         sim::AddDirectory(R"(C:\t\docs)", "DOCS");
         sim::AddFile(R"(C:\t\docs\readme.txt)", "README.TXT");
         sim::AddDirectory(R"(C:\t\docs\img)", "IMG");
         sim::AddFile(R"(C:\t\docs\img\a.png)", "A.PNG");
         sim::AddDirectory(R"(C:\t\docs\link)", "LINK", Junction);
         sim::AddFile(R"(C:\t\docs\link\inner.txt)", "INNER.TXT");
         sim::AddDirectory(R"(C:\t\locked)", "LOCKED");
         sim::AddFile(R"(C:\t\locked\x.txt)", "X.TXT");
         sim::RefuseListing(R"(C:\t\locked)", ERROR_ACCESS_DENIED);
         sim::AddDirectory(R"(C:\t\gone)");
         sim::RefuseListing(R"(C:\t\gone)", ERROR_FILE_NOT_FOUND);
         sim::AddDirectory(R"(C:\t\Program Files)", "PROGRA~1");
         sim::AddFile(R"(C:\t\Program Files\b.txt)", "B.TXT");
         sim::AddDirectory(R"(C:\t\empty)");
         sim::AddFile(R"(C:\t\z.txt)", "Z.TXT");
     },
     R"(shortcase C:\t)", 0, "FindFirstFile() returned error 5 for path 'C:\\t\\LOCKED\\*'\n",
     {R"(C:\t\)", R"(C:\t\DOCS\)", R"(C:\t\DOCS\README.TXT)", R"(C:\t\DOCS\IMG\)",
      R"(C:\t\DOCS\IMG\A.PNG)", R"(C:\t\DOCS\LINK\)", R"(C:\t\DOCS\LINK\inner.txt)",
      R"(C:\t\LOCKED\)", R"(C:\t\LOCKED\x.txt)", R"(C:\t\gone\)", R"(C:\t\Program Files\)",
      R"(C:\t\Program Files\B.TXT)", R"(C:\t\empty\)", R"(C:\t\Z.TXT)"}},
    {"wildcard arguments",
     [] {
         sim::AddDirectory(R"(C:\w)");
         sim::AddFile(R"(C:\w\a.txt)", "A.TXT");
         sim::AddFile(R"(C:\w\B.txt)", "B.TXT");
         sim::AddFile(R"(C:\w\c.doc)", "C.DOC");
         sim::AddDirectory(R"(C:\w\sub1)", "SUB1");
         sim::AddFile(R"(C:\w\sub1\d.txt)", "D.TXT");
         sim::AddDirectory(R"(C:\w\sub2)");
         sim::AddFile(R"(C:\w\sub2\e.txt)", "E.TXT");
         sim::AddDirectory(R"(C:\w\empty)");
         sim::AddFile(R"(C:\root.txt)", "ROOT.TXT");
     },
     R"(shortcase C:\w\*.txt "C:\w\sub*" C:\nothing* C:\w\empty\* C:*.txt)", 0,
     "FindFirstFile() returned error 2 for argument 'C:\\nothing*'\n"
     "No match for argument 'C:\\w\\empty\\*'!\n",
     {R"(C:\w\)", R"(C:\w\A.TXT)", R"(C:\w\B.TXT)", R"(C:\w\c.doc)", R"(C:\w\SUB1\)",
      R"(C:\w\SUB1\D.TXT)", R"(C:\w\sub2\)", R"(C:\w\sub2\E.TXT)", R"(C:\w\empty\)",
      R"(C:\ROOT.TXT)"}},
    {"case-sensitive directories",
     [] {
         sim::AddDirectory(R"(C:\cs)");
         sim::SetCaseSensitive(R"(C:\cs)");
         sim::AddDirectory(R"(C:\cs\docs)", "DOCS");
         sim::SetCaseSensitive(R"(C:\cs\docs)");
         sim::AddDirectory(R"(C:\cs\docs\img)", "IMG");
         sim::AddFile(R"(C:\cs\docs\img\a.png)", "A.PNG");
         sim::AddFile(R"(C:\cs\docs\readme.txt)", "README.TXT");
         sim::AddFile(R"(C:\cs\Mixed.txt)", "MIXED.TXT");
     },
     R"(shortcase C:\cs\*)", 0, "",
     {R"(C:\cs\)", R"(C:\cs\DOCS\)", R"(C:\cs\DOCS\IMG\)", R"(C:\cs\DOCS\IMG\A.PNG)",
      R"(C:\cs\DOCS\README.TXT)", R"(C:\cs\MIXED.TXT)"}},
};

struct Outcome {
    DWORD status;
    std::string console;
    std::vector<Event> events;
    std::vector<std::string> tree;
    unsigned openFinds, liveAllocations;
};

Outcome RunScenario(const Scenario &s, Call call = Call::Count, unsigned nth = 0, DWORD code = 0)
{
    sim::Reset();
    s.build();
    events.clear();
    patterns.clear();
    if (nth)
        sim::Fail(call, nth, code);
    sim::Result result = sim::Run(s.commandLine);
    EXPECT_EQ(sim::Misuses(), 0u);
    return Outcome{result.status, result.console, events, sim::Tree(), sim::OpenFinds(),
                   sim::LiveAllocations()};
}

// The volume the scenario leaves when exactly the renames among events succeed.
std::vector<std::string> TreeAfter(const Scenario &s, const std::vector<Event> &renames)
{
    sim::Reset();
    s.build();
    for (const Event &e : renames)
        if (e.call == Call::MoveFile && !e.error)
            EXPECT_TRUE(__real_MoveFileW(sim::Utf16(e.a).c_str(), sim::Utf16(e.b).c_str()));
    return sim::Tree();
}

std::string Console(const std::vector<Event> &stream)
{
    std::string text;
    for (const Event &e : stream)
        if (e.call == Call::WriteConsole && !e.error)
            text += e.a;
    return text;
}

bool IsDot(const std::string &name) { return name == "." || name == ".."; }

void ReplaceAll(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

// The run with the nth call of that kind failing, derived from the clean run's stream: the
// failed call and its message in the call's place, less what the failure prevents.
Outcome Expected(const Outcome &clean, Call call, unsigned nth, DWORD code)
{
    const std::vector<Event> &in = clean.events;
    // The level of each find call (0: the argument's own listing) and the argument it serves.
    std::vector<int> level(in.size()), argument(in.size());
    int depth = 0, arguments = 0;
    size_t at = in.size();
    for (size_t i = 0, seen = 0; i < in.size(); ++i) {
        const Event &e = in[i];
        if (e.call == Call::FindFirstFile) {
            arguments += depth == 0;
            level[i] = e.error ? depth : depth++;
        } else if (e.call == Call::FindNextFile) {
            level[i] = depth - 1;
        } else if (e.call == Call::FindClose) {
            level[i] = --depth;
        }
        argument[i] = arguments;
        if (e.call == call && ++seen == nth)
            at = i;
    }
    Outcome out{clean.status, "", {}, {}, 0, 0};
    if (at == in.size()) {
        ADD_FAILURE() << "the clean run makes no such call";
        return out;
    }
    auto closeOf = [&](size_t i) { // the FindClose of the listing the call at i belongs to
        while (in[i].call != Call::FindClose || level[i] != level[at])
            ++i;
        return i;
    };
    auto say = [&](const std::string &text) {
        out.events.push_back(Event{Call::WriteConsole, text, "", 0});
    };
    // The clean call may have failed itself (a refused listing): then its message goes.
    auto itsMessage = [&](size_t i) { return in[i].call == Call::WriteConsole ? i + 1 : i; };

    out.events.assign(in.begin(), in.begin() + at);
    const Event &e = in[at];
    out.events.push_back(Event{call, e.a, call == Call::MoveFile ? e.b : "", code});
    bool top = level[at] == 0;
    bool last = top && argument[at] == arguments;
    std::string returned = "() returned error " + std::to_string(code);
    std::string where = (top ? " for argument '" : " for path '") + e.a + "'\n";
    std::string from, to; // a directory whose rename failed is walked under its old name
    size_t next = at + 1;
    switch (call) {
    case Call::FindFirstFile:
        if (top || code != ERROR_FILE_NOT_FOUND)
            say("FindFirstFile" + returned + where);
        if (!e.error)
            next = closeOf(at) + 1; // the whole listing is lost
        else if (top || e.error != ERROR_FILE_NOT_FOUND)
            next = itsMessage(next);
        if (last)
            out.status = code;
        break;
    case Call::FindNextFile: {
        say("FindNextFile" + returned + where);
        size_t open = at, matches = 0;
        while (in[open].call != Call::FindFirstFile || level[open] != level[at])
            --open;
        for (size_t i = open; i < at; ++i)
            matches += level[i] == level[at] && !in[i].error && !IsDot(in[i].b) &&
                       (in[i].call == Call::FindFirstFile || in[i].call == Call::FindNextFile);
        if (top && matches == 0)
            say("No match for argument '" + e.a + "'!\n");
        next = closeOf(at); // the rest of the listing is lost, its close is not
        if (last)
            out.status = code;
        break;
    }
    case Call::FindClose:
        say("FindClose" + returned + where);
        out.openFinds = 1; // a failed FindClose leaves the handle open
        break;
    case Call::MoveFile:
        say("MoveFile(\"" + e.a + "\", \"" + e.b + "\") returned error " + std::to_string(code) +
            "\n");
        if (e.error)
            next = itsMessage(next);
        from = e.b + "\\";
        to = e.a + "\\";
        break;
    case Call::LocalAlloc:
        say("CommandLineToArgv" + returned + "\n");
        next = in.size() - 1; // only the console is closed
        out.status = code;
        break;
    case Call::LocalFree:
        say("LocalFree" + returned + "\n");
        out.liveAllocations = 1;
        break;
    case Call::CloseHandle:
        say("CloseHandle" + returned + "\n");
        break;
    default: // a lost console write loses its text and nothing else
        out.events.back().a = e.a;
        break;
    }
    for (; next < in.size(); ++next) {
        Event later = in[next];
        if (!from.empty()) {
            ReplaceAll(later.a, from, to);
            ReplaceAll(later.b, from, to);
        }
        out.events.push_back(later);
    }
    out.console = Console(out.events);
    return out;
}

TEST_F(SimTest, EveryCallFailingAloneIsReportedInPlaceAndTheRunGoesOn)
{
    unsigned totalCalls = 0, totalRuns = 0;
    for (const Scenario &s : Scenarios) {
        SCOPED_TRACE(s.name);
        Outcome clean = RunScenario(s);
        ASSERT_EQ(clean.status, s.status);
        ASSERT_EQ(clean.console, s.console);
        ASSERT_EQ(clean.tree, s.tree);
        ASSERT_EQ(clean.console, Console(clean.events));
        ASSERT_EQ(clean.openFinds + clean.liveAllocations, 0u);
        unsigned counts[(int)Call::Count];
        for (Call call : Kinds) {
            counts[(int)call] = sim::Calls(call);
            ASSERT_EQ(counts[(int)call], std::count_if(clean.events.begin(), clean.events.end(),
                                                       [call](const Event &e) {
                                                           return e.call == call;
                                                       }))
                << Names[(int)call] << ": a call the stream missed";
        }
        unsigned calls = 0, runs = 0, failures = 0;
        for (Call call : Kinds) {
            unsigned count = counts[(int)call];
            calls += count;
            for (unsigned nth = 1; nth <= count; ++nth)
                for (DWORD code : Codes) {
                    SCOPED_TRACE(std::string(Names[(int)call]) + " call " + std::to_string(nth) +
                                 " failing with " + std::to_string(code));
                    ++runs;
                    Outcome want = Expected(clean, call, nth, code);
                    Outcome got = RunScenario(s, call, nth, code);
                    want.tree = TreeAfter(s, want.events);
                    bool same = got.events == want.events && got.console == want.console &&
                                got.status == want.status && got.tree == want.tree &&
                                got.openFinds == want.openFinds &&
                                got.liveAllocations == want.liveAllocations;
                    EXPECT_EQ(got.events, want.events);
                    EXPECT_EQ(got.console, want.console);
                    EXPECT_EQ(got.status, want.status);
                    EXPECT_EQ(got.openFinds, want.openFinds);
                    EXPECT_EQ(got.liveAllocations, want.liveAllocations);
                    EXPECT_EQ(got.tree, want.tree);
                    if (!same && ++failures == 5)
                        FAIL() << "giving up on this scenario after 5 faulty runs";
                }
        }
        std::printf("fault sweep: %-28s %3u calls, %4u faulted runs\n", s.name, calls, runs);
        totalCalls += calls;
        totalRuns += runs;
    }
    std::printf("fault sweep: %zu scenarios, %u calls, %u faulted runs\n",
                std::size(Scenarios), totalCalls, totalRuns);
    sim::Reset();
}

} // namespace
