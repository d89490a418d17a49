// The Linux start-up: what Windows does before it calls the entry routine. Builds the command
// line from argv and hands over to EntryPoint, which ends the process itself.
#include <locale.h>
#include <string.h>
#include <unistd.h>

#include "driver/driver.h"
#include "linux/linux.h"

#ifndef SHORTCASE_VERSION
#error "SHORTCASE_VERSION must name the version, as in the VERSION file"
#endif

int main(int argc, char **argv)
{
    // The case mapping of every letter, whatever locale the user has set.
    setlocale(LC_CTYPE, "C.UTF-8");

    static WCHAR line[LineUnits];
    // Linux programs answer --help and --version: the usage is the product's own "/?" text,
    // asked for on standard output.
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        static const char version[] = "shortcase " SHORTCASE_VERSION "\n";
        return write(1, version, sizeof version - 1) == sizeof version - 1 ? 0 : 1;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        char help[] = "/?";
        char *arguments[] = {argv[0], help};
        BuildCommandLine(2, arguments, line);
        SetProcess(line, 1);
        EntryPoint();
    }

    // A Windows command line holds at most 32,767 units; a longer one is refused, never cut,
    // as CreateProcess refuses it.
    if (!BuildCommandLine(argc, argv, line)) {
        static const char tooLong[] = "The command line exceeds 32,767 characters!\n";
        (void)!write(2, tooLong, sizeof tooLong - 1);
        return ExitStatus(ERROR_FILENAME_EXCED_RANGE);
    }
    SetProcess(line, 2);
    EntryPoint();
}
