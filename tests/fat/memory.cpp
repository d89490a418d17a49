// An image in memory for fat/ (see memory.h).
#include "tests/fat/memory.h"

static DWORD Copy(FatDevice *device, uint64_t offset, uint8_t *to, const uint8_t *from,
                  uint32_t length)
{
    if (offset >= (1ull << 40) - length)
        return ERROR_HANDLE_EOF;
    for (uint64_t at = offset; at < offset + length; ++at)
        if (to)
            *to++ = at < device->size ? device->bytes[at] : 0;
        else if (at < device->size)
            device->bytes[at] = from[at - offset];
    return 0;
}

DWORD FatRead(FatDevice *device, uint64_t offset, void *bytes, uint32_t length)
{
    return Copy(device, offset, (uint8_t *)bytes, nullptr, length);
}

DWORD FatFlush(FatDevice *)
{
    return 0;
}

DWORD FatWrite(FatDevice *device, uint64_t offset, const void *bytes, uint32_t length)
{
    if (device->writesLeft == 0)
        return ERROR_ACCESS_DENIED;
    --device->writesLeft;
    return Copy(device, offset, nullptr, (const uint8_t *)bytes, length);
}
