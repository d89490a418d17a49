// libFuzzer target for CommandLineToArgv: each input becomes a command line for CheckSplit.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "tests/fuzz/check.h"

// Each input byte is one unit of the line, chosen so that random bytes mostly land on the
// units the quoting rules care about and the seed files stay readable text:
// - blank, backslash, quote and printable ASCII stand for themselves;
// - 0xFF takes the next two bytes as an arbitrary unit, low byte first (a zero unit ends the line);
// - any other byte picks from the quoting alphabet.
static const WCHAR ALPHABET[] = {u' ', u'\t', u'\\', u'"', u'a'};

static std::vector<WCHAR> Decode(const uint8_t *data, size_t size)
{
    std::vector<WCHAR> units;
    for (size_t at = 0; at < size; ++at) {
        uint8_t byte = data[at];
        if (byte == 0xFF && size - at > 2) {
            units.push_back((WCHAR)(data[at + 1] | data[at + 2] << 8));
            at += 2;
        } else if (byte == '\t' || (byte >= 0x20 && byte < 0x7F)) {
            units.push_back(byte);
        } else {
            units.push_back(ALPHABET[byte % (sizeof ALPHABET / sizeof ALPHABET[0])]);
        }
    }
    return units;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The model is only worth trusting once it agrees with the hand-worked lines.
    CheckRejects();
    int known = CheckKnownLines();
    fprintf(stderr, "cmdline_fuzz: reference model agrees with %d hand-worked lines\n", known);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<WCHAR> units = Decode(data, size);
    // A heap copy of exactly the line and its terminator, so a read past the end is caught.
    WCHAR *line = (WCHAR *)malloc((units.size() + 1) * sizeof(WCHAR));
    if (!units.empty())
        memcpy(line, units.data(), units.size() * sizeof(WCHAR));
    line[units.size()] = 0;
    CheckSplit(line);
    free(line);
    return 0;
}
