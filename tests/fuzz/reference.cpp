// One-pass tokenizer for command lines, sharing no loop with the splitter it checks.
#include "tests/fuzz/reference.h"

static bool IsBlank(WCHAR unit) { return unit == u' ' || unit == u'\t'; }

// Looks ahead over each backslash run and emits only what stays, instead of copying the run
// and taking half of it back at a quote.
Split SplitReference(const WCHAR *line)
{
    Split split{{}, false};
    std::u16string argument; // the first argument starts at the first unit, blank or not
    bool quoted = false;
    size_t at = 0;
    for (;;) {
        WCHAR unit = line[at];
        if (!unit) {
            split.arguments.push_back(argument);
            break;
        }
        if (IsBlank(unit) && !quoted) {
            split.arguments.push_back(argument);
            argument.clear();
            while (IsBlank(line[at]))
                ++at;
            if (!line[at])
                break; // trailing blanks end the last argument and start no new one
            continue;
        }
        if (unit == u'\\') {
            size_t run = 0;
            while (line[at + run] == u'\\')
                ++run;
            at += run;
            if (line[at] != u'"') {
                argument.append(run, u'\\'); // not before a quote: literal, all of them
                continue;
            }
            argument.append(run / 2, u'\\');
            if (run % 2) {
                argument += u'"'; // the odd backslash escapes the quote
                ++at;
            }
            // An even run leaves the quote to act as an ordinary quote below.
            continue;
        }
        if (unit == u'"') {
            if (quoted && line[at + 1] == u'"') {
                argument += u'"'; // a doubled quote inside quotes is one literal quote
                at += 2;
            } else {
                quoted = !quoted;
                ++at;
            }
            continue;
        }
        argument += unit;
        ++at;
    }
    split.unterminated = quoted;
    return split;
}
