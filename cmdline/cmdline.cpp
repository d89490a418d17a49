// Splits the command line ourselves, under the usual quoting rules, rather than linking
// shell32 for CommandLineToArgvW: one pass counts, the next writes into one block.
#include "cmdline/cmdline.h"

static bool IsBlank(WCHAR unit) { return unit == u' ' || unit == u'\t'; }

WCHAR **CommandLineToArgv(const WCHAR *line, DWORD *count)
{
    if (!line || !count || !*line) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }

    // Counting pass: only where arguments begin matters, so two bits of quoting state do.
    DWORD arguments = 1;
    bool quoted = false, oddBackslash = false;
    const WCHAR *unit = line;
    while (*unit) {
        if (IsBlank(*unit) && !quoted) {
            oddBackslash = false;
            while (IsBlank(*unit))
                ++unit;
            if (*unit)
                ++arguments;
            continue;
        }
        if (*unit == u'\\')
            oddBackslash = !oddBackslash;
        else if (*unit == u'"' && !oddBackslash)
            quoted = !quoted;
        else
            oddBackslash = false;
        ++unit;
    }
    SIZE_T length = (SIZE_T)(unit - line);

    // Unescaping never lengthens a token and each boundary eats a blank, so length + 1 units
    // hold every argument and its terminator. No size that fits in memory can overflow the
    // sum below; the guard keeps a pathological one from wrapping it.
    if (length >= (SIZE_T)-1 / 16) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SIZE_T bytes = (arguments + 1) * sizeof(WCHAR *) + (length + 1) * sizeof(WCHAR);
    WCHAR **table = (WCHAR **)LocalAlloc(LMEM_ZEROINIT, bytes);
    if (!table)
        return nullptr;

    // Copying pass. Backslashes are copied as they come; a quote after a run of them takes
    // back half the run, so n backslashes before a quote leave n / 2.
    WCHAR *out = (WCHAR *)(table + arguments + 1);
    DWORD index = 0;
    DWORD backslashes = 0;
    quoted = false;
    table[0] = out;
    unit = line;
    while (*unit) {
        if (IsBlank(*unit) && !quoted) {
            backslashes = 0;
            *out++ = 0;
            while (IsBlank(*unit))
                ++unit;
            if (!*unit)
                break;
            table[++index] = out;
            continue;
        }
        if (*unit == u'"') {
            out -= (backslashes + 1) / 2;
            if (backslashes & 1)
                *out++ = u'"';
            else if (quoted && unit[1] == u'"')
                *out++ = *unit++;
            else
                quoted = !quoted;
            backslashes = 0;
        } else {
            backslashes = *unit == u'\\' ? backslashes + 1 : 0;
            *out++ = *unit;
        }
        ++unit;
    }
    *out = 0;
    table[++index] = nullptr;
    *count = index;
    SetLastError(quoted ? ERROR_BAD_ARGUMENTS : ERROR_SUCCESS);
    return table;
}
