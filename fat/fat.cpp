// The FAT format's on-disk rules, in one place: every offset and flag is named once in the
// table below, with the value the disk holds; the functions reach the device through FatRead,
// FatWrite and FatFlush alone, and check every count and cluster number the disk gives before
// using it.
#include "fat/fat.h"

#include <string.h>

// --- The format, as the disk holds it.
enum : uint32_t {
    // Boot sector (BPB): the fields every FAT volume has.
    BS_JmpBoot = 0,         // JumpShort xx 0x90 or JumpNear xx xx
    JumpShort = 0xEB,
    JumpNear = 0xE9,
    BS_FilSysType = 3,      // exFAT and NTFS put their names here (below)
    BPB_BytsPerSec = 11,    // 512, 1024, 2048 or 4096
    BPB_SecPerClus = 13,    // a power of two, 1 to 128
    BPB_RsvdSecCnt = 14,    // sectors before the first FAT, at least 1
    BPB_NumFATs = 16,
    BPB_RootEntCnt = 17,    // records of the fixed root; 0 on FAT32
    BPB_TotSec16 = 19,
    BPB_Media = 21,         // MediaFloppy, or MediaFixed to 0xFF
    MediaFloppy = 0xF0,
    MediaFixed = 0xF8,
    BPB_FATSz16 = 22,       // 0 on FAT32
    BPB_TotSec32 = 32,
    BPB_FATSz32 = 36,       // FAT32; at 36 and on, FAT12/16 hold other fields
    BS_Flags16 = 37,        // FAT12/16: DirtyFlag set while mounted, and after an unclean unmount
    BPB_ExtFlags = 40,      // FAT32: with OneFat set, the FAT numbered in ActiveFat alone is in use
    OneFat = 0x80,
    ActiveFat = 0x0F,
    BPB_RootClus = 44,
    BS_Flags32 = 65,        // FAT32: the same flag
    BS_Sign = 510,          // Signature, also on an MBR
    Signature = 0xAA55,
    DirtyFlag = 0x01,
    Clean16 = 0x8000,       // FAT[1]: set when cleanly unmounted
    Clean32 = 0x08000000,

    // The FAT: what decides the type, what an entry holds.
    MinFat16 = 4085,        // clusters; fewer on FAT12
    MinFat32 = 65525,       // clusters; fewer on FAT16, though a FAT32 BPB may hold fewer
    MaxFat32 = 0x0FFFFFF5,  // clusters and more cannot be numbered
    Fat32Mask = 0x0FFFFFFF, // the top four bits of a FAT32 entry are not its
    Fat12Mask = 0xFFF,
    End12 = 0xFF8,          // an entry from here up ends a chain (the rest: free, bad, a cluster)
    End16 = 0xFFF8,
    End32 = 0x0FFFFFF8,

    // Master boot record: four partition entries.
    MBR_Table = 446,
    PTE_Size = 16,
    PTE_Boot = 0,           // 0, or Bootable
    Bootable = 0x80,
    PTE_System = 4,         // 0 empty, Protective, or an extended partition (below)
    Protective = 0xEE,      // a GPT lies behind it
    ExtendedChs = 0x05,
    ExtendedLba = 0x0F,
    ExtendedLinux = 0x85,
    PTE_StartLba = 8,
    PTE_SizeLba = 12,
    MbrSector = 512,

    // GUID partition table: the header at LBA 1, then the entries.
    GPTH_Sign = 0,          // GptSign
    GPTH_PtOfs = 72,        // LBA of the entries
    GPTH_PtNum = 80,
    GPTH_PteSize = 84,
    GPTE_PtGuid = 0,        // all zero: unused
    GPTE_FstLba = 32,
    GPTE_LstLba = 40,
    GptMaxEntries = 4096,

