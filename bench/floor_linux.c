// The floor under shortcase on Linux's FAT driver: lists a tree as the Linux layer lists it
// (each directory through VFAT_IOCTL_READDIR_BOTH, each entry's type through fstatat) and
// does nothing else. Prints the number of entries it found.
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static unsigned long walk(int directory)
{
    struct __fat_dirent both[2];
    unsigned long entries = 0;
    while (ioctl(directory, VFAT_IOCTL_READDIR_BOTH, both) > 0) {
        const char *name = both[1].d_name[0] ? both[1].d_name : both[0].d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        struct stat status;
        ++entries;
        if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(status.st_mode)) {
            int inner = openat(directory, name, O_RDONLY | O_DIRECTORY);
            if (inner >= 0) {
                entries += walk(inner);
                close(inner);
            }
        }
    }
    return entries;
}

int main(int argc, char **argv)
{
    int directory = argc == 2 ? open(argv[1], O_RDONLY | O_DIRECTORY) : -1;
    if (directory < 0) {
        fprintf(stderr, "usage: floor_linux DIRECTORY (on a FAT file system)\n");
        return 2;
    }
    printf("%lu\n", walk(directory));
    return 0;
}
