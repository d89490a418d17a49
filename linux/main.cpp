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
    "  -n, --dry-run        print each rename that would be made, and rename nothing\n"
    "  -v, --verbose        print each rename once it is made\n"
    "  -i, --image=IMAGE    treat the FAT volume in IMAGE, a file or an unmounted\n"
    "                       device, in place, keeping every entry's place; NAMEs are\n"
    "                       then paths from its root: shortcase -i card.img /\n"
    "                       (FILE@@OFFSET: the volume at OFFSET bytes, or with S, K, M)\n"
    "      --partition=N    the Nth partition of IMAGE's table, where it holds several\n"
    "      --codepage=N     the code page of short names: 437 (default) or 850\n"
    "      --help           print this help and exit\n"
    "      --version        print the version and exit\n"
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

// The image options, -i IMAGE (also -iIMAGE), --image, --partition and --codepage (as
// --NAME=VALUE or --NAME VALUE, or an unambiguous start of NAME), taken out of argv up to
// "--" (or, unless permute, the first NAME), before the other options are read. Returns 0,
// or the status of a refusal it has reported.
static int TakeImageOptions(int *argc, char **argv, bool permute, const char **image,
                            unsigned *partition, unsigned *codePage)
{
    static const char *const names[] = {"image", "partition", "codepage"};
    int kept = 1;
    for (int a = 1; a < *argc; ++a) {
        const char *text = argv[a], *value = nullptr;
        int which = -1;
        if (strcmp(text, "--") == 0 || (!permute && (text[0] != '-' || !text[1]))) {
            while (a < *argc)
                argv[kept++] = argv[a++];
            break;
        }
        size_t letters = text[0] == '-' && text[1] != '-' ? strspn(text + 1, "nv") : 0;
        if (text[0] == '-' && text[1] != '-' && text[1 + letters] == 'i') {
            // -i, -iIMAGE, and after other letters: -ni IMAGE keeps -n for what follows.
            which = 0, value = text[2 + letters] ? text + 2 + letters : nullptr;
            if (letters)
                argv[kept++] = argv[a], argv[a][1 + letters] = 0;
        } else if (text[0] == '-' && text[1] == '-' && text[2]) {
            size_t length = strcspn(text + 2, "=");
            for (int n = 0; n < 3 && length; ++n)
                if (strncmp(names[n], text + 2, length) == 0 && length <= strlen(names[n]))
                    which = n;
            if (which >= 0 && text[2 + length] == '=')
                value = text + 3 + length;
        }
        if (which < 0) {
            argv[kept++] = argv[a];
            continue;
        }
        if (!value && ++a == *argc) {
            dprintf(2, "shortcase: option '%s' needs a value\n%sTry 'shortcase --help' for more "
                       "information.\n", text, Usage);
            return ExitStatus(ERROR_BAD_ARGUMENTS);
        }
        value = value ? value : argv[a];
        char *end;
        unsigned long number = which ? strtoul(value, &end, 10) : 0;
        if (which == 0) {
            *image = value;
        } else if (*end || !*value || number == 0 || number > 65535 ||
                   (which == 2 && number != 437 && number != 850)) {
            dprintf(2, which == 1 ? "shortcase: no partition '%s': give its number, from 1\n"
                                  : "shortcase: code page '%s' is not supported: 437 or 850\n",
                    value);
            return ExitStatus(ERROR_BAD_ARGUMENTS);
        } else {
            *(which == 1 ? partition : codePage) = (unsigned)number;
        }
    }
    *argc = kept;
    if (!*image && (*partition || *codePage != 437)) {
        dprintf(2, "shortcase: --partition and --codepage are for an IMAGE given with -i\n");
        return ExitStatus(ERROR_BAD_ARGUMENTS);
    }
    return 0;
}

int main(int argc, char **argv)
{
    // The case mapping of every letter, whatever locale the user has set.
    setlocale(LC_CTYPE, "C.UTF-8");
    // A reader that goes away (| head) costs the list, never the renames: the write fails
    // with EPIPE, which is reported once, and the run goes on.
    signal(SIGPIPE, SIG_IGN);

    const char *image = nullptr;
    unsigned partition = 0, codePage = 437;
    bool permute = !getenv("POSIXLY_CORRECT");
    if (int refused = TakeImageOptions(&argc, argv, permute, &image, &partition, &codePage))
        return refused;
    unsigned options;
    const char *unknown;
    int first = ParseOptions(argc, argv, permute, &options, &unknown);
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
    if (image) {
        if (DWORD refused = OpenImage(image, partition, codePage))
            return ExitStatus(refused);
    }
    EntryPoint();
}
