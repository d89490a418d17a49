// The format's edges over a FAT12 image in memory: DIR, a directory of two clusters of one
// sector each, holds each row's records; listed as Windows lists them, and renamed in place.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace std::string_literals;

#include "tests/fat/memory.h"

enum : uint32_t { Sector = 512, Directory = 3 * Sector }; // clusters 2 and 3

// The 8.3 record of raw with its case byte, or where name is given a long-name record of that
// ordinal carrying raw's checksum plus sumDelta.
struct Record {
    int slot;
    const char *raw;
    uint8_t caseByte, ordinal;
    const char16_t *name;
    uint8_t sumDelta;
};

static void SetFat12(uint8_t *fat, uint32_t cluster, uint32_t value)
{
    uint8_t *at = fat + cluster + cluster / 2;
    uint32_t both = ((at[0] | at[1] << 8) & (cluster & 1 ? 0xF : 0xF000)) |
                    (cluster & 1 ? value << 4 : value);
    at[0] = (uint8_t)both, at[1] = (uint8_t)(both >> 8);
}

// 64 sectors: boot, FAT, a root of 16 records holding DIR, the clusters; cluster 3's FAT
// entry is next (0xFFF ends the chain).
static std::vector<uint8_t> Image(const std::vector<Record> &records, uint32_t next)
{
    std::vector<uint8_t> image(64 * Sector);
    uint8_t *b = image.data();
    memcpy(b, "\xEB\x3C\x90MSWIN4.1\x00\x02\x01\x01\x00\x01\x10\x00\x40\x00\xF8\x01\x00", 24);
    SetFat12(b + Sector, 0, 0xFF8), SetFat12(b + Sector, 1, 0xFFF);
    SetFat12(b + Sector, 2, 3), SetFat12(b + Sector, 3, next);
    memcpy(b + 2 * Sector, "DIR        \x10", 12);
    b[2 * Sector + 26] = 2;
    for (int slot = 0; slot < 32; ++slot) // deleted records where a row puts none
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
        at[0] = r.ordinal, at[11] = 0x0F, at[12] = at[26] = at[27] = 0;
        at[13] = (uint8_t)(sum + r.sumDelta);
        for (size_t i = 0, n = std::char_traits<char16_t>::length(r.name); i < 13 && i <= n; ++i)
            at[units[i]] = (uint8_t)(i < n ? r.name[i] : 0), at[units[i] + 1] = 0;
    }
    return image;
}

// Mounts the image and opens DIR.
static void OpenDir(FatDevice *device, FatVolume *volume, FatCursor *cursor, uint16_t page = 437)
{
    static uint8_t block[FatMaxCluster];
    FatEntry directory;
    ASSERT_EQ(FatMount(device, 0, page, volume), 0u);
    ASSERT_EQ(FatOpenDirectory(volume, nullptr, block, cursor), 0u);
    ASSERT_EQ(FatNextEntry(volume, cursor, &directory), 0u);
    ASSERT_EQ(FatOpenDirectory(volume, &directory, block, cursor), 0u);
}

// DIR as the format lists it: "name|short;" for each entry; *end is the error that ended it.
static std::u16string List(std::vector<uint8_t> image, uint16_t page, DWORD *end)
{
    static FatVolume volume;
    FatDevice device = {image.data(), image.size(), -1};
    FatCursor cursor;
    FatEntry entry;
    std::u16string listing;
    OpenDir(&device, &volume, &cursor, page);
    while ((*end = FatNextEntry(&volume, &cursor, &entry)) == 0)
        listing += std::u16string(entry.name) + u"|" + entry.shortName + u";";
    return listing;
}

static const Record Pair[] = {{15, "README  TXT", 0x18, 0x41, u"readme.txt", 0},
                              {16, "README  TXT", 0x18}}; // across clusters
static const struct {
    std::vector<Record> records;
    uint32_t next;
    const char16_t *listing; // "name|short;" each
    DWORD end;
} rows[] = {
    {{Pair[0], Pair[1]}, 0xFFF, u"readme.txt|README.TXT;", ERROR_NO_MORE_FILES},
    {{{0, "AB      TXT", 0, 0x41, u"ab.txt", 1}, {1, "AB      TXT", 0}}, 0xFFF, u"AB.TXT|;", 18},
    {{{0, "\x05" "AB     TXT", 0}, {1, "\xE5" "CD     TXT", 0}}, 0xFFF, u"\u03C3AB.TXT|;", 18},
    {{{0, "A          ", 0}, {1, "\0          ", 0}, {2, "B          ", 0}}, 0xFFF, u"A|;", 18},
    {{{0, "BASE    TXT", 8}, {1, "EXT     TXT", 0x10}, {2, "BOTH    TX1", 0x18}}, 0xFFF,
     u"base.TXT|;EXT.txt|;both.tx1|;", 18},
    {{{17, "LOOP       ", 0}}, 2, u"LOOP|;", ERROR_FILE_CORRUPT},
    {{{0, "LONGNA~1TXT", 0, 0x42, u"opq"}, {1, "LONGNA~1TXT", 0, 1, u"abcdefghijklm"},
      {2, "LONGNA~1TXT", 0}, {3, "THIRTE~1   ", 0, 0x41, u"nopqrstuvwxyz"}, {4, "THIRTE~1   ", 0}},
     0xFFF, u"abcdefghijklmopq|LONGNA~1.TXT;nopqrstuvwxyz|THIRTE~1;", 18},
};

