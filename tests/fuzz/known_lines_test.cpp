// Pins the reference model to hand-worked lines and runs the splitter on them, fuzzer aside.
#include <stdio.h>

#include "tests/fuzz/check.h"

int main()
{
    CheckRejects();
    int known = CheckKnownLines();
    printf("known lines: %d checked, rejects checked\n", known);
    return 0;
}
