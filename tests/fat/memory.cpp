// An image in memory for fat/ (see memory.h).
#include "tests/fat/memory.h"

#include <string.h>

static DWORD Copy(FatDevice *device, uint64_t offset, uint8_t *to, const uint8_t *from,
                  uint32_t length)
{
    if (offset >= (1ull << 40) - length)
        return ERROR_HANDLE_EOF;
    for (uint32_t i = 0; i < length; ++i) {
        bool inside = offset + i < device->size;
        if (to)
            to[i] = inside ? device->bytes[offset + i] : 0;
        else if (inside)
            device->bytes[offset + i] = from[i];
    }
    return 0;
}

DWORD FatRead(FatDevice *device, uint64_t offset, void *bytes, uint32_t length)
{
    return Copy(device, offset, (uint8_t *)bytes, nullptr, length);
}

DWORD FatWrite(FatDevice *device, uint64_t offset, const void *bytes, uint32_t length)
{
    if (device->writesLeft == 0)
        return ERROR_ACCESS_DENIED;
    --device->writesLeft;
    return Copy(device, offset, nullptr, (const uint8_t *)bytes, length);
}
