// An independent model of how a command line splits into arguments, for checking the splitter.
#pragma once

#include <string>
#include <vector>

#include "win32/win32.h"

struct Split {
    std::vector<std::u16string> arguments;
    bool unterminated; // the line ended inside quotes
};

// Splits a non-empty NUL-terminated line in one left-to-right pass.
Split SplitReference(const WCHAR *line);
