// The FAT format alone: boot sectors, partition tables, FAT chains, directory records, long
// names, OEM code pages and the in-place case-only rename, over bytes its user reads and writes.
#pragma once

#include <stdint.h>

#include "win32/win32.h"

// What the format reads from and writes to: the user's own record (a file descriptor, an image
// in memory). The format only passes it on to FatRead, FatWrite and FatFlush.
struct FatDevice;

// Defined by the user of the format, which does no I/O of its own: copy length bytes at offset
// of the device into bytes, or bytes onto the device at offset. Return 0, or the Win32 code of
// the failure (38, ERROR_HANDLE_EOF, where the device ends before them).
DWORD FatRead(FatDevice *device, uint64_t offset, void *bytes, uint32_t length);
DWORD FatWrite(FatDevice *device, uint64_t offset, const void *bytes, uint32_t length);
// And makes what was written so far durable on the device before anything written after it.
DWORD FatFlush(FatDevice *device);

enum : DWORD {
    ERROR_HANDLE_EOF = 38,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_UNRECOGNIZED_VOLUME = 1005,
    ERROR_FILE_CORRUPT = 1392,
};

// What a sector holds, as far as the format can tell.
enum FatKind : uint8_t { FatNothing, FatFat, FatExfat, FatNtfs, FatTable, FatDamaged };

// The bounds the format keeps to: a long name's units, a sector's and a cluster's bytes, a
// directory's records (2 MiB of them, the most any FAT driver writes), a partition table's
// entries it looks at.
enum : uint32_t {
    FatNameUnits = 255,
    FatMaxSector = 4096,
    FatMaxCluster = 65536,
    FatMaxRecords = 65536,
    FatMaxPartitions = 128,
    FatCacheSlots = 16,
};

// A volume's layout as its boot sector gives it, checked, in bytes from the image's start.
struct FatVolume {
    FatDevice *device;
    uint64_t base;          // the boot sector
    uint64_t fatOffset;     // the FAT in use
    uint64_t rootOffset;    // the fixed root of FAT12/16
    uint64_t dataOffset;    // cluster 2
    uint32_t sectorBytes;
    uint32_t clusterBytes;
    uint32_t clusters;      // data clusters that exist and that the FAT has entries for
    uint32_t rootRecords;   // FAT12/16; 0 on FAT32
    uint32_t rootCluster;   // FAT32
    uint8_t type;           // 12, 16 or 32
    bool dirty;             // not cleanly unmounted
    uint16_t codePage;      // 437 or 850
    // The FAT sectors read last, by sector number + 1 (0: empty slot).
    uint64_t cached[FatCacheSlots];
    uint8_t cache[FatCacheSlots][FatMaxSector];
};

// One entry of a directory as Windows lists it, and where its records lie.
struct FatEntry {
    WCHAR name[FatNameUnits + 1];   // the long name, else the 8.3 name in its shown case
    WCHAR shortName[13];            // the 8.3 name in upper case where a long name exists, else ""
    uint8_t raw[11];                // the 8.3 record's name bytes
    uint8_t attributes;
    uint32_t cluster;
    uint32_t size;
    uint64_t shortOffset;           // the 8.3 record
    uint64_t longOffset;            // the first long-name record, when longRecords > 0
    uint32_t longRecords;
};

// A directory being read, record by record, a cluster (or a cluster's worth of the fixed
// root) at a time into block, which the user provides with clusterBytes of room.
struct FatCursor {
    uint8_t *block;
    uint32_t first;         // the first cluster; 0 for the fixed root
    uint32_t cluster;       // the cluster in block
    uint64_t blockOffset;   // where block was read from
    uint32_t chunk;         // the fixed root's chunk in block
    uint32_t records;       // records in block
    uint32_t index;         // the next of them
    uint32_t read;          // records read so far
    // A chain that loops comes back to the cluster saved at each power of two of its steps.
    uint32_t saved, steps, power;
    bool ended;
    // The long-name chain read so far: the ordinal the next record must have, its checksum,
    // its records and where the first lies, and the name's units.
    uint8_t expected, checksum;
    uint32_t chainRecords;
    uint64_t chainOffset;
    WCHAR chain[20 * 13];
};

// Tells from the first 512 bytes at offset what they hold. A FAT boot sector counts only with
// a layout FatMount accepts; one with a FAT's jump and sector size and fields out of range is
// FatDamaged. Returns 0 or the device's error.
DWORD FatIdentify(FatDevice *device, uint64_t offset, FatKind *kind);

struct FatPartition {
    uint32_t number;        // as the table numbers it: the MBR's slot 1-4, the GPT's entry
    uint64_t offset;
    uint64_t bytes;
    FatKind kind;           // what its first sector holds
};

// Reads the MBR or GPT at the image's start into parts (FatMaxPartitions of room) and what
// each partition holds. A protective MBR leads to the GPT behind it (with 512- or 4096-byte
// sectors); an MBR's extended partitions are not followed. Empty entries are left out; one
// whose first sector cannot be read (past the device's end) holds FatNothing. Returns 0,
// ERROR_UNRECOGNIZED_VOLUME where there is no table, ERROR_FILE_CORRUPT for a GPT header out
// of range, or the device's error.
DWORD FatListPartitions(FatDevice *device, FatPartition *parts, uint32_t *count);

// Reads and checks the boot sector at offset and fills volume; names are decoded with the
// OEM code page (437 or 850, else ERROR_INVALID_PARAMETER). Every field is checked before
// it is used: a layout that does not fit together is ERROR_UNRECOGNIZED_VOLUME. Sets dirty
// from the boot sector's flag and, on FAT16/32, FAT[1]'s clean bit.
DWORD FatMount(FatDevice *device, uint64_t offset, uint16_t codePage, FatVolume *volume);

// Starts reading the root (directory null) or a directory whose entry was read from this
// volume, into block. ERROR_FILE_CORRUPT where the entry's cluster lies outside the volume.
DWORD FatOpenDirectory(FatVolume *volume, const FatEntry *directory, uint8_t *block,
                       FatCursor *cursor);

// Reads the next entry, the dot entries included, the volume label and deleted records left
// out. Returns 0, ERROR_NO_MORE_FILES at the record 0x00 or the directory's end, or an error:
// ERROR_FILE_CORRUPT for a chain that loops or leaves the volume or a directory past
// FatMaxRecords, after which the cursor gives nothing more.
DWORD FatNextEntry(FatVolume *volume, FatCursor *cursor, FatEntry *entry);

// Gives the entry the spelling of its short name in place: first clears the 8.3 record's case
// byte, then marks its long-name record deleted, writing the whole sectors that hold them (one
// write where they share a sector, none for a case byte already clear). Only for an entry of
// exactly one long-name record (ERROR_NOT_SUPPORTED otherwise). A sector that lies whole in
// the block of cursor (the listing that gave the entry, or null) is taken from there and
// changed there too, so that the block stays what the device holds; the run holds the image
// alone. Any other is read first. Either way the records must still be the ones listed
// (ERROR_FILE_CORRUPT otherwise).
DWORD FatRename(FatVolume *volume, FatCursor *cursor, const FatEntry *entry);
