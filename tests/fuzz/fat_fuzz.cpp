// libFuzzer target for fat/: the input is an image (zeros past its end, up to 1 TiB). Every
// volume in it is mounted and walked (eight levels deep, a bounded number of entries), every
// entry of one long-name record renamed in place; sanitizers catch what goes wrong.
#include <string.h>

#include <vector>

#include "tests/fat/memory.h"

// Lists the directory, renaming and entering as it goes; budget bounds the whole walk.
static void Walk(FatVolume *volume, const FatEntry *directory, int depth, int *budget)
{
    static uint8_t blocks[8][FatMaxCluster];
    FatCursor cursor;
    FatEntry entry;
    if (depth == 8 || FatOpenDirectory(volume, directory, blocks[depth], &cursor) != 0)
        return;
    while (--*budget > 0 && FatNextEntry(volume, &cursor, &entry) == 0) {
        if (entry.longRecords == 1)
            (void)FatRename(volume, &cursor, &entry);
        if ((entry.attributes & 0x10) && entry.name[0] != u'.')
            Walk(volume, &entry, depth + 1, budget);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> bytes(data, data + size);
    FatDevice device = {bytes.data(), bytes.size(), -1};
    static FatVolume volume;
    static FatPartition parts[FatMaxPartitions];
    uint32_t count = 0;
    if (FatListPartitions(&device, parts, &count) != 0)
        count = 0;
    for (uint32_t i = 0; i <= count; ++i) {
        int budget = 20000;
        if (FatMount(&device, i < count ? parts[i].offset : 0, size & 1 ? 850 : 437, &volume) == 0)
            Walk(&volume, nullptr, 0, &budget);
    }
    return 0;
}
