#!/usr/bin/env python3
"""Writes shortcase.ico beside this script: "Aa" on a blue tile, 16x16, 16 colours.

One 4-bit bitmap image (318 bytes), the format every Windows since 3.0 draws, XP included;
XP shows PNG-compressed icon images as blank. The output is byte-for-byte the same on every
run, so the checked-in icon can be regenerated and compared.
"""
import os
import struct

# '.' transparent, 'o' outline, 'b' tile, 'w' letter. Top row first.
PIXELS = [
    '................',
    '..oooooooooooo..',
    '.obbbbbbbbbbbbo.',
    '.obbbbbbbbbbbbo.',
    '.obbwwwbbbbbbbo.',
    '.obwbbbwbbbbbbo.',
    '.obwbbbwbbbbbbo.',
    '.obwbbbwbbwwbbo.',
    '.obwwwwwbbbbwbo.',
    '.obwbbbwbbwwwbo.',
    '.obwbbbwbwbbwbo.',
    '.obwbbbwbbwwwbo.',
    '.obbbbbbbbbbbbo.',
    '.obbbbbbbbbbbbo.',
    '..oooooooooooo..',
    '................',
]
# Palette index and colour (R, G, B) of each pixel kind; transparent pixels are black under
# a set mask bit, so they draw as the background.
COLOURS = {'.': (0, (0, 0, 0)), 'o': (1, (0x10, 0x30, 0x70)),
           'b': (2, (0x30, 0x70, 0xD0)), 'w': (3, (0xFF, 0xFF, 0xFF))}
SIZE, BITS = 16, 4


def icon():
    assert len(PIXELS) == SIZE and all(len(row) == SIZE for row in PIXELS)
    palette = [(0, 0, 0)] * (1 << BITS)
    for index, rgb in COLOURS.values():
        palette[index] = rgb
    colour_rows, mask_rows = [], []
    for row in reversed(PIXELS):  # bitmaps are stored bottom row first
        indices = [COLOURS[p][0] for p in row]
        colour_rows.append(bytes(hi << 4 | lo for hi, lo in zip(indices[0::2], indices[1::2])))
        mask = sum(1 << (SIZE - 1 - x) for x, p in enumerate(row) if p == '.')
        mask_rows.append(mask.to_bytes(2, 'big') + b'\0\0')  # rows padded to 4 bytes
    colours = b''.join(colour_rows)
    masks = b''.join(mask_rows)
    # The height counts the colour bitmap and the transparency mask below it.
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, 2 * SIZE, 1, BITS, 0,
                         len(colours) + len(masks), 0, 0, 0, 0)
    image = header + b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette) + colours + masks
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 1 << BITS, 0, 1, BITS, len(image), 6 + 16)
    return directory + entry + image


if __name__ == '__main__':
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'shortcase.ico')
    data = icon()
    with open(path, 'wb') as out:
        out.write(data)
    print(f'wrote {path} ({len(data)} bytes)')
