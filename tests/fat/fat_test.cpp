// The format's edges, over a FAT12 image in memory: a directory of two clusters (one sector
// each) and the records each row puts in it, listed as Windows lists them, and the rename.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/fat/memory.h"

enum : uint32_t { Sector = 512, Directory = 3 * Sector }; // cluster 2, then 3

// One record of a row: the 8.3 record for raw (with the case byte), or where name is given
// a long-name record with that ordinal and raw's checksum plus sumDelta.
struct Record {
    int slot;
    const char *raw;
    uint8_t caseByte;
    uint8_t ordinal;
    const char16_t *name;
    uint8_t sumDelta;
};

static void SetFat12(uint8_t *fat, uint32_t cluster, uint32_t value)
{
    uint8_t *at = fat + cluster + cluster / 2;
    uint32_t both = (at[0] | at[1] << 8) & (cluster & 1 ? 0x000F : 0xF000);
    both |= cluster & 1 ? value << 4 : value;
    at[0] = (uint8_t)both, at[1] = (uint8_t)(both >> 8);
}

// 64 sectors: boot, FAT, a root of 16 records holding DIR, then the clusters.
static std::vector<uint8_t> Image(const std::vector<Record> &records, uint32_t afterThree)
{
    std::vector<uint8_t> image(64 * Sector);
    uint8_t *b = image.data();
    memcpy(b, "\xEB\x3C\x90MSWIN4.1\x00\x02\x01\x01\x00\x01\x10\x00\x40\x00\xF8\x01\x00", 24);
    SetFat12(b + Sector, 0, 0xFF8), SetFat12(b + Sector, 1, 0xFFF);
    SetFat12(b + Sector, 2, 3), SetFat12(b + Sector, 3, afterThree);
    memcpy(b + 2 * Sector, "DIR        \x10", 12);
    b[2 * Sector + 26] = 2;
    for (int slot = 0; slot < 32; ++slot) // deleted records, where a row puts none
        b[Directory + slot * 32] = 0xE5;
    for (const Record &r : records) {
        uint8_t *at = b + Directory + r.slot * 32, sum = 0;
        for (int i = 0; i < 11; ++i)
            sum = (uint8_t)(((sum & 1) << 7 | sum >> 1) + (uint8_t)r.raw[i]);
        if (!r.name) {
            memcpy(at, r.raw, 11), at[11] = 0x20, at[12] = r.caseByte;
            continue;
        }
        static const int units[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        memset(at, 0xFF, 32);
        at[0] = r.ordinal, at[11] = 0x0F, at[12] = 0, at[13] = (uint8_t)(sum + r.sumDelta);
        at[26] = at[27] = 0;
        for (size_t i = 0, n = std::char_traits<char16_t>::length(r.name); i < 13 && i <= n; ++i)
            at[units[i]] = (uint8_t)(i < n ? r.name[i] : 0), at[units[i] + 1] = 0;
    }
    return image;
}

struct Row {
    const char *what;
    std::vector<Record> records;
    uint32_t afterThree;        // FAT entry of cluster 3: 0xFFF ends, 2 loops
    const char16_t *listing;    // "name|short;" for each entry
    DWORD end;
};

static const Row rows[] = {
    {"pair across clusters", {{15, "README  TXT", 0x18, 0x41, u"readme.txt", 0}, {16, "README  TXT", 0x18}},
     0xFFF, u"readme.txt|README.TXT;", ERROR_NO_MORE_FILES},
    {"bad checksum", {{0, "README  TXT", 0, 0x41, u"readme.txt", 1}, {1, "README  TXT", 0}},
     0xFFF, u"README.TXT|;", ERROR_NO_MORE_FILES},
    {"chain not ending at 1", {{0, "AB      TXT", 0, 0x42, u"ab.txt", 0}, {1, "AB      TXT", 0}},
     0xFFF, u"AB.TXT|;", ERROR_NO_MORE_FILES},
    {"0x05 and deleted", {{0, "\x05" "AB     TXT", 0}, {1, "\xE5" "CD     TXT", 0}},
     0xFFF, u"\u03C3AB.TXT|;", ERROR_NO_MORE_FILES},
    {"0x00 mid-directory", {{0, "A          ", 0}, {1, "\0          ", 0}, {2, "B          ", 0}},
     0xFFF, u"A|;", ERROR_NO_MORE_FILES},
    {"case bits", {{0, "BASE    TXT", 0x08}, {1, "EXT     TXT", 0x10}, {2, "BOTH    TX1", 0x18}},
     0xFFF, u"base.TXT|;EXT.txt|;both.tx1|;", ERROR_NO_MORE_FILES},
    {"looping chain", {{17, "LOOP       ", 0}}, 2, u"LOOP|;", ERROR_FILE_CORRUPT},
    {"chain to a free cluster", {{17, "LOST       ", 0}}, 0, u"LOST|;", ERROR_FILE_CORRUPT},
};

TEST(Fat, ListsEachRowAsWindowsDoes)
{
    static FatVolume volume;
    static uint8_t block[FatMaxCluster];
    for (const Row &row : rows) {
        std::vector<uint8_t> image = Image(row.records, row.afterThree);
        FatDevice device = {image.data(), image.size(), -1};
        FatCursor cursor;
        FatEntry entry;
        ASSERT_EQ(FatMount(&device, 0, 437, &volume), 0u) << row.what;
        ASSERT_EQ(FatOpenDirectory(&volume, nullptr, block, &cursor), 0u);
        ASSERT_EQ(FatNextEntry(&volume, &cursor, &entry), 0u);
        FatEntry directory = entry;
        ASSERT_EQ(FatOpenDirectory(&volume, &directory, block, &cursor), 0u);
        std::u16string listing;
        DWORD error;
        while ((error = FatNextEntry(&volume, &cursor, &entry)) == 0)
            listing += std::u16string(entry.name) + u"|" + entry.shortName + u";";
        EXPECT_EQ(listing, row.listing) << row.what;
        EXPECT_EQ(error, row.end) << row.what;
    }
}

// Only the case byte and the long-name record's first byte change, in that order: a device
// that fails the second write keeps a long name beside a short name in upper case.
TEST(Fat, RenameWritesTwoBytesCaseByteFirst)
{
    static FatVolume volume;
    static uint8_t block[FatMaxCluster];
    for (int writes : {-1, 1}) {
        std::vector<uint8_t> image = Image(rows[0].records, 0xFFF), before = image;
        FatDevice device = {image.data(), image.size(), writes};
        FatCursor cursor;
        FatEntry entry;
        ASSERT_EQ(FatMount(&device, 0, 437, &volume), 0u);
        ASSERT_EQ(FatOpenDirectory(&volume, nullptr, block, &cursor), 0u);
        ASSERT_EQ(FatNextEntry(&volume, &cursor, &entry), 0u);
        FatEntry directory = entry;
        ASSERT_EQ(FatOpenDirectory(&volume, &directory, block, &cursor), 0u);
        ASSERT_EQ(FatNextEntry(&volume, &cursor, &entry), 0u);
        EXPECT_EQ(FatRename(&volume, &entry), writes < 0 ? 0u : (DWORD)ERROR_ACCESS_DENIED);
        before[Directory + 16 * 32 + 12] = 0;
        if (writes < 0)
            before[Directory + 15 * 32] = 0xE5;
        EXPECT_EQ(image, before) << writes;
    }
}
