// The Linux start-up: what Windows does before it calls the entry routine, and the options a
// Linux user gives. Builds the command line from the NAMEs and hands over to EntryPoint, which
// ends the process itself.
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "driver/driver.h"
#include "linux/linux.h"

#ifndef SHORTCASE_VERSION
#error "SHORTCASE_VERSION must name the version, as in the VERSION file"
#endif

static const char Usage[] = "Usage: shortcase [OPTION]... NAME [NAME ...]\n";

static const char Help[] =
    "Renames each file or directory that NAME matches, and every entry below it, to its 8.3 "
    "short name where the two differ only in case.\n"
    "\n"
    "  -n, --dry-run  print each rename that would be made, and rename nothing\n"
    "  -v, --verbose  print each rename once it is made\n"
    "      --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "\n"
    "Options may follow NAMEs; -- ends them (with POSIXLY_CORRECT set, so does the first\n"
    "NAME). The manual: man shortcase\n";

static const char Version[] = "shortcase " SHORTCASE_VERSION "\n";

// What was asked for on standard output, and the status: 0, or the code of the failed write.
static int Print(const char *first, const char *second)
{
    bool written = WriteAll(1, first, strlen(first)) && WriteAll(1, second, strlen(second));
    return written ? 0 : ExitStatus(GetLastError());
}

int main(int argc, char **argv)
{
    // The case mapping of every letter, whatever locale the user has set.
    setlocale(LC_CTYPE, "C.UTF-8");
    // A reader that goes away (| head) costs the list, never the renames: the write fails
    // with EPIPE, which is reported once, and the run goes on.
    signal(SIGPIPE, SIG_IGN);

    unsigned options;
    const char *unknown;
    int first = ParseOptions(argc, argv, !getenv("POSIXLY_CORRECT"), &options, &unknown);
    if (first <= 0) {
        dprintf(2, first ? "shortcase: option '%s' is ambiguous\n" // --ver: --verbose, --version
                         : "shortcase: unknown option '%s'\n", unknown);
        dprintf(2, "%sTry 'shortcase --help' for more information.\n", Usage);
        return ExitStatus(ERROR_BAD_ARGUMENTS);
    }
    if (options & OptionVersion)
        return Print(Version, "");
    if (options & OptionHelp)
        return Print(Usage, Help);

    // The product reads the program's name and then the NAMEs alone. A Windows command line
    // holds at most 32,767 units; a longer one is refused, never cut, as CreateProcess
    // refuses it.
    static WCHAR line[LineUnits];
    argv[first - 1] = argv[0];
    if (!BuildCommandLine(argc - first + 1, argv + first - 1, line)) {
        static const char tooLong[] = "The command line exceeds 32,767 characters!\n";
        (void)!WriteAll(2, tooLong, sizeof tooLong - 1);
        return ExitStatus(ERROR_FILENAME_EXCED_RANGE);
    }
    SetProcess(line, 2, options);
    SetNames(argv + first, argc - first);
    EntryPoint();
}
