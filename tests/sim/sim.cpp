// The simulated Win32 layer: every function of win32/win32.h over the state described in sim.h.
#include "tests/sim/sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string_view>

#include <valgrind/memcheck.h>

#include "driver/driver.h"

namespace sim {
namespace {

enum : DWORD { ERROR_BAD_NETPATH = 53, ERROR_INVALID_NAME = 123, PathLimit = 32768 };

struct Node {
    std::u16string name, shortName;
    DWORD attributes = 0;
    bool caseSensitive = false;
    DWORD refusal = 0;
    Node *parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    bool IsDirectory() const { return attributes & FILE_ATTRIBUTE_DIRECTORY; }
    ~Node() // without recursion: trees may nest 16,000 deep, torn down on a small stack
    {
        std::vector<std::unique_ptr<Node>> pending = std::move(children);
        while (!pending.empty()) {
            std::unique_ptr<Node> node = std::move(pending.back());
            pending.pop_back();
            for (auto &child : node->children)
                pending.push_back(std::move(child));
            node->children.clear();
        }
    }
};

struct Find {
    std::string pattern;
    std::vector<WIN32_FIND_DATAW> records;
    size_t next = 1;
};

struct Fault {
    unsigned countdown = 0;
    DWORD error = 0;
    bool persistent = false, firing = false;
};

// Handles that stand for standard error; any distinct non-null values would do.
HANDLE const ConsoleHandle = (HANDLE)(SIZE_T)0xC0;
HANDLE const FileHandle = (HANDLE)(SIZE_T)0xF0;

struct State {
    Node root;
    Node *current = &root;
    std::vector<std::unique_ptr<Node>> shares; // named "server\share", tops without a parent
    std::u16string commandLine = u"shortcase";
    StdErr stdErr = StdErr::Console;
    DWORD stdErrError = ERROR_INVALID_HANDLE;
    bool stdErrOpen = true;
    std::u16string console;
    std::vector<std::string> formatted, log;
    bool logging = true;
    bool cutLikeWine = false;
    bool turkish = false;
    Fault faults[(int)Call::Count];
    unsigned calls[(int)Call::Count] = {};
    std::map<void *, SIZE_T> blocks;
    std::set<Find *> finds;
    unsigned peakFinds = 0, misuses = 0;
    DWORD lastError = 0;
    // The directory part (up to its last backslash) of the last absolute path resolved, and
    // its directory: a walk resolves ever longer paths, each one level below the last, so
    // this keeps a 16,000-level walk from costing 16,000 lookups a call.
    std::u16string cachedText;
    Node *cachedNode = nullptr;
    State() { root.attributes = FILE_ATTRIBUTE_DIRECTORY; }
    ~State() // what the program left behind
    {
        for (auto &block : blocks)
            std::free(block.first);
        for (Find *find : finds)
            delete find;
    }
};

std::unique_ptr<State> state;

State &S()
{
    if (!state)
        state = std::make_unique<State>();
    return *state;
}

[[noreturn]] void Misuse(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "sim: %s: %s\n", what, detail.c_str());
    std::abort();
}

// Counts the call and says whether an injected fault makes it fail, with which code.
bool Injected(Call call, DWORD *error)
{
    State &s = S();
    ++s.calls[(int)call];
    Fault &f = s.faults[(int)call];
    if (f.countdown && --f.countdown == 0) {
        f.firing = f.persistent;
        *error = f.error;
        return true;
    }
    *error = f.error;
    return f.firing;
}

// Upper case for ASCII, Latin-1, basic Greek and Cyrillic: enough for the names tests use.
char16_t Fold(char16_t c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
        (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) || (c >= 0x430 && c <= 0x44F))
        return c - 0x20;
    if (c >= 0x450 && c <= 0x45F)
        return c - 0x50;
    if (c == 0xFF)
        return 0x178;
    return c;
}

bool Same(std::u16string_view a, std::u16string_view b, bool exact)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (exact ? a[i] != b[i] : Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}

bool Matches(const char16_t *pattern, const char16_t *name, bool exact)
{
    // Classic backtracking over the last '*': linear enough for names of 255 units.
    const char16_t *star = nullptr, *resume = nullptr;
    while (*name) {
        if (*pattern == u'*') {
            star = ++pattern;
            resume = name;
        } else if (*pattern && (*pattern == u'?' || (exact ? *pattern == *name
                                                            : Fold(*pattern) == Fold(*name)))) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == u'*')
        ++pattern;
    return !*pattern;
}

