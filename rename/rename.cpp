// Renames entries whose long name differs from their 8.3 short name only in case, and walks
// directories so that a whole subtree is treated, depth first, in the two shared buffers.
#include "rename/rename.h"

#include "driver/console.h"

static const WCHAR PathFailed[] = u"%ls() returned error %lu for path '%ls'\n";

// Every level of a walk adds a backslash and a name to a path that fits in PathUnits, so no
// tree the system can address nests deeper than this.
enum : DWORD { MaxLevels = PathUnits / 2 };

bool IsDotEntry(const WCHAR *name)
{
    return name[0] == u'.' && (name[1] == 0 || (name[1] == u'.' && name[2] == 0));
}

// Length of a name in a fixed-size field; size when the field holds no terminator.
static DWORD NameLength(const WCHAR *name, DWORD size)
{
    DWORD length = 0;
    while (length < size && name[length])
        ++length;
    return length;
}

// Everything ChangeEntry does short of the walk: writes the entry's path into the path buffer
// at position and renames the entry when its names differ only in case. Returns whether the
// entry is a directory to walk; if so, *end is the length of its path, which then spells the
// name the entry has now.
static bool RenameEntry(HANDLE console, WCHAR *path, WCHAR *target, DWORD position,
                        const WIN32_FIND_DATAW *find, DWORD *end)
{
    const WCHAR *name = find->cFileName;
    const WCHAR *alternate = find->cAlternateFileName;
    bool walk = (find->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(find->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);

    // An entry without a short name never qualifies, so most entries of a modern volume are
    // settled here, without lstrcmpiW and without touching the buffers.
    DWORD alternateLength = NameLength(alternate, 14);
    if (alternateLength == 14)
        alternateLength = 0; // unterminated: no short name we could rely on
    if (alternateLength == 0 && !walk)
        return false;
    DWORD length = NameLength(name, MAX_PATH);
    if (length == MAX_PATH)
        return false; // unterminated: names nothing we could open or move

    // Names that differ only in case have the same length. Checking that first spares the
    // locale-aware lstrcmpiW every generated short name («PROGRA~1»), and keeps it from
    // equating names that differ by more than case (a ligature against its two letters).
    bool rename = false;
    if (alternateLength == length) {
        // The volume folds case whatever the user's locale, but under a Turkish or Azeri one
        // lstrcmpiW keeps «i» and «I» apart. So ASCII letters are matched here, and lstrcmpiW
        // judges only the other differences: it sees the short name with those letters
        // spelled as in the long name.
        WCHAR other[14];
        bool differs = false, asciiOnly = true;
        for (DWORD i = 0; i <= length; ++i) {
            other[i] = alternate[i];
            if (name[i] == alternate[i])
                continue;
            differs = true;
            WCHAR letter = name[i] | 0x20;
            if ((name[i] ^ alternate[i]) == 0x20 && letter >= u'a' && letter <= u'z')
                other[i] = name[i];
            else
                asciiOnly = false;
        }
        rename = differs && (asciiOnly || lstrcmpiW(name, other) == 0);
    }
    if (!rename && !walk)
        return false;

    if (position + length >= PathUnits) {
        // Past 32,767 units the system cannot name the entry either, so the rename or the walk
        // is lost: say so, with as much of the path as the buffer holds.
        DWORD i = 0;
        for (; position + i < PathUnits - 1 && i < length; ++i)
            path[position + i] = name[i];
        path[position + i] = 0;
        PrintConsole(console, PathFailed, rename ? u"MoveFile" : u"FindFirstFile",
                     (DWORD)ERROR_FILENAME_EXCED_RANGE, path);
        return false;
    }

    for (DWORD i = 0; i <= length; ++i)
        path[position + i] = name[i];
    if (rename) {
        for (DWORD i = 0; i <= length; ++i)
            target[position + i] = alternate[i];
        if (MoveFileW(path, target)) {
            // Walk on under the new spelling: in a case-sensitive directory the old one is gone.
            for (DWORD i = 0; i <= length; ++i)
                path[position + i] = alternate[i];
        } else {
            PrintConsole(console, u"MoveFile(\"%ls\", \"%ls\") returned error %lu\n", path, target,
                         GetLastError());
        }
    }
    *end = position + length;
    return walk;
}

// Opens the enumeration of the directory whose path fills the first length units of the path
// buffer; the target buffer already matches it below from. On success *position is where the
// directory's entry names go, and find holds its first entry.
static HANDLE OpenDirectory(HANDLE console, WCHAR *path, WCHAR *target, DWORD from, DWORD length,
                            DWORD *position, WIN32_FIND_DATAW *find)
{
    if (length + 3 > PathUnits) {
        PrintConsole(console, PathFailed, u"FindFirstFile", (DWORD)ERROR_FILENAME_EXCED_RANGE,
                     path);
        return INVALID_HANDLE_VALUE;
    }
    path[length] = u'\\';
    path[length + 1] = u'*';
    path[length + 2] = 0;
    HANDLE handle = FindFirstFileW(path, find);
    if (handle == INVALID_HANDLE_VALUE) {
        // ERROR_FILE_NOT_FOUND: the directory lists no entry at all, not even a dot entry, as
        // an empty one does on file systems that report none; nothing to change. A directory
        // removed since it was listed fails with ERROR_PATH_NOT_FOUND, and that is reported.
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            PrintConsole(console, PathFailed, u"FindFirstFile", error, path);
        return handle;
    }
    for (DWORD i = from; i <= length; ++i)
        target[i] = path[i];
    *position = length + 1;
    return handle;
}

void ChangeEntry(HANDLE console, WCHAR *path, WCHAR *target, DWORD position,
                 const WIN32_FIND_DATAW *find)
{
    DWORD end;
    if (RenameEntry(console, path, target, position, find, &end))
        WalkDirectory(console, path, target);
}

void WalkDirectory(HANDLE console, WCHAR *path, WCHAR *target)
{
    // Depth first without recursion: a level is done with its find record once it has
    // renamed the entry and opened the level below, and FindNextFileW refills the record when
    // the level resumes. So one record serves every level and only the handles pile up, and
    // the deepest tree costs this fixed frame rather than a frame per level.
    HANDLE handles[MaxLevels];
    WIN32_FIND_DATAW find;
    DWORD level = 0;
    DWORD position = 0;
    handles[0] = OpenDirectory(console, path, target, 0, NameLength(path, PathUnits), &position,
                               &find);
    if (handles[0] == INVALID_HANDLE_VALUE)
        return;

    for (;;) {
        DWORD end, inner;
        if (!IsDotEntry(find.cFileName) &&
            RenameEntry(console, path, target, position, &find, &end) && level + 1 < MaxLevels) {
            HANDLE handle = OpenDirectory(console, path, target, position, end, &inner, &find);
            if (handle != INVALID_HANDLE_VALUE) {
                handles[++level] = handle;
                position = inner;
                continue;
            }
        }
        while (!FindNextFileW(handles[level], &find)) {
            DWORD error = GetLastError();
            // Name the enumeration by its pattern, whatever names were written after it.
            path[position] = u'*';
            path[position + 1] = 0;
            if (error != ERROR_NO_MORE_FILES)
                PrintConsole(console, PathFailed, u"FindNextFile", error, path);
            if (!FindClose(handles[level]))
                PrintConsole(console, PathFailed, u"FindClose", GetLastError(), path);
            if (level-- == 0)
                return;
            // Back in the parent: its names start after the backslash before this directory's.
            position -= 2;
            while (path[position] != u'\\')
                --position;
            ++position;
        }
    }
}
