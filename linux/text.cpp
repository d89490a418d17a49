// Text and codes between Linux and Win32: names as bytes and as UTF-16, the find patterns'
// matching, the errno to Win32 code table, the exit status, the command line and the options.
#include "linux/linux.h"

#include <errno.h>
#include <string.h>
#include <wctype.h>

static bool IsContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at bytes (at most available bytes), and its code point;
// 0 when the sequence is not valid: truncated, overlong, a surrogate, or above U+10FFFF.
static DWORD DecodeUtf8(const unsigned char *bytes, DWORD available, DWORD *point)
{
    unsigned char lead = bytes[0];
    DWORD length, minimum, value;
    if (lead < 0x80) {
        *point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, value = lead & 0x07;
    } else {
        return 0;
    }
    if (length > available)
        return 0;
    for (DWORD i = 1; i < length; ++i) {
        if (!IsContinuation(bytes[i]))
            return 0;
        value = value << 6 | (bytes[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *point = value;
    return length;
}

DWORD NameToUtf16(const char *bytes, DWORD length, WCHAR *text, DWORD size)
{
    const unsigned char *in = (const unsigned char *)bytes;
    DWORD units = 0;
    for (DWORD i = 0; i < length;) {
        DWORD point;
        DWORD taken = DecodeUtf8(in + i, length - i, &point);
        if (taken == 0 || point == u'\\') {
            point = 0xDC00 + in[i]; // a byte that is no text of its own
            taken = 1;
        }
        DWORD needed = point > 0xFFFF ? 2 : 1;
        if (units + needed > size)
            return size + 1;
        if (needed == 2) {
            text[units++] = (WCHAR)(0xD800 + ((point - 0x10000) >> 10));
            text[units++] = (WCHAR)(0xDC00 + (point & 0x3FF));
        } else {
            text[units++] = (WCHAR)point;
        }
        i += taken;
    }
    text[units] = 0;
    return units;
}

DWORD PathToBytes(const WCHAR *text, DWORD length, char *bytes, DWORD size)
{
    DWORD out = 0;
    for (DWORD i = 0; i < length; ++i) {
        DWORD point = text[i];
        unsigned char encoded[4];
        DWORD count;
        if (point >= 0xD800 && point <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (point >= 0xDC00 && point <= 0xDCFF) {
            encoded[0] = (unsigned char)(point - 0xDC00);
            point = 0x110000; // already encoded: the byte it stands for
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            return size + 1;
        } else if (point == u'\\') {
            point = u'/';
        }
        if (point == 0x110000) {
            count = 1;
        } else if (point < 0x80) {
            encoded[0] = (unsigned char)point, count = 1;
        } else if (point < 0x800) {
            encoded[0] = (unsigned char)(0xC0 | point >> 6), count = 2;
        } else if (point < 0x10000) {
            encoded[0] = (unsigned char)(0xE0 | point >> 12), count = 3;
        } else {
            encoded[0] = (unsigned char)(0xF0 | point >> 18), count = 4;
        }
        for (DWORD k = 1; k < count; ++k)
            encoded[k] = (unsigned char)(0x80 | (point >> (6 * (count - 1 - k)) & 0x3F));
        if (out + count > size)
            return size + 1;
        for (DWORD k = 0; k < count; ++k)
            bytes[out++] = (char)encoded[k];
    }
    bytes[out] = 0;
    return out;
}

bool SameName(const WCHAR *a, const WCHAR *b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

bool HasWildcards(const WCHAR *text, DWORD length)
{
    for (DWORD i = 0; i < length; ++i)
        if (text[i] == u'*' || text[i] == u'?')
            return true;
    return false;
}

WCHAR FoldCase(WCHAR unit)
{
    if (unit < 0x80) // most names are ASCII, which needs no table
        return unit >= u'a' && unit <= u'z' ? (WCHAR)(unit - 32) : unit;
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return unit; // half of a pair, or a byte that is no text: no case
    wint_t upper = towupper(unit);
    return upper <= 0xFFFF ? (WCHAR)upper : unit;
}

// The DOS wildcards that FindFirstFile turns some '*', '?' and '.' into before matching.
enum : WCHAR { DosStar = u'<', DosQuestion = u'>', DosDot = u'"' };

bool MatchesPattern(const WCHAR *pattern, DWORD patternLength, const WCHAR *name,
                    DWORD nameLength)
{
    // The positions in name that the pattern read so far can reach, one bit each: a name has
    // at most 255 units on Linux, and a longer one fits no find record anyway.
    enum : DWORD { MaxName = 256, Words = (MaxName + 1 + 63) / 64 };
    if (nameLength >= MaxName)
        return false;
    if (patternLength == 1 && pattern[0] == u'*')
        return true; // the walk's own pattern: every name, at no cost a name
    unsigned long long reach[Words] = {1}, next[Words];
    DWORD lastDot = nameLength;
    for (DWORD i = 0; i < nameLength; ++i)
        if (name[i] == u'.')
            lastDot = i;

    for (DWORD p = 0; p < patternLength; ++p) {
        WCHAR c = pattern[p];
        WCHAR after = p + 1 < patternLength ? pattern[p + 1] : 0;
        // "*." ends a run the way a name's last dot does; ".*", ".?" and a final "." may
        // also match the end of a name without a dot; "?" stops at a dot or the end.
        if (c == u'?')
            c = DosQuestion;
        else if (c == u'.' && (after == u'?' || after == u'*' || after == 0))
            c = DosDot;
        else if (c == u'*' && after == u'.')
            c = DosStar;

        for (DWORD w = 0; w < Words; ++w)
            next[w] = 0;
        bool any = false;
        for (DWORD j = 0; j <= nameLength; ++j) {
            if (!(reach[j / 64] >> (j % 64) & 1))
                continue;
            any = true;
            DWORD from = j, to = j; // reachable next: [from, to]
            if (c == u'*') {
                to = nameLength;
            } else if (c == DosStar) {
                // Any run that does not take the name's last dot.
                to = j <= lastDot && lastDot < nameLength ? lastDot : nameLength;
            } else if (c == DosQuestion) {
                if (j < nameLength && name[j] != u'.')
                    from = to = j + 1;
            } else if (c == DosDot) {
                if (j < nameLength && name[j] == u'.')
                    from = to = j + 1;
                else if (j < nameLength)
                    continue;
            } else if (j < nameLength && FoldCase(name[j]) == FoldCase(c)) {
                from = to = j + 1;
            } else {
                continue;
            }
            for (DWORD k = from; k <= to; ++k)
                next[k / 64] |= 1ull << (k % 64);
        }
        if (!any)
            return false;
        for (DWORD w = 0; w < Words; ++w)
            reach[w] = next[w];
    }
    return reach[nameLength / 64] >> (nameLength % 64) & 1;
}

DWORD ErrorFromErrno(int errnum)
{
    switch (errnum) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE: case ENFILE: return 4;          // ERROR_TOO_MANY_OPEN_FILES
    case EACCES: case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV: return 17;                       // ERROR_NOT_SAME_DEVICE
    case EROFS: return 19;                       // ERROR_WRITE_PROTECT
    case ENOMEDIUM: return 21;                   // ERROR_NOT_READY
    case ETXTBSY: case EAGAIN: return ERROR_SHARING_VIOLATION;
    case ENOTSUP: case ENOTTY: return 50;        // ERROR_NOT_SUPPORTED
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return 112;                     // ERROR_DISK_FULL
    case EILSEQ: return 123;                     // ERROR_INVALID_NAME
    case ENOTEMPTY: return 145;                  // ERROR_DIR_NOT_EMPTY
    case EBUSY: return 170;                      // ERROR_BUSY
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EPIPE: return 232;                      // ERROR_NO_DATA: the pipe is being closed
    case EIO: return 1117;                       // ERROR_IO_DEVICE
    case EDQUOT: return 1295;                    // ERROR_DISK_QUOTA_EXCEEDED
    case ELOOP: return 1921;                     // ERROR_CANT_RESOLVE_FILENAME
    default: return 31;                          // ERROR_GEN_FAILURE, as Wine gives
    }
}

int ExitStatus(DWORD code)
{
    return code <= 255 ? (int)code : 255;
}

bool BuildCommandLine(int argc, char **argv, WCHAR *line)
{
    // No backslash reaches the line (names carry theirs as U+DC5C), so the quoting is plain:
    // an argument with a blank or a quote, or an empty one, goes in quotes, and a quote in it
    // is escaped with a backslash.
    WCHAR name[LineUnits];
    DWORD out = 0;
    for (int a = 0; a < argc; ++a) {
        DWORD bytes = 0;
        while (argv[a][bytes])
            ++bytes;
        DWORD units = NameToUtf16(argv[a], bytes, name, LineUnits - 1);
        if (units >= LineUnits)
            return false;
        DWORD quotes = 0;
        bool blank = units == 0;
        for (DWORD i = 0; i < units; ++i) {
            // A colon would read as a drive letter's; on Linux it is part of a name.
            if (name[i] == u':')
                name[i] = 0xDC00 + u':';
            quotes += name[i] == u'"';
            blank = blank || name[i] == u' ' || name[i] == u'\t';
        }
        bool quote = blank || quotes;
        if (out + (a ? 1 : 0) + units + (quote ? 2 + quotes : 0) >= LineUnits)
            return false;
        if (a)
            line[out++] = u' ';
        if (quote)
            line[out++] = u'"';
        for (DWORD i = 0; i < units; ++i) {
            if (name[i] == u'"')
                line[out++] = u'\\';
            line[out++] = name[i];
        }
        if (quote)
            line[out++] = u'"';
    }
    line[out] = 0;
    return true;
}

int ParseOptions(int argc, char **argv, bool permute, unsigned *options, const char **unknown)
{
    static const struct { const char *name; unsigned option; } longOptions[] = {
        {"dry-run", OptionDryRun}, {"verbose", OptionVerbose}, {"help", OptionHelp},
        {"version", OptionVersion}};
    *options = 0;
    // The NAMEs gather at the front as they come, in their order, over the options already
    // read; at the end they move behind the options' place.
    int names = 1, a = 1;
    for (; a < argc && !(*options & (OptionHelp | OptionVersion)); ++a) {
        const char *text = argv[a];
        if (text[0] != '-' || !text[1]) {
            if (!permute)
                break; // POSIXLY_CORRECT: the first NAME ends the options
            argv[names++] = argv[a];
            continue;
        }
        *unknown = text;
        if (text[1] == '-') {
            if (!text[2]) {
                ++a; // "--": what follows are NAMEs, whatever they look like
                break;
            }
            size_t length = strlen(text + 2);
            unsigned found = 0, matches = 0;
            for (const auto &option : longOptions) {
                if (strncmp(option.name, text + 2, length) == 0)
                    found = option.option, ++matches;
            }
            if (matches != 1)
                return matches ? -1 : 0;
            *options |= found;
            continue;
        }
        for (const char *letter = text + 1; *letter; ++letter) {
            if (*letter == 'n')
                *options |= OptionDryRun;
            else if (*letter == 'v')
                *options |= OptionVerbose;
            else
                return 0;
        }
    }
    while (a < argc)
        argv[names++] = argv[a++];
    // argv[1] up to names holds the NAMEs; the first of them then stands at argc - count.
    int count = names - 1;
    memmove(argv + argc - count, argv + 1, count * sizeof *argv);
    return argc - count;
}
