// The program's only output routine: every diagnostic goes through here to the console.
#include "driver/console.h"

BOOL PrintConsole(HANDLE console, const WCHAR *format, ...)
{
    // wvsprintfW writes at most 1,024 characters and a terminator; the spare unit leaves
    // room for a line feed when the limit cut the message's own one off.
    WCHAR text[1026];
    va_list args;
    va_start(args, format);
    int formatted = wvsprintfW(text, format, args);
    va_end(args);
    if (formatted <= 0)
        return FALSE;

    // Wine's wvsprintfW counts the terminator of a text it had to cut; write up to it only.
    DWORD units = 0;
    while (units < (DWORD)formatted && text[units])
        ++units;
    if (units == 0)
        return FALSE;
    if (text[units - 1] != u'\n')
        text[units++] = u'\n';
    DWORD written = 0;
    // Fails with ERROR_INVALID_HANDLE when standard error is a file or pipe; the text is lost.
    if (!WriteConsoleW(console, text, units, &written, nullptr))
        return FALSE;
    return written == units;
}
