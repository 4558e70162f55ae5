#!/usr/bin/env python3
"""What the station's board shows in a picture of its window.

usage:
  boardlook.py PPM
      Reads a binary PPM (P6) of the window, as `import -window ID ppm:FILE`
      writes it, and prints how many slots of each look it holds, e.g.
      "empty=4 waiting=0 writing=6 complete=0 done=5 failed=1 gone=0".

A slot is a patch of its state's background colour (station_window.cpp,
LookOf and the empty slot) large enough to be a slot: the labels and the
progress bar sit inside it, so each slot is one patch.
"""
import sys

# The slots' backgrounds, as station_window.cpp paints them.
LOOKS = {
    (0xFA, 0xFA, 0xFA): "empty",
    (0xEE, 0xEE, 0xEE): "waiting",
    (0xDC, 0xEB, 0xFF): "writing",
    (0xE2, 0xF5, 0xE2): "complete",
    (0xC8, 0xEC, 0xC8): "done",
    (0xFB, 0xD9, 0xD9): "failed",
    (0xFF, 0xF1, 0xCC): "gone",
}
STEP = 4  # look at every fourth pixel of every fourth row
SMALLEST = 1500  # pixels: a slot is far larger, a stray patch far smaller


def read_ppm(path):
    with open(path, "rb") as stream:
        data = stream.read()
    fields = []
    position = 0
    while len(fields) < 4:
        while data[position:position + 1].isspace():
            position += 1
        if data[position:position + 1] == b"#":
            position = data.index(b"\n", position)
            continue
        end = position
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[position:end])
        position = end
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise SystemExit("boardlook: %s is no 8-bit binary PPM" % path)
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[position + 1:]


def looks(path):
    width, height, pixels = read_ppm(path)
    columns, rows = width // STEP, height // STEP
    grid = [None] * (columns * rows)
    for row in range(rows):
        for column in range(columns):
            at = 3 * ((row * STEP) * width + column * STEP)
            grid[row * columns + column] = LOOKS.get(tuple(pixels[at:at + 3]))
    counts = {name: 0 for name in LOOKS.values()}
    seen = bytearray(columns * rows)
    for start, name in enumerate(grid):
        if name is None or seen[start]:
            continue
        # One patch of this colour, four-connected.
        seen[start] = 1
        stack, size = [start], 0
        while stack:
            cell = stack.pop()
            size += 1
            row, column = divmod(cell, columns)
            for next_row, next_column in ((row - 1, column), (row + 1, column),
                                          (row, column - 1), (row, column + 1)):
                if 0 <= next_row < rows and 0 <= next_column < columns:
                    other = next_row * columns + next_column
                    if not seen[other] and grid[other] == name:
                        seen[other] = 1
                        stack.append(other)
        if size * STEP * STEP >= SMALLEST:
            counts[name] += 1
    return counts


def main(arguments):
    if len(arguments) != 1:
        raise SystemExit(__doc__)
    counts = looks(arguments[0])
    print(" ".join("%s=%d" % (name, counts[name]) for name in dict.fromkeys(LOOKS.values())))


if __name__ == "__main__":
    main(sys.argv[1:])
