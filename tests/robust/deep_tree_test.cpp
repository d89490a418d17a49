// Trees nested to the 32,767-unit path limit, walked by the whole program on a 1 MiB stack:
// every level is reached in order, and what lies beyond the limit is reported and left alone.
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <valgrind/memcheck.h>

#include "tests/sim/fixture.h"

// The sim allocates a copy of a path of up to 32,767 units on every call: with the freed
// blocks held back in quarantine and new ones filled, that is gigabytes of fresh pages, and
// the run takes twice as long. Overflows are still caught; only the use-after-free window of
// the sim's own strings shrinks.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=0:max_malloc_fill_size=0";
}

namespace {

using sim::Call;

const DWORD Directory = FILE_ATTRIBUTE_DIRECTORY;
const size_t Limit = 32767; // units in a path the system can name
const size_t StackSize = 1 << 20;
const unsigned char Paint = 0xA5;

struct StackRun {
    sim::Result result;
    size_t stackUsed; // bytes from the top of the stack that the run wrote
};

// Scans memory that the sanitizer may still count as the dead thread's stack.
__attribute__((no_sanitize("address"))) size_t Untouched(const unsigned char *stack)
{
    // So may valgrind, which takes it for memory no one may read once the thread is gone.
    VALGRIND_MAKE_MEM_DEFINED(stack, StackSize);
    size_t n = 0;
    while (n < StackSize && stack[n] == Paint)
        ++n;
    return n;
}

// Runs the program on a thread whose stack is 1 MiB, as the image reserves, with a
// guard page below so that an overflow faults instead of scribbling.
StackRun RunOnSmallStack(const std::string &commandLine)
{
    const size_t page = 4096;
    auto *base = (unsigned char *)mmap(nullptr, StackSize + page, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(base, MAP_FAILED);
    EXPECT_EQ(mprotect(base, page, PROT_NONE), 0);
    unsigned char *stack = base + page;
    std::memset(stack, Paint, StackSize);

    struct Job {
        const std::string &line;
        sim::Result result;
    } job{commandLine, {}};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, StackSize);
    pthread_t thread;
    EXPECT_EQ(pthread_create(
                  &thread, &attr,
                  [](void *p) -> void * {
                      auto *job = (Job *)p;
                      job->result = sim::Run(job->line);
                      return nullptr;
                  },
                  &job),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    size_t used = StackSize - Untouched(stack);
    munmap(base, StackSize + page);
    return StackRun{job.result, used};
}

std::string PathFailed(const std::string &call, const std::string &path)
{
    return call + "() returned error 206 for path '" + path.substr(0, Limit) + "'\n";
}

std::string Console(const std::vector<std::string> &messages)
{
    std::string text;
    for (const std::string &message : messages)
        text += message.substr(0, 1024) + (message.size() > 1024 ? "\n" : "");
    return text;
}

// Texts up to 32,767 units long: shows where two lists part rather than printing them whole.
std::string Shown(const std::vector<std::string> &texts, size_t i)
{
    if (i >= texts.size())
        return "(nothing)";
    const std::string &t = texts[i];
    return std::to_string(t.size()) + " chars: " +
           (t.size() > 120 ? t.substr(0, 40) + " ... " + t.substr(t.size() - 70) : t);
}

::testing::AssertionResult Same(const std::vector<std::string> &got,
                                const std::vector<std::string> &want)
{
    for (size_t i = 0; i < got.size() || i < want.size(); ++i)
        if (i >= got.size() || i >= want.size() || got[i] != want[i])
            return ::testing::AssertionFailure() << "entry " << i << " of " << got.size()
                                                 << " is\n  " << Shown(got, i) << "\nnot\n  "
                                                 << Shown(want, i);
    return ::testing::AssertionSuccess();
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TEST_F(SimTest, ATreeToThePathLimitIsWalkedWholeOnA1MiBStack)
{
    // C:\a\a\...: 16,383 levels of a (short name A), and a file below. The directory at level
    // 16,381 is the deepest whose pattern fits; level 16,382 is renamed but cannot be listed.
    const unsigned levels = 16383, listed = 16381;
    auto start = std::chrono::steady_clock::now();
    sim::AddDirectory(R"(C:\a)", "A");
    sim::SetCurrentDirectory(R"(C:\a)"); // relative names keep the building linear
    for (unsigned level = 2; level <= levels; ++level) {
        sim::AddDirectory("a", "A");
        sim::SetCurrentDirectory("a");
    }
    sim::AddFile("beyond.txt", "BEYOND.TXT");
    sim::SetCurrentDirectory(R"(C:\)");
    double built = Seconds(start);

    start = std::chrono::steady_clock::now();
    StackRun run = RunOnSmallStack(R"(shortcase C:\a)");
    double ran = Seconds(start);
    EXPECT_EQ(run.result.status, 0u);

    // One message: the level that cannot be listed, its 32,766-unit path cut at 1,024
    // characters on the console.
    std::string deepest = "C:";
    for (unsigned level = 1; level <= listed + 1; ++level)
        deepest += "\\A";
    std::vector<std::string> messages = {PathFailed("FindFirstFile", deepest)};
    EXPECT_TRUE(Same(sim::Formatted(), messages));
    EXPECT_TRUE(Same({run.result.console}, {Console(messages)}));

    // Every level renamed, then listed under its new name, one handle more per level; the
    // handles closed deepest first.
    start = std::chrono::steady_clock::now();
    const std::vector<std::string> &log = sim::Log();
    size_t at = 0, wrong = 0;
    auto expect = [&](const std::string &entry) {
        if ((at >= log.size() || log[at] != entry) && ++wrong <= 3)
            ADD_FAILURE() << "log entry " << at << " is\n  " << Shown(log, at) << "\nnot\n  "
                          << Shown({entry}, 0);
        ++at;
    };
    std::string path = "C:";
    expect(R"(FindFirstFile C:\a)");
    for (unsigned level = 1; level <= listed; ++level) {
        expect("MoveFile " + path + "\\a " + path + "\\A");
        path += "\\A";
        expect("FindFirstFile " + path + "\\*");
    }
    expect("MoveFile " + path + "\\a " + path + "\\A");
    for (unsigned level = listed; level >= 1; --level) {
        expect("FindClose " + path + "\\*");
        path.resize(path.size() - 2);
    }
    expect(R"(FindClose C:\a)");
    EXPECT_EQ(at, log.size());
    double checked = Seconds(start);

    std::printf("deep tree: %u levels, built in %.2f s, run in %.2f s, checked in %.2f s, "
                "%zu KiB of the 1024 KiB stack used\n",
                levels, built, ran, checked, run.stackUsed / 1024);
}

// An entry of the crossing tree: a file, or a directory holding h (H).
struct Leaf {
    std::string name, shortName;
    DWORD attributes;
};

// Reports the entry at path (its parent already spelled as the run leaves it) the way the
// walk must: renamed when its path fits, listed when its pattern fits too, else the 206
// message of the step that is lost; a plain file beyond the limit draws nothing.
void Expect(const Leaf &leaf, const std::string &parent, std::vector<std::string> &log,
            std::vector<std::string> &messages)
{
    std::string path = parent + "\\" + leaf.name;
    if (!leaf.shortName.empty()) {
        if (path.size() > Limit) {
            messages.push_back(PathFailed("MoveFile", path));
            return;
        }
        log.push_back("MoveFile " + path + " " + parent + "\\" + leaf.shortName);
        path = parent + "\\" + leaf.shortName;
    }
    if (!(leaf.attributes & Directory))
        return;
    if (path.size() + 2 > Limit) {
        messages.push_back(PathFailed("FindFirstFile", path));
        return;
    }
    log.push_back("FindFirstFile " + path + "\\*");
    Expect(Leaf{"h", "H", 0}, path, log, messages);
    log.push_back("FindClose " + path + "\\*");
}

TEST_F(SimTest, SiblingsBeyondTheLimitAreReportedAndThoseWithinTreated)
{
    // C:\t, long names down to a path of 32,753 units, then d, d, ... two units a level. The
    // levels 1, 3, 5 and 6 below hold the same siblings, some before d and some after it, so
    // the limit cuts through them at different lengths; level 7's pattern no longer fits
    // and level 8 lies beyond.
    const std::vector<Leaf> before = {
        {"f", "F", 0},           {"ffff", "FFFF", 0},  {"plainlong.tx", "", 0},
        {"ggg", "GGG", Directory}, {"g", "", Directory}, {"fffffffff", "FFFFFFFFF", 0},
    };
    const std::vector<Leaf> after = {
        {"ff", "FF", 0},        {"gg", "", Directory}, {"ffffffffffff", "FFFFFFFFFFFF", 0},
        {"fff", "FFF", 0},      {"p", "", 0},
    };
    const unsigned deepest = 8;
    const std::vector<unsigned> withLeaves = {1, 3, 5, 6};

    std::string path = R"(C:\t)";
    sim::AddDirectory(path);
    for (char letter = 'a'; path.size() < 32753; letter = letter == 'z' ? 'a' : letter + 1) {
        size_t room = 32753 - path.size(); // the backslash and the name
        path += '\\' + std::string(room <= 201 ? room - 1 : room == 202 ? 150 : 200, letter);
        sim::AddDirectory(path);
    }
    std::vector<std::string> log = {R"(FindFirstFile C:\t)"}, messages, closes;
    for (std::string up = path; up.size() > 2; up.resize(up.rfind('\\')))
        log.push_back("FindFirstFile " + up + "\\*");
    std::reverse(log.begin() + 1, log.end());
    for (size_t i = log.size() - 1; i >= 1; --i)
        closes.push_back("FindClose " + log[i].substr(14));
    closes.push_back(R"(FindClose C:\t)");

    // Level by level: the siblings before d, d's subtree, then the siblings after it.
    auto place = [](const std::vector<Leaf> &leaves, const std::string &directory,
                    std::vector<std::string> &log, std::vector<std::string> &messages) {
        for (const Leaf &leaf : leaves) {
            std::string path = directory + "\\" + leaf.name;
            (leaf.attributes ? sim::AddDirectory : sim::AddFile)(path, leaf.shortName,
                                                               leaf.attributes);
            if (leaf.attributes)
                sim::AddFile(path + "\\h", "H");
            Expect(leaf, directory, log, messages);
        }
    };
    std::vector<std::vector<std::string>> laterLog(deepest + 1), laterMessages(deepest + 1);
    bool listed = true; // the level above was listed, so this level's d is seen
    for (unsigned level = 0; level <= deepest; ++level) {
        if (level > 0 && listed) {
            listed = path.size() + 2 <= Limit;
            if (listed)
                log.push_back("FindFirstFile " + path + "\\*");
            else
                messages.push_back(PathFailed("FindFirstFile", path));
        }
        bool leaves = listed && std::count(withLeaves.begin(), withLeaves.end(), level);
        if (leaves)
            place(before, path, log, messages);
        std::string directory = path;
        if (level < deepest) {
            path += "\\d";
            sim::AddDirectory(path);
        } else {
            sim::AddFile(path + "\\beyond.txt", "BEYOND.TXT");
        }
        if (leaves)
            place(after, directory, laterLog[level], laterMessages[level]);
        if (level > 0 && listed)
            laterLog[level].push_back("FindClose " + directory + "\\*");
    }
    for (unsigned level = deepest + 1; level-- > 0;) {
        log.insert(log.end(), laterLog[level].begin(), laterLog[level].end());
        messages.insert(messages.end(), laterMessages[level].begin(), laterMessages[level].end());
    }
    log.insert(log.end(), closes.begin(), closes.end());

    StackRun run = RunOnSmallStack(R"(shortcase C:\t)");
    EXPECT_EQ(run.result.status, 0u);
    EXPECT_TRUE(Same(sim::Formatted(), messages));
    EXPECT_TRUE(Same({run.result.console}, {Console(messages)}));
    EXPECT_TRUE(Same(sim::Log(), log));
    std::printf("crossing tree: %zu messages, %zu renames, %zu KiB of stack used\n",
                messages.size(), (size_t)sim::Calls(Call::MoveFile), run.stackUsed / 1024);
}

} // namespace