bool HasWildcard(std::u16string_view name)
{
    return name.find_first_of(u"*?") != std::u16string::npos;
}

Node *Lookup(Node *directory, std::u16string_view name)
{
    bool exact = directory->caseSensitive;
    for (auto &child : directory->children)
        if (child->name.size() < MAX_PATH && // such a name only shows in a find record
            (Same(child->name, name, exact) ||
             (!child->shortName.empty() && Same(child->shortName, name, exact))))
            return child.get();
    return nullptr;
}

bool IsLiteral(std::u16string_view path) { return path.substr(0, 4) == u"\\\\?\\"; }

// Resolves everything but the last component of path to a directory; *last gets that
// component. Null with *error set when the directory part names nothing.
Node *ParentOf(const std::u16string &given, std::u16string *last, DWORD *error)
{
    State &s = S();
    // "\\?\C:\..." is taken literally; anywhere else a forward slash is a backslash.
    bool literal = IsLiteral(given);
    std::u16string_view path = given;
    std::u16string converted;
    if (literal) {
        path.remove_prefix(4);
        if (path.size() < 3 || path[1] != u':' || path[2] != u'\\') {
            *error = ERROR_PATH_NOT_FOUND;
            return nullptr;
        }
    } else if (given.find(u'/') != std::u16string::npos) {
        converted = given;
        for (char16_t &unit : converted)
            unit = unit == u'/' ? u'\\' : unit;
        path = converted;
    }
    Node *directory = s.current;
    size_t i = 0;
    if (path.substr(0, 2) == u"\\\\") {
        // "\\server\share\...": a path inside the share; the share's name alone is none.
        size_t server = path.find(u'\\', 2);
        size_t end = server == path.npos ? server : path.find(u'\\', server + 1);
        directory = nullptr;
        for (auto &share : s.shares)
            if (end != path.npos && Same(share->name, path.substr(2, end - 2), false))
                directory = share.get();
        if (!directory) {
            *error = ERROR_BAD_NETPATH;
            return nullptr;
        }
        i = end + 1;
    } else {
        if (path.size() >= 2 && path[1] == u':') {
            if (Fold(path[0]) != u'C') {
                *error = ERROR_PATH_NOT_FOUND;
                return nullptr;
            }
            i = 2;
        }
        if (i < path.size() && path[i] == u'\\') {
            directory = &s.root;
            ++i;
        }
    }
    size_t slash = path.rfind(u'\\');
    size_t lastStart = slash == std::u16string::npos || slash < i ? i : slash + 1;
    bool cacheable = i == 3 && !literal; // "C:\..."
    if (cacheable && s.cachedNode && s.cachedText.size() <= lastStart &&
        std::memcmp(path.data(), s.cachedText.data(), s.cachedText.size() * 2) == 0) {
        directory = s.cachedNode;
        i = s.cachedText.size();
    }
    while (i < lastStart) {
        size_t end = path.find(u'\\', i);
        std::u16string_view component(path.data() + i, end - i);
        i = end + 1;
        if (!literal && (component.empty() || component == u"." || component == u"..")) {
            cacheable = false; // the text would depend on more than the nodes it passes
            if (component == u".." && directory->parent)
                directory = directory->parent;
            continue;
        }
        if (HasWildcard(component)) {
            *error = ERROR_INVALID_NAME;
            return nullptr;
        }
        Node *child = Lookup(directory, component);
        if (!child || !child->IsDirectory()) {
            *error = ERROR_PATH_NOT_FOUND;
            return nullptr;
        }
        directory = child;
    }
    if (cacheable) {
        s.cachedText.assign(path.data(), lastStart);
        s.cachedNode = directory;
    }
    *last = std::u16string(path.substr(lastStart));
    return directory;
}

Node *ParentOrAbort(const std::string &path, std::u16string *last)
{
    DWORD error = 0;
    Node *parent = ParentOf(Utf16(path), last, &error);
    if (!parent)
        Misuse("no such directory", path);
    return parent;
}

Node *NodeOrAbort(const std::string &path)
{
    std::u16string last;
    Node *parent = ParentOrAbort(path, &last);
    Node *node = last.empty() ? parent : Lookup(parent, last);
    if (!node)
        Misuse("no such entry", path);
    return node;
}

