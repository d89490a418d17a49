// Host measurements of the product against the simulated Win32 layer: heap blocks taken during
// a run, the stack a walk uses, and a fixed run for callgrind to count instructions on.
// Prints "key value" lines; bench/run.py turns them into the table.
#include <pthread.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/sim/sim.h"

namespace {

struct Tree {
    unsigned long entries = 0, directories = 0, renames = 0;
};

// Three levels below C:\w: top directories, each holding middle directories, each holding
// files; every directory below the root holds 100 entries when middle and files are 100.
// A quarter of the files need a case-only rename, a quarter have a short name that differs
// in more than case, the rest have none: each branch of the per-entry rule is taken.
Tree BuildWide(unsigned top, unsigned middle, unsigned files)
{
    Tree tree;
    sim::AddDirectory("C:\\w");
    char name[64], alternate[16];
    for (unsigned t = 0; t < top; ++t) {
        std::snprintf(name, sizeof name, "C:\\w\\t%02u", t);
        sim::AddDirectory(name);
        ++tree.directories;
        for (unsigned m = 0; m < middle; ++m) {
            std::snprintf(name, sizeof name, "C:\\w\\t%02u\\m%02u", t, m);
            sim::AddDirectory(name);
            ++tree.directories;
            // Relative names from the current directory: no path to resolve per file.
            sim::SetCurrentDirectory(name);
            for (unsigned f = 0; f < files; ++f) {
                switch (f % 4) {
                case 0:
                    std::snprintf(name, sizeof name, "r%05u.txt", f);
                    std::snprintf(alternate, sizeof alternate, "R%05u.TXT", f);
                    ++tree.renames;
                    break;
                case 1:
                    std::snprintf(name, sizeof name, "Long file name %05u.txt", f);
                    // Short names are unique within a directory; the sim checks it.
                    std::snprintf(alternate, sizeof alternate, "L%05u~1.TXT", f);
                    break;
                default:
                    std::snprintf(name, sizeof name, "F%05u.TXT", f);
                    alternate[0] = 0;
                    break;
                }
                sim::AddFile(name, alternate);
            }
            sim::SetCurrentDirectory("C:\\");
        }
    }
    tree.entries = tree.directories + (unsigned long)top * middle * files;
    return tree;
}

// A chain of one-letter directories C:\d\a\a\...\a, levels deep below C:\d.
Tree BuildDeep(unsigned levels)
{
    Tree tree;
    sim::AddDirectory("C:\\d");
    sim::SetCurrentDirectory("C:\\d");
    for (unsigned i = 0; i < levels; ++i) {
        sim::AddDirectory("a");
        sim::SetCurrentDirectory("a");
    }
    sim::SetCurrentDirectory("C:\\");
    tree.entries = tree.directories = levels;
    return tree;
}

// The product's own depth: every call it makes into the platform layer passes through a
// wrapper (the link wraps those symbols) that notes the lowest frame seen, measured from the
// frame that started the run. What the simulated layer itself uses below that is left out.
uintptr_t runTop, productLowest;

void NoteDepth(const void *frame)
{
    uintptr_t at = (uintptr_t)frame;
    if (!productLowest || at < productLowest)
        productLowest = at;
}

// How many lstrcmpiW calls compared names of different lengths: with ordinary case folding
// those can never compare equal.
unsigned long comparisons, comparisonsOfUnequalLength;

// Runs the program on one argument and stops on anything but a clean run: a benchmark of a
// run that went wrong measures nothing.
void RunClean(const char *argument, const Tree &tree)
{
    runTop = (uintptr_t)__builtin_frame_address(0);
    productLowest = 0;
    sim::Result result = sim::Run(std::string("shortcase ") + argument);
    unsigned finds = sim::Calls(sim::Call::FindFirstFile);
    unsigned moves = sim::Calls(sim::Call::MoveFile);
    if (result.status != 0 || !result.console.empty() || finds != tree.directories + 2 ||
        moves != tree.renames || sim::OpenFinds() != 0 || sim::LiveAllocations() != 0) {
        std::fprintf(stderr, "unexpected run on %s: status %u, %u FindFirstFile, %u MoveFile, "
                             "console: %s\n",
                     argument, result.status, finds, moves, result.console.c_str());
        std::exit(1);
    }
}

// The stack measurement runs the program on a thread whose whole stack was first filled with
// a pattern; the deepest byte no longer holding it marks the high-water mark.
enum : size_t { StackBytes = 16 << 20 };
const unsigned char Pattern = 0xA5;

struct StackRun {
    const char *argument;
    const Tree *tree;
};

void *RunOnThread(void *context)
{
    StackRun *run = (StackRun *)context;
    RunClean(run->argument, *run->tree);
    return nullptr;
}

size_t StackHighWater(const char *argument, const Tree &tree, size_t *product)
{
    void *stack = mmap(nullptr, StackBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (stack == MAP_FAILED) {
        std::perror("mmap");
        std::exit(1);
    }
    std::memset(stack, Pattern, StackBytes);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack, StackBytes);
    StackRun run{argument, &tree};
    pthread_t thread;
    if (pthread_create(&thread, &attributes, RunOnThread, &run) != 0) {
        std::fprintf(stderr, "pthread_create failed\n");
        std::exit(1);
    }
    pthread_join(thread, nullptr);
    *product = runTop - productLowest;
    pthread_attr_destroy(&attributes);
    const unsigned char *bytes = (const unsigned char *)stack;
    size_t lowest = 0;
    while (lowest < StackBytes && bytes[lowest] == Pattern)
        ++lowest;
    munmap(stack, StackBytes);
    return StackBytes - lowest;
}

} // namespace

