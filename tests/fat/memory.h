// An image in memory for fat/: the format's tests and its fuzzer read and write it through here.
#pragma once

#include <stddef.h>

#include "fat/fat.h"

// Reads past bytes give zeros, up to a device of 1 TiB, so that a small input stands for a
// large volume; writes there are dropped. After writesLeft writes (when not negative) every
// write fails with 5, as a device that went away.
struct FatDevice {
    uint8_t *bytes;
    size_t size;
    int writesLeft;
};