    // Directory record (8.3).
    SZDIRE = 32,
    DIR_Name = 0,           // 11 bytes, space padded, OEM code page
    DIR_Attr = 11,
    DIR_NTres = 12,         // case bits
    DIR_FstClusHI = 20,     // FAT32 only
    DIR_FstClusLO = 26,
    DIR_FileSize = 28,
    DDEM = 0xE5,            // DIR_Name[0]: deleted
    RDDEM = 0x05,           // DIR_Name[0]: stands for a first byte 0xE5
    EndOfDirectory = 0x00,  // DIR_Name[0]: nothing follows
    AM_VOL = 0x08,          // the volume label (where not a long-name record)
    AM_DIR = 0x10,
    AM_MASK = 0x3F,
    AM_LFN = 0x0F,          // attributes & AM_MASK of a long-name record
    NS_BODY = 0x08,         // DIR_NTres: base shown in lower case
    NS_EXT = 0x10,          // DIR_NTres: extension shown in lower case

    // Long-name record.
    LDIR_Ord = 0,           // 1..20; LLEF on the physically first
    LDIR_Attr = 11,
    LDIR_Type = 12,         // 0
    LDIR_Chksum = 13,
    LDIR_FstClusLO = 26,    // 0
    LLEF = 0x40,
    LfnUnits = 13,
    MaxLfnRecords = 20,
};

static const char ExfatName[] = "EXFAT   ", NtfsName[] = "NTFS    ", GptSign[] = "EFI PART";