TEST(Fat, ListsEachRowAsWindowsDoes)
{
    for (const auto &row : rows) {
        DWORD end;
        EXPECT_EQ(List(Image(row.records, row.next), 437, &end), row.listing);
        EXPECT_EQ(end, row.end) << row.records[0].raw;
    }
}

// Only the case byte and the long-name record's first byte change, in that order: a device
// that fails the second write keeps a long name beside a short name in upper case.
TEST(Fat, RenameWritesTwoBytesCaseByteFirst)
{
    static FatVolume volume;
    for (int writes : {-1, 1}) {
        std::vector<uint8_t> image = Image(rows[0].records, 0xFFF), expected = image;
        FatDevice device = {image.data(), image.size(), writes};
        FatCursor cursor;
        FatEntry entry;
        OpenDir(&device, &volume, &cursor);
        ASSERT_EQ(FatNextEntry(&volume, &cursor, &entry), 0u);
        // From the listing's block, and from sectors read afresh.
        EXPECT_EQ(FatRename(&volume, writes < 0 ? &cursor : nullptr, &entry),
                  writes < 0 ? 0u : (DWORD)ERROR_ACCESS_DENIED);
        expected[Directory + 16 * 32 + 12] = 0;
        expected[Directory + 15 * 32] = writes < 0 ? 0xE5 : 0x41;
        EXPECT_EQ(image, expected) << writes;
    }
}

// Bytes 0x80 to 0xFF in 8.3 names, as Python's cp437 and cp850 codecs decode them.
TEST(Fat, ShortNamesReadThroughTheCodePage)
{
    static const std::pair<uint16_t, std::u16string> pages[] = {
        {437, u"ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑªº¿⌐¬½¼¡«»░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
              u"└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0"},
        {850, u"ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜø£Ø×ƒáíóúñÑªº¿®¬½¼¡«»░▒▓│┤ÁÂÀ©╣║╗╝¢¥┐"
              u"└┴┬├─┼ãÃ╚╔╩╦╠═╬¤ðÐÊËÈıÍÎÏ┘┌█▄¦Ì▀ÓßÔÒõÕµþÞÚÛÙýÝ¯´\u00AD±‗¾¶§÷¸°¨·¹³²■\u00A0"}};
    std::vector<std::string> raws(12, std::string(11, ' '));
    std::vector<Record> records;
    for (int k = 0; k < 12; ++k) {
        for (int i = 0, byte = 0x80 + 11 * k; i < 11 && byte + i <= 0xFF; ++i)
            raws[k][i] = (char)(byte + i);
        records.push_back({k, raws[k].c_str(), 0});
    }
    for (const auto &page : pages) {
        DWORD end;
        std::u16string names = List(Image(records, 0xFFF), page.first, &end);
        auto separator = [](char16_t unit) { return unit == u'.' || unit == u'|' || unit == u';'; };
        names.erase(std::remove_if(names.begin(), names.end(), separator), names.end());
        EXPECT_EQ(names, page.second) << page.first;
    }
}

// Boot sectors: the image's with bytes patched in, mounted (the last rows make it FAT32, with
// one FAT in use, its FAT[1] marked clean or not).
TEST(Fat, MountsOnlyFieldsInRange)
{
    static FatVolume volume;
    static const struct {
        std::vector<std::pair<int, std::string>> patches;
        DWORD error;
        uint8_t type;
        bool dirty;
    } boots[] = {
        {{}, 0, 12, false},
        {{{37, "\1"s}}, 0, 12, true},
        {{{13, "\0"s}}, ERROR_UNRECOGNIZED_VOLUME},  // no sector in a cluster
        {{{11, "\0\3"s}}, ERROR_UNRECOGNIZED_VOLUME}, // 768-byte sectors
        {{{11, "\0\x20"s}}, ERROR_UNRECOGNIZED_VOLUME}, // 8192-byte sectors
        {{{21, "\0"s}}, ERROR_UNRECOGNIZED_VOLUME},  // no media byte
        {{{14, "\0\0"s}}, ERROR_UNRECOGNIZED_VOLUME}, // no reserved sector
        {{{19, "\xF8\x0F"s}, {514, "\xFF\xFF"s}}, 0, 16, false}, // 4,085 clusters, FAT[1] clean
        {{{17, "\0\0"s}, {22, "\0\0"s}, {36, "\1\0\0\0\x80"s}, {44, "\2\0\0\0"s}}, 0, 32, true},
        {{{17, "\0\0"s}, {22, "\0\0"s}, {36, "\1\0\0\0\x80"s}, {44, "\2\0\0\0"s},
          {516, "\xFF\xFF\xFF\x0F"s}}, 0, 32, false},
        {{{17, "\0\0"s}, {22, "\0\0"s}, {36, "\1\0\0\0\x81"s}, {44, "\2\0\0\0"s}},
         ERROR_UNRECOGNIZED_VOLUME},                  // its one FAT in use: the second of one
        {{{17, "\0\0"s}, {22, "\0\0"s}, {44, "\2\0\0\0"s}}, ERROR_UNRECOGNIZED_VOLUME}, // no FAT
    };
    for (const auto &boot : boots) {
        std::vector<uint8_t> image = Image({}, 0xFFF);
        for (const auto &patch : boot.patches)
            memcpy(&image[patch.first], patch.second.data(), patch.second.size());
        FatDevice device = {image.data(), image.size(), -1};
        EXPECT_EQ(FatMount(&device, 0, 437, &volume), boot.error) << boot.patches.size();
        if (!boot.error)
            EXPECT_EQ(volume.type * 2 + volume.dirty, boot.type * 2 + boot.dirty);
    }
}
