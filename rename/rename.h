// Case-only renames of directory entries to their 8.3 short names, and the directory walk.
#pragma once

#include "win32/win32.h"

// The path and target buffers: a path of up to 32,767 units and its terminator.
enum : DWORD { PathUnits = 32768 };

// True for "." and "..", which are never counted, renamed or entered.
bool IsDotEntry(const WCHAR *name);

// Examines the entry that find describes, whose directory part already stands in the first
// position units of both buffers: renames it to its short name when the two names differ
// only in case, then walks it if it is a directory and not a reparse point.
void ChangeEntry(HANDLE console, WCHAR *path, WCHAR *target, DWORD position,
                 const WIN32_FIND_DATAW *find);

// Treats every entry below the directory whose path path holds (NUL-terminated, without a
// trailing backslash) as ChangeEntry does. Leaves both buffers beyond that path undefined.
void WalkDirectory(HANDLE console, WCHAR *path, WCHAR *target);
