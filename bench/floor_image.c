// The floor under shortcase -i: reads every directory cluster of a FAT32 image once, following
// the root's chain and each subdirectory's through the FAT sectors they need, and does nothing
// else. Prints the number of entries it found.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int image;
static uint32_t clusters, cluster_bytes, sector, fat_start, cached = UINT32_MAX;
static uint32_t fat[4096 / 4];  // the FAT sector last read
static off_t data_start;

static unsigned get16(const unsigned char *p) { return p[0] | p[1] << 8; }

// The cluster after cluster in its chain, reading its FAT sector unless it is the last read;
// 0 where that read fails.
static uint32_t next(uint32_t cluster)
{
    uint32_t per = sector / 4, wanted = cluster / per;
    if (wanted != cached && pread(image, fat, sector, (off_t)(fat_start + wanted) * sector) !=
                                (ssize_t)sector)
        return 0;
    cached = wanted;
    return fat[cluster % per] & 0x0FFFFFFF;
}

// Counts the entries of the directory whose chain starts at cluster, and of all below it.
// Stops at the end marker, a cluster outside the volume, or a record 0x00.
static unsigned long walk(uint32_t cluster)
{
    unsigned char *buffer = malloc(cluster_bytes);
    unsigned long entries = 0;
    for (; buffer && cluster >= 2 && cluster < clusters + 2; cluster = next(cluster)) {
        if (pread(image, buffer, cluster_bytes,
                  data_start + (off_t)(cluster - 2) * cluster_bytes) != (ssize_t)cluster_bytes)
            break;
        for (uint32_t at = 0; at < cluster_bytes; at += 32) {
            const unsigned char *r = buffer + at;
            if (r[0] == 0)
                goto end;
            if (r[0] == 0xE5 || r[0] == '.' || r[11] == 0x0F || (r[11] & 0x08))
                continue;  // deleted, dot entries, long-name records, the volume label
            ++entries;
            if (r[11] & 0x10)
                entries += walk((uint32_t)get16(r + 20) << 16 | get16(r + 26));
        }
    }
end:
    free(buffer);
    return entries;
}

int main(int argc, char **argv)
{
    unsigned char boot[512];
    image = argc == 2 ? open(argv[1], O_RDONLY) : -1;
    if (image < 0 || pread(image, boot, sizeof boot, 0) != sizeof boot) {
        fprintf(stderr, "usage: floor_image IMAGE (a FAT32 volume at offset 0)\n");
        return 2;
    }
    sector = get16(boot + 11);
    fat_start = get16(boot + 14);
    uint32_t fat_sectors = *(uint32_t *)(boot + 36), total = *(uint32_t *)(boot + 32);
    if (sector < 512 || sector > sizeof fat || boot[13] == 0)
        return 1;
    cluster_bytes = sector * boot[13];
    data_start = (off_t)(fat_start + boot[16] * fat_sectors) * sector;
    clusters = (uint32_t)((total * (off_t)sector - data_start) / cluster_bytes);
    if (clusters + 2 > fat_sectors * (sector / 4))  // the FAT has no entry for the rest
        clusters = fat_sectors * (sector / 4) - 2;
    printf("%lu\n", walk(*(uint32_t *)(boot + 44)));
    return 0;
}
