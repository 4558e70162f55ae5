#!/usr/bin/env python3
"""Copies the PNG image of one size out of a Windows .ico file.

usage: ico_png.py ICON SIZE OUT.png   (exit 1 when the icon has no PNG of SIZE)
"""
import struct
import sys


def main(icon_path, size, out_path):
    data = open(icon_path, "rb").read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        sys.exit(f"{icon_path}: not an icon file")
    for i in range(count):
        width, height, _, _, _, _, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        # A stored 0 means 256.
        if (width or 256) != size or (height or 256) != size:
            continue
        image = data[offset:offset + length]
        if image[:8] != b"\x89PNG\r\n\x1a\n":
            continue
        with open(out_path, "wb") as out:
            out.write(image)
        return
    sys.exit(f"{icon_path}: no {size}x{size} PNG image")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(sys.argv[1], int(sys.argv[2]), sys.argv[3])
