// Paths over Linux: the product's UTF-16 paths as the bytes Linux names entries with.
#include "linux/linux.h"

static DWORD Length(const WCHAR *text)
{
    DWORD length = 0;
    while (text[length])
        ++length;
    return length;
}

bool LinuxPath(const WCHAR *path, char *bytes)
{
    DWORD length = Length(path);
    if (length >= LineUnits)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    if (PathToBytes(path, length, bytes, PathBytes - 1) >= PathBytes)
        return Fail(123); // ERROR_INVALID_NAME: a surrogate that stands for no byte
    return true;
}