void Add(const std::string &path, const std::string &shortName, DWORD attributes)
{
    std::u16string name;
    Node *parent = ParentOrAbort(path, &name);
    std::u16string alternate = Utf16(shortName);
    if (name.empty() || name.size() > MAX_PATH || alternate.size() > 14 || HasWildcard(name) ||
        Lookup(parent, name) || (!alternate.empty() && Lookup(parent, alternate)))
        Misuse("cannot add", path);
    auto node = std::make_unique<Node>();
    node->name = name;
    node->shortName = alternate;
    node->attributes = attributes;
    node->parent = parent;
    parent->children.push_back(std::move(node));
}

WIN32_FIND_DATAW Record(const std::u16string &name, const std::u16string &shortName,
                        DWORD attributes)
{
    WIN32_FIND_DATAW data;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = attributes;
    // The system writes each name and its terminator, and nothing after them: under valgrind
    // the rest of either field counts as never written, so a decision taken on it shows.
    auto fill = [](WCHAR *field, size_t size, const std::u16string &text) {
        size_t units = text.copy(field, size);
        if (units + 1 < size)
            VALGRIND_MAKE_MEM_UNDEFINED(field + units + 1, (size - units - 1) * sizeof *field);
    };
    fill(data.cFileName, MAX_PATH, name);
    fill(data.cAlternateFileName, 14, shortName);
    return data;
}

size_t Length(const WCHAR *text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

BOOL Failure(DWORD error)
{
    S().lastError = error;
    return FALSE;
}

} // namespace

void Reset() { state = std::make_unique<State>(); }

void CutLikeWine(bool on) { S().cutLikeWine = on; }

void TurkishLocale(bool on) { S().turkish = on; }

void AddFile(const std::string &path, const std::string &shortName, DWORD attributes)
{
    Add(path, shortName, attributes & ~(DWORD)FILE_ATTRIBUTE_DIRECTORY);
}

void AddDirectory(const std::string &path, const std::string &shortName, DWORD attributes)
{
    Add(path, shortName, attributes | FILE_ATTRIBUTE_DIRECTORY);
}

void AddShare(const std::string &share)
{
    // "\\", a server, one backslash, a share, and no share of that name yet.
    std::u16string path = Utf16(share), last;
    size_t server = path.find(u'\\', 2);
    DWORD error = 0;
    if (path.substr(0, 2) != u"\\\\" || server == path.npos || server == 2 ||
        server + 1 == path.size() || path.find(u'\\', server + 1) != path.npos ||
        ParentOf(path + u'\\', &last, &error))
        Misuse("cannot add share", share);
    auto node = std::make_unique<Node>();
    node->name = path.substr(2);
    node->attributes = FILE_ATTRIBUTE_DIRECTORY;
    S().shares.push_back(std::move(node));
}

void SetCaseSensitive(const std::string &directory)
{
    NodeOrAbort(directory)->caseSensitive = true;
    S().cachedNode = nullptr;
}

void RefuseListing(const std::string &directory, DWORD error)
{
    NodeOrAbort(directory)->refusal = error;
}

void SetCurrentDirectory(const std::string &directory)
{
    S().current = NodeOrAbort(directory);
}

std::vector<std::string> Tree(const std::string &directory)
{
    std::vector<std::string> paths;
    std::string base = directory;
    if (base.empty() || base.back() != '\\')
        base += '\\';
    // Depth first without recursion: each level is a directory and the index of its next child.
    std::vector<std::pair<const Node *, size_t>> levels = {{NodeOrAbort(directory), 0}};
    std::vector<size_t> lengths = {base.size()};
    while (!levels.empty()) {
        auto &[node, next] = levels.back();
        if (next == node->children.size()) {
            levels.pop_back();
            lengths.pop_back();
            base.resize(lengths.empty() ? 0 : lengths.back());
            continue;
        }
        const Node *child = node->children[next++].get();
        base.resize(lengths.back());
        base += Utf8(child->name);
        if (!child->IsDirectory()) {
            paths.push_back(base);
            continue;
        }
        base += '\\';
        paths.push_back(base);
        levels.push_back({child, 0});
        lengths.push_back(base.size());
    }
    return paths;
}

const std::vector<std::string> &Log() { return S().log; }

void KeepLog(bool keep) { S().logging = keep; }

void SetCommandLine(const std::u16string &line) { S().commandLine = line; }

void SetStdErr(StdErr kind, DWORD error)
{
    S().stdErr = kind;
    S().stdErrError = error;
}