// Where a long-name record keeps its 13 UCS-2 units.
static const uint8_t LfnUnitOffsets[LfnUnits] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// OEM code pages 437 and 850 from 0x80 up; below, both are ASCII.
static const WCHAR Cp437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};
static const WCHAR Cp850[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

static uint32_t Le16(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}

static uint32_t Le32(const uint8_t *p)
{
    return Le16(p) | Le16(p + 2) << 16;
}

static uint64_t Le64(const uint8_t *p)
{
    return Le32(p) | (uint64_t)Le32(p + 4) << 32;
}

// The checksum of an 8.3 name that each of its long-name records carries.
static uint8_t Checksum(const uint8_t *name)
{
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = (uint8_t)(((sum & 1) << 7 | sum >> 1) + name[i]);
    return sum;
}

// Fills the volume's layout from a boot sector (512 bytes) at base, trusting nothing: false
// where a field is out of range or the areas do not fit in the volume. The root cluster is
// checked when the root is opened, so that a bad one is a listing error.
static bool ParseBoot(const uint8_t *boot, uint64_t base, FatVolume *v)
{
    uint32_t sectorBytes = Le16(boot + BPB_BytsPerSec), perCluster = boot[BPB_SecPerClus];
    uint32_t reserved = Le16(boot + BPB_RsvdSecCnt), fats = boot[BPB_NumFATs];
    uint32_t rootRecords = Le16(boot + BPB_RootEntCnt), media = boot[BPB_Media];
    uint32_t fatSize16 = Le16(boot + BPB_FATSz16);
    uint32_t fatSectors = fatSize16 ? fatSize16 : Le32(boot + BPB_FATSz32);
    uint32_t total = Le16(boot + BPB_TotSec16) ? Le16(boot + BPB_TotSec16)
                                              : Le32(boot + BPB_TotSec32);
    if ((boot[BS_JmpBoot] != JumpShort && boot[BS_JmpBoot] != JumpNear) ||
        (sectorBytes & (sectorBytes - 1)) || sectorBytes < 512 || sectorBytes > FatMaxSector ||
        !perCluster || (perCluster & (perCluster - 1)) ||
        sectorBytes * perCluster > FatMaxCluster || !reserved || !fats || !fatSectors ||
        (media != MediaFloppy && media < MediaFixed))
        return false;
    uint64_t rootSectors = ((uint64_t)rootRecords * SZDIRE + sectorBytes - 1) / sectorBytes;
    uint64_t dataStart = reserved + (uint64_t)fats * fatSectors + rootSectors;
    if (dataStart >= total)
        return false;
    uint64_t clusters = (total - dataStart) / perCluster;
    // A FAT32 BPB has no fixed root and its FAT size in the long field, whatever its cluster
    // count (mkfs.fat makes small FAT32 volumes, and Linux and fsck.fat read them so); the
    // others count their clusters.
    uint8_t type = fatSize16 == 0 ? 32 : clusters < MinFat16 ? 12 : 16;
    if ((type == 32) != (rootRecords == 0) || (type == 16 && clusters >= MinFat32))
        return false;
    uint64_t entries = (uint64_t)fatSectors * sectorBytes * 8 / type; // 128 at least
    if (clusters > entries - 2)
        clusters = entries - 2; // the clusters past the FAT's end cannot be reached
    if (clusters > MaxFat32 - 2)
        clusters = MaxFat32 - 2;
    v->base = base;
    v->sectorBytes = sectorBytes;
    v->clusterBytes = sectorBytes * perCluster;
    v->fatOffset = base + (uint64_t)reserved * sectorBytes;
    v->rootOffset = v->fatOffset + (uint64_t)fats * fatSectors * sectorBytes;
    uint32_t active = boot[BPB_ExtFlags] & ActiveFat;
    if (type == 32 && (boot[BPB_ExtFlags] & OneFat)) {
        if (active >= fats)
            return false;
        v->fatOffset += (uint64_t)active * fatSectors * sectorBytes;
    }
    v->dataOffset = base + dataStart * sectorBytes;
    v->clusters = (uint32_t)clusters;
    v->rootRecords = rootRecords;
    v->rootCluster = type == 32 ? Le32(boot + BPB_RootClus) : 0;
    v->type = type;
    v->dirty = boot[type == 32 ? BS_Flags32 : BS_Flags16] & DirtyFlag;
    return true;
}

DWORD FatIdentify(FatDevice *device, uint64_t offset, FatKind *kind)
{
    uint8_t sector[512];
    DWORD error = FatRead(device, offset, sector, sizeof sector);
    if (error)
        return error;
    FatVolume layout;
    // A partition table: four entries that each start 0 or Bootable, one of them used.
    bool table = Le16(sector + BS_Sign) == Signature, used = false;
    for (uint32_t i = 0; i < 4 && table; ++i) {
        const uint8_t *slot = sector + MBR_Table + i * PTE_Size;
        table = slot[PTE_Boot] == 0 || slot[PTE_Boot] == Bootable;
        used = used || (slot[PTE_System] && Le32(slot + PTE_StartLba) && Le32(slot + PTE_SizeLba));
    }
    uint32_t sectorBytes = Le16(sector + BPB_BytsPerSec);
    bool jump = sector[BS_JmpBoot] == JumpShort || sector[BS_JmpBoot] == JumpNear;
    if (memcmp(sector + BS_FilSysType, ExfatName, 8) == 0)
        *kind = FatExfat;
    else if (memcmp(sector + BS_FilSysType, NtfsName, 8) == 0)
        *kind = FatNtfs;
    else if (ParseBoot(sector, offset, &layout))
        *kind = FatFat;
    else if (table && used)
        *kind = FatTable;
    else
        *kind = jump && sectorBytes >= 512 && sectorBytes <= FatMaxSector &&
                !(sectorBytes & (sectorBytes - 1)) ? FatDamaged : FatNothing;
    return 0;
}

// Adds a partition of bytes at offset as number, with what it holds.
static void AddPartition(FatDevice *device, uint32_t number, uint64_t offset, uint64_t bytes,
                         FatPartition *parts, uint32_t *count)
{
    if (*count == FatMaxPartitions)
        return;
    FatPartition *part = &parts[(*count)++];
    part->number = number;
    part->offset = offset;
    part->bytes = bytes;
    if (FatIdentify(device, offset, &part->kind) != 0)
        part->kind = FatNothing; // past the device's end: it holds nothing to treat
}

// Reads the GPT whose header lies at LBA 1 of sectorBytes; false where there is none.
static DWORD ReadGpt(FatDevice *device, uint32_t sectorBytes, FatPartition *parts,
                     uint32_t *count, bool *found)
{
    uint8_t header[92], entry[48];
    DWORD error = FatRead(device, sectorBytes, header, sizeof header);
    *found = !error && memcmp(header + GPTH_Sign, GptSign, 8) == 0;
    if (!*found)
        return error == ERROR_HANDLE_EOF ? 0 : error;
    uint64_t table = Le64(header + GPTH_PtOfs);
    uint32_t entries = Le32(header + GPTH_PtNum), size = Le32(header + GPTH_PteSize);
    if (size < 128 || size > FatMaxSector || table > UINT64_MAX / FatMaxSector / 2)
        return ERROR_FILE_CORRUPT;
    for (uint32_t i = 0; i < entries && i < GptMaxEntries; ++i) {
        error = FatRead(device, table * sectorBytes + (uint64_t)i * size, entry, sizeof entry);
        if (error)
            return error;
        static const uint8_t unused[16] = {};
        uint64_t first = Le64(entry + GPTE_FstLba), last = Le64(entry + GPTE_LstLba);
        if (memcmp(entry + GPTE_PtGuid, unused, 16) == 0 || last < first ||
            last >= UINT64_MAX / FatMaxSector)
            continue;
        AddPartition(device, i + 1, first * sectorBytes, (last - first + 1) * sectorBytes, parts,
                     count);
    }
    return 0;
}

DWORD FatListPartitions(FatDevice *device, FatPartition *parts, uint32_t *count)
{
    uint8_t mbr[512];
    *count = 0;
    FatKind kind;
    DWORD error = FatIdentify(device, 0, &kind);
    if (!error)
        error = FatRead(device, 0, mbr, sizeof mbr);
    if (error)
        return error;
    if (kind != FatTable)
        return ERROR_UNRECOGNIZED_VOLUME;
    for (uint32_t i = 0; i < 4; ++i) {
        if (mbr[MBR_Table + i * PTE_Size + PTE_System] != Protective)
            continue;
        // A protective MBR: the partitions are in the GPT behind it.
        bool found = false;
        for (uint32_t sectorBytes = 512; sectorBytes <= FatMaxSector && !found; sectorBytes *= 8)
            if ((error = ReadGpt(device, sectorBytes, parts, count, &found)) != 0)
                return error;
        return found ? 0 : ERROR_UNRECOGNIZED_VOLUME;
    }
    for (uint32_t i = 0; i < 4; ++i) {
        const uint8_t *slot = mbr + MBR_Table + i * PTE_Size;
        uint8_t system = slot[PTE_System];
        uint32_t start = Le32(slot + PTE_StartLba), sectors = Le32(slot + PTE_SizeLba);
        if (system == 0 || system == ExtendedChs || system == ExtendedLba ||
            system == ExtendedLinux || !start || !sectors)
            continue;
        AddPartition(device, i + 1, (uint64_t)start * MbrSector, (uint64_t)sectors * MbrSector,
                     parts, count);
    }
    return 0;
}

// Reads a byte of the FAT in use, through the volume's cache of FAT sectors.
static DWORD FatByte(FatVolume *v, uint64_t at, uint8_t *byte)
{
    uint64_t sector = (at - v->base) / v->sectorBytes;
    uint32_t slot = (uint32_t)(sector % FatCacheSlots);
    if (v->cached[slot] != sector + 1) {
        v->cached[slot] = 0;
        DWORD error = FatRead(v->device, v->base + sector * v->sectorBytes, v->cache[slot],
                              v->sectorBytes);
        if (error)
            return error;
        v->cached[slot] = sector + 1;
    }
    *byte = v->cache[slot][(at - v->base) % v->sectorBytes];
    return 0;
}

// The FAT's entry for cluster (which the caller has checked lies within the FAT).
static DWORD FatValue(FatVolume *v, uint32_t cluster, uint32_t *value)
{
    uint64_t at = v->fatOffset + (v->type == 12 ? cluster + cluster / 2
                                                : (uint64_t)cluster * (v->type / 8));
    uint8_t bytes[4] = {};
    for (uint32_t i = 0; i < (v->type == 32 ? 4u : 2u); ++i) {
        DWORD error = FatByte(v, at + i, &bytes[i]);
        if (error)
            return error;
    }
    uint32_t raw = Le32(bytes);
    *value = v->type == 32 ? raw & Fat32Mask
           : v->type == 16 ? raw : (cluster & 1 ? raw >> 4 : raw & Fat12Mask);
    return 0;
}

static bool IsCluster(const FatVolume *v, uint32_t cluster)
{
    return cluster >= 2 && cluster - 2 < v->clusters;
}

// The cluster after cluster in its chain, or 0 at the chain's end. ERROR_FILE_CORRUPT for a
// free, reserved or bad entry, or one that points outside the volume.
static DWORD NextCluster(FatVolume *v, uint32_t cluster, uint32_t *next)
{
    uint32_t value;
    DWORD error = FatValue(v, cluster, &value);
    if (error)
        return error;
    uint32_t end = v->type == 12 ? End12 : v->type == 16 ? End16 : End32;
    if (value >= end)
        value = 0;
    else if (!IsCluster(v, value))
        return ERROR_FILE_CORRUPT;
    *next = value;
    return 0;
}

DWORD FatMount(FatDevice *device, uint64_t offset, uint16_t codePage, FatVolume *volume)
{
    uint8_t boot[512];
    if (codePage != 437 && codePage != 850)
        return ERROR_INVALID_PARAMETER;
    DWORD error = FatRead(device, offset, boot, sizeof boot);
    if (error)
        return error;
    if (!ParseBoot(boot, offset, volume))
        return ERROR_UNRECOGNIZED_VOLUME;
    volume->device = device;
    volume->codePage = codePage;
    memset(volume->cached, 0, sizeof volume->cached);
    uint32_t second = 0;
    if (volume->type != 12 && (error = FatValue(volume, 1, &second)) != 0)
        return error;
    if (volume->type != 12 && !(second & (volume->type == 16 ? Clean16 : Clean32)))
        volume->dirty = true;
    return 0;
}

DWORD FatOpenDirectory(FatVolume *volume, const FatEntry *directory, uint8_t *block,
                       FatCursor *cursor)
{
    memset(cursor, 0, sizeof *cursor);
    cursor->block = block;
    cursor->power = 1;
    cursor->first = directory ? directory->cluster : volume->rootCluster;
    if ((directory || volume->type == 32) && !IsCluster(volume, cursor->first))
        return ERROR_FILE_CORRUPT;
    return 0;
}

// Reads the next cluster of the directory (or chunk of the fixed root) into the block.
// ERROR_NO_MORE_FILES past the last.
static DWORD LoadBlock(FatVolume *v, FatCursor *c)
{
    uint64_t offset;
    uint32_t bytes = v->clusterBytes;
    if (c->first == 0) {
        uint64_t done = (uint64_t)c->chunk * v->clusterBytes;
        uint64_t left = (uint64_t)v->rootRecords * SZDIRE - done;
        if (done >= (uint64_t)v->rootRecords * SZDIRE)
            return ERROR_NO_MORE_FILES;
        if (left < bytes)
            bytes = (uint32_t)left;
        offset = v->rootOffset + done;
        ++c->chunk;
    } else {
        uint32_t next = c->first;
        if (c->cluster) {
            DWORD error = NextCluster(v, c->cluster, &next);
            if (error)
                return error;
            if (!next)
                return ERROR_NO_MORE_FILES;
        }
        if (next == c->saved)
            return ERROR_FILE_CORRUPT;
        if (++c->steps >= c->power)
            c->saved = next, c->power *= 2, c->steps = 0;
        c->cluster = next;
        offset = v->dataOffset + (uint64_t)(next - 2) * v->clusterBytes;
    }
    // A directory no driver would write ends here, as does a loop the check above missed.
    if (c->read + bytes / SZDIRE > FatMaxRecords)
        return ERROR_FILE_CORRUPT;
    c->records = 0; // the block holds no directory until it is read whole
    DWORD error = FatRead(v->device, offset, c->block, bytes);
    if (error)
        return error;
    c->records = bytes / SZDIRE;
    c->index = 0;
    c->read += c->records;
    c->blockOffset = offset;
    return 0;
}

// Takes a long-name record into the cursor's chain: it starts one (LLEF), or continues the
// one read so far with the next lower ordinal and the same checksum; anything else cancels it.
static void TakeLongRecord(FatCursor *c, const uint8_t *record, uint64_t offset)
{
    uint8_t ordinal = record[LDIR_Ord];
    bool sound = record[LDIR_Type] == 0 && Le16(record + LDIR_FstClusLO) == 0;
    if (sound && (ordinal & LLEF)) {
        uint8_t count = ordinal & ~LLEF;
        c->chainRecords = count;
        c->expected = count;
        c->checksum = record[LDIR_Chksum];
        c->chainOffset = offset;
        sound = count >= 1 && count <= MaxLfnRecords;
    } else {
        sound = sound && c->expected && ordinal == c->expected &&
                record[LDIR_Chksum] == c->checksum;
    }
    if (!sound) {
        c->chainRecords = c->expected = 0;
        return;
    }
    WCHAR *units = c->chain + (c->expected - 1) * LfnUnits;
    for (uint32_t i = 0; i < LfnUnits; ++i)
        units[i] = (WCHAR)Le16(record + LfnUnitOffsets[i]);
    --c->expected;
}

// Writes the 8.3 name of a record (base, a dot and the extension where there is one) to
// out, decoded with the volume's code page; lowered (A-Z only) where the case bits ask for it
// and lower is set. Returns its length, 0 for a record with no base.
static uint32_t ShortName(const FatVolume *v, const uint8_t *record, bool lower, WCHAR *out)
{
    const WCHAR *page = v->codePage == 850 ? Cp850 : Cp437;
    uint32_t length = 0;
    for (uint32_t part = 0; part < 2; ++part) {
        uint32_t from = part ? 8 : 0, size = part ? 3 : 8;
        while (size && record[DIR_Name + from + size - 1] == ' ')
            --size;
        if (part && size)
            out[length++] = u'.';
        bool lowered = lower && (record[DIR_NTres] & (part ? NS_EXT : NS_BODY));
        for (uint32_t i = 0; i < size; ++i) {
            uint8_t byte = record[DIR_Name + from + i];
            if (from + i == 0 && byte == RDDEM)
                byte = DDEM;
            WCHAR unit = byte < 0x80 ? byte : page[byte - 0x80];
            out[length++] = lowered && unit >= u'A' && unit <= u'Z' ? unit + 0x20 : unit;
        }
        if (!part && !size)
            return 0;
    }
    out[length] = 0;
    return length;
}

DWORD FatNextEntry(FatVolume *volume, FatCursor *cursor, FatEntry *entry)
{
    FatCursor *c = cursor;
    while (!c->ended) {
        if (c->index == c->records) {
            DWORD error = LoadBlock(volume, c);
            if (error) {
                c->ended = true;
                return error;
            }
            continue;
        }
        const uint8_t *record = c->block + c->index * SZDIRE;
        uint64_t offset = c->blockOffset + c->index * SZDIRE;
        ++c->index;
        if (record[DIR_Name] == EndOfDirectory) {
            c->ended = true;
            break;
        }
        if (record[DIR_Name] != DDEM && (record[DIR_Attr] & AM_MASK) == AM_LFN) {
            TakeLongRecord(c, record, offset);
            continue;
        }
        // A chain counts only where it ends right before its 8.3 record, and for it alone.
        bool chained = c->chainRecords && !c->expected && Checksum(record) == c->checksum;
        uint32_t records = c->chainRecords;
        c->chainRecords = c->expected = 0;
        if (record[DIR_Name] == DDEM || (record[DIR_Attr] & AM_VOL))
            continue;
        uint32_t length = 0;
        while (chained && length < records * LfnUnits && c->chain[length])
            ++length;
        chained = chained && length >= 1 && length <= FatNameUnits;
        if (!ShortName(volume, record, !chained, chained ? entry->shortName : entry->name))
            continue; // no base: names nothing
        if (chained) {
            memcpy(entry->name, c->chain, length * sizeof(WCHAR));
            entry->name[length] = 0;
        } else {
            entry->shortName[0] = 0;
        }
        memcpy(entry->raw, record + DIR_Name, sizeof entry->raw);
        entry->attributes = record[DIR_Attr];
        entry->cluster = Le16(record + DIR_FstClusLO) |
                         (volume->type == 32 ? Le16(record + DIR_FstClusHI) << 16 : 0);
        entry->size = Le32(record + DIR_FileSize);
        entry->shortOffset = offset;
        entry->longOffset = c->chainOffset;
        entry->longRecords = chained ? records : 0;
        return 0;
    }
    return ERROR_NO_MORE_FILES;
}

// The whole sector at offset: in the cursor's block where it lies there whole, so that an
// edit keeps the block the directory as it now stands; else read into scratch. Null, with
// *error set, where the read fails.
static uint8_t *Sector(FatVolume *v, FatCursor *c, uint64_t offset, uint8_t *scratch,
                       DWORD *error)
{
    if (c && offset >= c->blockOffset &&
        offset + v->sectorBytes <= c->blockOffset + (uint64_t)c->records * SZDIRE)
        return c->block + (offset - c->blockOffset);
    *error = FatRead(v->device, offset, scratch, v->sectorBytes);
    return *error ? nullptr : scratch;
}

DWORD FatRename(FatVolume *volume, FatCursor *cursor, const FatEntry *entry)
{
    if (entry->longRecords != 1)
        return ERROR_NOT_SUPPORTED;
    uint32_t bytes = volume->sectorBytes;
    uint64_t shortSector = entry->shortOffset - (entry->shortOffset - volume->base) % bytes;
    uint64_t longSector = entry->longOffset - (entry->longOffset - volume->base) % bytes;
    bool shared = shortSector == longSector;
    uint8_t first[FatMaxSector], second[FatMaxSector];
    DWORD error = 0;
    uint8_t *shortBytes = Sector(volume, cursor, shortSector, first, &error);
    uint8_t *longBytes = shared ? shortBytes : shortBytes ? Sector(volume, cursor, longSector,
                                                                   second, &error) : nullptr;
    if (!longBytes)
        return error;
    uint8_t *record = shortBytes + (entry->shortOffset - shortSector);
    uint8_t *longRecord = longBytes + (entry->longOffset - longSector);
    if (memcmp(record + DIR_Name, entry->raw, sizeof entry->raw) != 0 ||
        longRecord[LDIR_Ord] != (LLEF | 1) || (longRecord[LDIR_Attr] & AM_MASK) != AM_LFN ||
        longRecord[LDIR_Chksum] != Checksum(record))
        return ERROR_FILE_CORRUPT;

    // Case byte first: a kill between the writes leaves the long name beside an 8.3 name that
    // differs from it only in case, which the next run finishes. The other order would leave
    // an entry without an alternate name, which no run would touch again.
    uint8_t caseByte = record[DIR_NTres];
    record[DIR_NTres] = 0;
    if (caseByte && !shared) {
        if ((error = FatWrite(volume->device, shortSector, shortBytes, bytes))) {
            record[DIR_NTres] = caseByte; // the block stays what the device holds
            return error;
        }
        // A card pulled out may keep a later write and lose an earlier one: the case byte is
        // on the device before the long name goes.
        if ((error = FatFlush(volume->device)))
            return error;
    }
    longRecord[LDIR_Ord] = DDEM;
    if ((error = FatWrite(volume->device, longSector, longBytes, bytes))) {
        longRecord[LDIR_Ord] = LLEF | 1;
        if (shared)
            record[DIR_NTres] = caseByte;
    }
    return error;
}
