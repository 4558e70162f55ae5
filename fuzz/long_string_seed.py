#!/usr/bin/env python3
"""Writes a coded resource package whose one block decodes to one very long
string: the tree is a single type-3 record ('A' on bit 0, end on bit 1) and
the block is nearly all zero bytes, so every bit of it emits a unit. The
default 256 KiB file gives strings 0 and 1 empty and string 2 (id 2, the
Cancel button) of 2,094,320 units. A decoder whose output buffer does not
grow geometrically takes seconds on it.

scripts/fuzz.sh writes it next to the committed seed corpus for every run
(the file is too large to commit), so the fuzz run times out on a decoder
that is not linear.

usage: long_string_seed.py OUT [SIZE]   (SIZE in bytes, default 262144)
"""
import struct
import sys

MAGIC = 0xB28A617C
VERSION = 0xFE84125D
HEADER_SIZE = 332
INDEX_ENTRY_SIZE = 12
TREE = bytes([3, ord("A"), 0, 0, 0])


def package(size):
    index_offset = HEADER_SIZE
    tree_offset = index_offset + INDEX_ENTRY_SIZE
    data_offset = tree_offset + len(TREE)
    # Strings 0 and 1 end at once (bit 1, then the gap byte); string 2 runs
    # over the zero bytes and ends at the last byte's first bit.
    head = bytes([0x01, 0x00, 0x01, 0x00])
    smallest = data_offset + len(head) + 1
    if size < smallest:
        sys.exit("long_string_seed.py: SIZE must be at least %d" % smallest)
    zeros = size - smallest
    block = head + bytes(zeros) + b"\x01"
    header = struct.pack(
        "<III4I12xII8xiII264x",
        MAGIC, VERSION, HEADER_SIZE,
        4, 1, 0, 0,  # German, English as further code
        tree_offset, len(TREE),
        1, index_offset, data_offset)
    assert len(header) == HEADER_SIZE
    # Block 0, last index 2, at the start of the data, the whole block.
    entry = struct.pack("<III", 0 | (2 << 23), 0, len(block))
    return header + entry + TREE + block


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__.strip().splitlines()[-1])
    size = int(sys.argv[2]) if len(sys.argv) == 3 else 262144
    with open(sys.argv[1], "wb") as out:
        out.write(package(size))


if __name__ == "__main__":
    main()
