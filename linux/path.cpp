// Paths over Linux: the product's UTF-16 paths as the bytes Linux names entries with, spelled
// as the entries stand when a dry run only pretends to rename, and opened at any depth.
#include "linux/linux.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

// A dry run renames nothing, yet the product walks a directory under the name it was told the
// directory now has, and on a case-sensitive mount that name finds nothing. So the layer
// remembers the pretended renames of the directories the walk is in, and spells the paths the
// product gives with the names those directories still have. A case-only rename keeps a name's
// length in units, so told and present spell the same path, the first in the product's names
// and the second in the real ones, and ends[] holds the length of each pretended directory's
// path within them, the outermost first. The walk goes depth first: once a path outside the
// innermost directory comes, the walk has left it for good.
static WCHAR told[LineUnits], present[LineUnits];
static DWORD ends[LineUnits / 2];
static DWORD pretended;

static DWORD Length(const WCHAR *text)
{
    DWORD length = 0;
    while (text[length])
        ++length;
    return length;
}

// Whether the path (length units) lies in the pretended directory whose path is end units long.
static bool Inside(const WCHAR *path, DWORD length, DWORD end)
{
    if (length < end)
        return false;
    for (DWORD i = 0; i < end; ++i)
        if (path[i] != told[i])
            return false;
    return length == end || path[end] == u'\\' || path[end] == u'/';
}

// The path as the entries are named now: in scratch (LineUnits units), or the path itself
// where no pretended rename lies on it.
static const WCHAR *Present(const WCHAR *path, DWORD length, WCHAR *scratch)
{
    while (pretended && !Inside(path, length, ends[pretended - 1]))
        --pretended;
    if (!pretended)
        return path;
    DWORD end = ends[pretended - 1];
    memcpy(scratch, present, end * sizeof(WCHAR));
    memcpy(scratch + end, path + end, (length - end + 1) * sizeof(WCHAR));
    return scratch;
}

void PretendRenamed(const WCHAR *from, const WCHAR *to)
{
    static WCHAR scratch[LineUnits];
    DWORD length = Length(to);
    if (pretended == LineUnits / 2)
        return; // deeper than a path of LineUnits units can go
    const WCHAR *now = Present(from, length, scratch);
    memcpy(present, now, length * sizeof(WCHAR));
    memcpy(told, to, length * sizeof(WCHAR));
    ends[pretended++] = length;
}

bool LinuxPath(const WCHAR *path, char *bytes)
{
    static WCHAR scratch[LineUnits];
    DWORD length = Length(path);
    if (length >= LineUnits)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    if (PathToBytes(Present(path, length, scratch), length, bytes, PathBytes - 1) >= PathBytes)
        return Fail(123); // ERROR_INVALID_NAME: a surrogate that stands for no byte
    return true;
}

int OpenDirectory(const char *path, int flags)
{
    flags |= O_DIRECTORY | O_CLOEXEC;
    size_t length = strlen(path);
    if (length < PATH_MAX)
        return open(path, flags);

    // Linux takes at most PATH_MAX bytes of path in one call, but any depth through the
    // descriptors of directories: open the path a run of whole names at a time.
    int directory = AT_FDCWD;
    size_t at = 0;
    if (path[0] == '/') {
        directory = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        while (path[at] == '/')
            ++at;
    }
    static char run[PATH_MAX];
    while (directory != -1) {
        size_t take = length - at;
        bool last = take < PATH_MAX;
        if (!last) {
            // Up to the last separator that fits; a longer name is for the kernel to refuse.
            take = PATH_MAX - 1;
            while (take > 0 && path[at + take] != '/')
                --take;
            if (take == 0)
                take = PATH_MAX - 1;
        }
        memcpy(run, path + at, take);
        run[take] = 0;
        int next = openat(directory, run, last ? flags : O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (directory != AT_FDCWD) {
            int error = errno;
            close(directory);
            errno = error;
        }
        if (last)
            return next;
        directory = next;
        for (at += take; path[at] == '/';)
            ++at; // a name after "//" is no absolute path of its own
    }
    return -1;
}