#define WRAP(ret, name, params, args)                                                          \
    extern "C" ret __real_##name params;                                                       \
    extern "C" ret __wrap_##name params                                                        \
    {                                                                                          \
        NoteDepth(__builtin_frame_address(0));                                                 \
        return __real_##name args;                                                             \
    }
WRAP(HANDLE, FindFirstFileW, (const WCHAR *p, WIN32_FIND_DATAW *d), (p, d))
WRAP(BOOL, FindNextFileW, (HANDLE h, WIN32_FIND_DATAW *d), (h, d))
WRAP(BOOL, FindClose, (HANDLE h), (h))
WRAP(BOOL, MoveFileW, (const WCHAR *a, const WCHAR *b), (a, b))
WRAP(DWORD, GetLastError, (void), ())
WRAP(BOOL, WriteConsoleW, (HANDLE h, const void *t, DWORD n, DWORD *w, void *r), (h, t, n, w, r))
WRAP(int, wvsprintfW, (WCHAR * b, const WCHAR *f, va_list a), (b, f, a))

extern "C" int __real_lstrcmpiW(const WCHAR *a, const WCHAR *b);
extern "C" int __wrap_lstrcmpiW(const WCHAR *a, const WCHAR *b)
{
    NoteDepth(__builtin_frame_address(0));
    size_t m = 0, n = 0;
    while (a[m])
        ++m;
    while (b[n])
        ++n;
    ++comparisons;
    comparisonsOfUnequalLength += m != n;
    return __real_lstrcmpiW(a, b);
}

namespace {

void Print(const char *key, unsigned long long value)
{
    std::printf("%s %llu\n", key, value);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";

    // One run for callgrind: "walk" over a tree of a few thousand entries, "empty" over an
    // empty directory; the difference is the product's cost of the entries.
    if (mode == "walk" || mode == "empty") {
        sim::Reset();
        Tree tree = mode == "walk" ? BuildWide(5, 10, 100) : Tree{};
        if (mode == "empty")
            sim::AddDirectory("C:\\w");
        RunClean("C:\\w", tree);
        Print("entries", tree.entries);
        Print("lstrcmpiw_calls", comparisons);
        Print("lstrcmpiw_unequal_length", comparisonsOfUnequalLength);
        return 0;
    }

    if (mode == "heap") {
        sim::Reset();
        sim::AddDirectory("C:\\w");
        RunClean("C:\\w", Tree{});
        Print("localalloc_empty", sim::Calls(sim::Call::LocalAlloc));
        sim::Reset();
        Tree tree = BuildWide(100, 100, 100);
        RunClean("C:\\w", tree);
        Print("heap_entries", tree.entries);
        Print("heap_renames", tree.renames);
        Print("localalloc_tree", sim::Calls(sim::Call::LocalAlloc));
        Print("localfree_tree", sim::Calls(sim::Call::LocalFree));
        return 0;
    }

    if (mode == "stack") {
        sim::Reset();
        sim::AddDirectory("C:\\d");
        size_t product;
        Print("stack_empty", StackHighWater("C:\\d", Tree{}, &product));
        Print("product_stack_empty", product);
        // 16,000 one-letter levels make a path of 32,005 units with the pattern: as deep as
        // the 32,767-unit limit allows in round figures.
        for (unsigned levels : {10u, 1000u, 16000u}) {
            sim::Reset();
            Tree tree = BuildDeep(levels);
            char key[32];
            std::snprintf(key, sizeof key, "stack_%u", levels);
            Print(key, StackHighWater("C:\\d", tree, &product));
            std::snprintf(key, sizeof key, "product_stack_%u", levels);
            Print(key, product);
        }
        return 0;
    }

    std::fprintf(stderr, "usage: %s walk|empty|heap|stack\n", argv[0]);
    return 2;
}