std::string ConsoleText() { return Utf8(S().console); }

const std::vector<std::string> &Formatted() { return S().formatted; }

void Fail(Call call, unsigned nth, DWORD error, bool persistent)
{
    if (nth == 0 || error == 0)
        Misuse("bad fault", "nth and error must not be 0");
    S().faults[(int)call] = Fault{nth, error, persistent, false};
}

unsigned Calls(Call call) { return S().calls[(int)call]; }
unsigned OpenFinds() { return (unsigned)S().finds.size(); }
unsigned PeakOpenFinds() { return S().peakFinds; }
unsigned LiveAllocations() { return (unsigned)S().blocks.size(); }
unsigned Misuses() { return S().misuses; }

Result Run(const std::u16string &commandLine)
{
    SetCommandLine(commandLine);
    S().stdErrOpen = true; // a new process gets its own standard error handle
    size_t before = S().console.size();
    try {
        EntryPoint();
    } catch (const Exit &exit) {
        return Result{exit.code, Utf8(S().console.substr(before))};
    }
}

Result Run(const std::string &commandLine) { return Run(Utf16(commandLine)); }

std::string Utf8(const std::u16string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | c >> 6);
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | c >> 12);
            out += (char)(0x80 | (c >> 6 & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | c >> 18);
            out += (char)(0x80 | (c >> 12 & 0x3F));
            out += (char)(0x80 | (c >> 6 & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf16(const std::string &text)
{
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = (unsigned char)text[i];
        int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        char32_t c = extra ? lead & (0x3F >> extra) : lead;
        for (int k = 1; k <= extra && i + k < text.size(); ++k)
            c = c << 6 | ((unsigned char)text[i + k] & 0x3F);
        i += extra + 1;
        if (c >= 0x10000) {
            out += (char16_t)(0xD800 + ((c - 0x10000) >> 10));
            out += (char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += (char16_t)c;
        }
    }
    return out;
}

} // namespace sim

using namespace sim;

// --- kernel32

extern "C" BOOL CloseHandle(HANDLE object)
{
    State &s = S();
    DWORD error;
    if (Injected(Call::CloseHandle, &error))
        return Failure(error);
    bool stdErr = (object == ConsoleHandle && s.stdErr == StdErr::Console) ||
                  (object == FileHandle && s.stdErr == StdErr::Redirected);
    if (!stdErr || !s.stdErrOpen) {
        if (object) // closing "no handle" is a plain failure; anything else is a fault
            ++s.misuses;
        return Failure(ERROR_INVALID_HANDLE);
    }
    s.stdErrOpen = false;
    return TRUE;
}

extern "C" void ExitProcess(UINT code) { throw Exit{code}; }

extern "C" BOOL FindClose(HANDLE handle)
{
    State &s = S();
    DWORD error;
    if (Injected(Call::FindClose, &error))
        return Failure(error);
    Find *find = (Find *)handle;
    if (!s.finds.erase(find)) {
        ++s.misuses;
        return Failure(ERROR_INVALID_HANDLE);
    }
    if (s.logging)
        s.log.push_back("FindClose " + find->pattern);
    delete find;
    return TRUE;
}

extern "C" HANDLE FindFirstFileW(const WCHAR *pattern, WIN32_FIND_DATAW *data)
{
    State &s = S();
    DWORD error = 0;
    if (!pattern || !data) {
        Injected(Call::FindFirstFile, &error);
        s.lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    std::u16string path(pattern);
    std::string shown = s.logging ? Utf8(path) : std::string();
    auto fail = [&](DWORD code) {
        if (s.logging)
            s.log.push_back("FindFirstFile " + shown + " error " + std::to_string(code));
        s.lastError = code;
        return INVALID_HANDLE_VALUE;
    };
    if (Injected(Call::FindFirstFile, &error))
        return fail(error);
    if (path.size() >= PathLimit)
        return fail(ERROR_FILENAME_EXCED_RANGE);
    std::u16string last;
    Node *directory = ParentOf(path, &last, &error);
    if (!directory)
        return fail(error);
    if (directory->refusal)
        return fail(directory->refusal);

    // A last component "." or "..", or a bare "C:", names a directory itself: the answer is
    // that directory's own entry, under its real name.
    Node *itself = nullptr;
    if (!IsLiteral(path)) {
        if (last == u"." || (last.empty() && path.size() == 2))
            itself = directory;
        else if (last == u"..")
            itself = directory->parent ? directory->parent : directory;
    }
    if ((itself && !itself->parent) || (!itself && last.empty())) // the root or a share
        return fail(ERROR_FILE_NOT_FOUND);

    auto find = std::make_unique<Find>();
    find->pattern = shown;
    bool exact = directory->caseSensitive;
    if (HasWildcard(last)) {
        if (directory != &s.root)
            for (const char16_t *dot : {u".", u".."})
                if (Matches(last.c_str(), dot, exact))
                    find->records.push_back(Record(dot, u"", FILE_ATTRIBUTE_DIRECTORY));
        for (auto &child : directory->children)
            if (Matches(last.c_str(), child->name.c_str(), exact) ||
                (!child->shortName.empty() &&
                 Matches(last.c_str(), child->shortName.c_str(), exact)))
                find->records.push_back(Record(child->name, child->shortName, child->attributes));
    } else if (Node *node = itself ? itself : Lookup(directory, last)) {
        find->records.push_back(Record(node->name, node->shortName, node->attributes));
    }
    if (find->records.empty())
        return fail(ERROR_FILE_NOT_FOUND);

    *data = find->records[0];
    if (s.logging)
        s.log.push_back("FindFirstFile " + shown);
    s.finds.insert(find.get());
    if (s.finds.size() > s.peakFinds)
        s.peakFinds = (unsigned)s.finds.size();
    return find.release();
}

extern "C" BOOL FindNextFileW(HANDLE handle, WIN32_FIND_DATAW *data)
{
    State &s = S();
    DWORD error;
    if (Injected(Call::FindNextFile, &error))
        return Failure(error);
    Find *find = (Find *)handle;
    if (!s.finds.count(find)) {
        ++s.misuses;
        return Failure(ERROR_INVALID_HANDLE);
    }
    if (find->next >= find->records.size())
        return Failure(ERROR_NO_MORE_FILES);
    *data = find->records[find->next++];
    return TRUE;
}

extern "C" WCHAR *GetCommandLineW(void) { return &S().commandLine[0]; }

extern "C" DWORD GetLastError(void) { return S().lastError; }

extern "C" HANDLE GetStdHandle(DWORD which)
{
    State &s = S();
    if (which != STD_ERROR_HANDLE)
        Misuse("GetStdHandle", "only standard error is simulated");
    switch (s.stdErr) {
    case StdErr::Console:
        return ConsoleHandle;
    case StdErr::Redirected:
        return FileHandle;
    case StdErr::Null:
        return nullptr;
    case StdErr::Invalid:
        break;
    }
    s.lastError = s.stdErrError;
    return INVALID_HANDLE_VALUE;
}

extern "C" HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    State &s = S();
    DWORD error;
    if (Injected(Call::LocalAlloc, &error)) {
        s.lastError = error;
        return nullptr;
    }
    void *block = std::malloc(bytes ? bytes : 1);
    if (!block) {
        s.lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    // Without LMEM_ZEROINIT the block holds garbage, so reliance on zeros shows.
    std::memset(block, flags & LMEM_ZEROINIT ? 0 : 0xA5, bytes);
    s.blocks[block] = bytes;
    return block;
}

extern "C" HLOCAL LocalFree(HLOCAL memory)
{
    State &s = S();
    DWORD error;
    if (Injected(Call::LocalFree, &error)) {
        s.lastError = error;
        return memory;
    }
    if (!memory)
        return nullptr;
    if (!s.blocks.erase(memory)) {
        ++s.misuses;
        s.lastError = ERROR_INVALID_HANDLE;
        return memory;
    }
    std::free(memory);
    return nullptr;
}

extern "C" BOOL MoveFileW(const WCHAR *from, const WCHAR *to)
{
    State &s = S();
    DWORD error = 0;
    if (!from || !to) {
        Injected(Call::MoveFile, &error);
        return Failure(ERROR_INVALID_PARAMETER);
    }
    std::u16string source(from), target(to);
    std::string entry = s.logging ? "MoveFile " + Utf8(source) + " " + Utf8(target) : "";
    auto fail = [&](DWORD code) {
        if (s.logging)
            s.log.push_back(entry + " error " + std::to_string(code));
        return Failure(code);
    };
    if (Injected(Call::MoveFile, &error))
        return fail(error);
    if (source.size() >= PathLimit || target.size() >= PathLimit)
        return fail(ERROR_FILENAME_EXCED_RANGE);
    std::u16string sourceName, targetName;
    Node *sourceDirectory = ParentOf(source, &sourceName, &error);
    if (!sourceDirectory)
        return fail(error);
    Node *targetDirectory = ParentOf(target, &targetName, &error);
    if (!targetDirectory)
        return fail(error);
    if (HasWildcard(sourceName) || HasWildcard(targetName) || targetName.empty() ||
        targetName == u"." || targetName == u"..")
        return fail(ERROR_INVALID_NAME);
    Node *node = Lookup(sourceDirectory, sourceName);
    if (!node)
        return fail(ERROR_FILE_NOT_FOUND);
    Node *existing = Lookup(targetDirectory, targetName);
    if (existing && existing != node)
        return fail(ERROR_ALREADY_EXISTS);
    for (Node *up = targetDirectory; up; up = up->parent)
        if (up == node) // into its own subtree
            return fail(ERROR_ACCESS_DENIED);

    // Names are unique in a directory, so only a move of the cached directory or one above it
    // can change what the cached text names.
    for (Node *up = s.cachedNode; up; up = up->parent)
        if (up == node)
            s.cachedNode = nullptr;
    if (targetName == node->shortName)
        node->shortName.clear();
    node->name = targetName;
    if (targetDirectory != sourceDirectory) {
        auto &siblings = sourceDirectory->children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it)
            if (it->get() == node) {
                node->parent = targetDirectory;
                targetDirectory->children.push_back(std::move(*it));
                siblings.erase(it);
                break;
            }
    }
    if (s.logging)
        s.log.push_back(entry);
    return TRUE;
}

extern "C" void SetLastError(DWORD code) { S().lastError = code; }

extern "C" BOOL WriteConsoleW(HANDLE console, const void *text, DWORD units, DWORD *written,
                              void *reserved)
{
    State &s = S();
    DWORD error;
    if (Injected(Call::WriteConsole, &error))
        return Failure(error);
    if (reserved)
        return Failure(ERROR_INVALID_PARAMETER);
    if (console != ConsoleHandle || s.stdErr != StdErr::Console || !s.stdErrOpen)
        return Failure(ERROR_INVALID_HANDLE);
    s.console.append((const char16_t *)text, units);
    if (written)
        *written = units;
    return TRUE;
}

// Like the system's, it skips ignorable characters (the soft hyphen here), so names of
// different lengths can compare equal; and it folds by the user's locale.
extern "C" int lstrcmpiW(const WCHAR *a, const WCHAR *b)
{
    a = a ? a : u"";
    b = b ? b : u"";
    auto fold = [](char16_t c) -> char16_t {
        if (S().turkish && (c == u'i' || c == 0x131))
            return c == u'i' ? 0x130 : u'I';
        return Fold(c);
    };
    for (;; ++a, ++b) {
        while (*a == 0xAD)
            ++a;
        while (*b == 0xAD)
            ++b;
        char16_t x = fold(*a), y = fold(*b);
        if (x != y)
            return x < y ? -1 : 1;
        if (!x)
            return 0;
    }
}

// --- user32

extern "C" int wvsprintfW(WCHAR *buffer, const WCHAR *format, va_list args)
{
    enum { Limit = 1024 }; // characters, the terminator not counted
    std::u16string text;
    for (const WCHAR *p = format; *p; ++p) {
        if (*p != u'%') {
            text += *p;
        } else if (p[1] == u'%') {
            text += *++p;
        } else if (p[1] == u'l' && p[2] == u's') {
            const WCHAR *arg = va_arg(args, const WCHAR *);
            text += arg ? std::u16string(arg, Length(arg)) : std::u16string(u"(null)");
            p += 2;
        } else if (p[1] == u'l' && p[2] == u'u') {
            text += Utf16(std::to_string(va_arg(args, unsigned int)));
            p += 2;
        } else {
            Misuse("wvsprintfW", "unsupported conversion in " + Utf8(format));
        }
    }
    S().formatted.push_back(Utf8(text));
    size_t n = text.size() < Limit ? text.size() : Limit;
    if (S().cutLikeWine && n == Limit) {
        text.copy(buffer, Limit - 1);
        buffer[Limit - 1] = 0;
        return Limit;
    }
    text.copy(buffer, n);
    buffer[n] = 0;
    return (int)n;
}
