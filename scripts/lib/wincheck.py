#!/usr/bin/env python3
"""Checks used by scripts/windows-check.sh.

usage:
  wincheck.py journal JOURNAL IMAGES
      An emulated calculator's journal after a whole update: every transfer's
      progress rises from 0, IMAGES transfers reach 100, no error event, and
      CMD_FINISH is the last command, sent once.
  wincheck.py icon XPROP_OUTPUT ICO SIZE
      The window icon wine gave X (`xprop -f _NET_WM_ICON 32c _NET_WM_ICON`)
      holds the SIZE px image of the .ico: same alpha, colours within 1 once
      premultiplied (Qt and wine each convert it once).
"""
import json
import struct
import sys


def journal(path, images):
    problems = []
    commands = []
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.strip()
        if not line:
            continue
        event = json.loads(line)
        if event["event"] == "error":
            problems.append(f"line {number}: error event {line}")
        if event["event"] == "command":
            commands.append((event["name"], event.get("parameter", 0)))
    finishes = [i for i, c in enumerate(commands) if c[0] == "CMD_FINISH"]
    if len(finishes) != 1 or finishes[0] != len(commands) - 1:
        problems.append(f"CMD_FINISH sent {len(finishes)} times, last command {commands[-1] if commands else None}")
    done, percent = 0, None
    for name, parameter in commands:
        if name != "CMD_PROGRESS":
            continue
        if parameter == 0:
            percent = 0
        elif percent is None or parameter <= percent:
            problems.append(f"progress {parameter} after {percent}")
        else:
            percent = parameter
        if parameter == 100:
            done += 1
            percent = None
    if done != images:
        problems.append(f"{done} transfers reached 100, expected {images}")
    for problem in problems:
        print(f"FAIL {path}: {problem}")
    if not problems:
        print(f"ok   {path}: {done} images, CMD_FINISH last ({len(commands)} commands)")
    return 1 if problems else 0


def ico_image(path, size):
    """The ARGB pixels (top row first) of the 32-bit BMP image of that size."""
    data = open(path, "rb").read()
    count = struct.unpack_from("<HHH", data, 0)[2]
    for k in range(count):
        width, height, _, _, _, bits, _, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * k)
        if width == size and bits == 32 and data[offset:offset + 4] == b"(\0\0\0":
            header = struct.unpack_from("<I", data, offset)[0]
            pixels = data[offset + header:offset + header + size * size * 4]
            rows = [pixels[r * size * 4:(r + 1) * size * 4] for r in range(size)][::-1]
            flat = b"".join(rows)
            return [struct.unpack_from("<I", flat, 4 * i)[0] for i in range(size * size)]
    return None


def icon(xprop_output, ico, size):
    text = open(xprop_output).read()
    if "=" not in text:
        print("FAIL the window has no _NET_WM_ICON")
        return 1
    values = [int(v) for v in text.split("=", 1)[1].replace(",", " ").split()]
    icons, i = {}, 0
    while i + 2 <= len(values):
        w, h = values[i], values[i + 1]
        icons[(w, h)] = values[i + 2:i + 2 + w * h]
        i += 2 + w * h
    expected = ico_image(ico, size)
    shown = icons.get((size, size))
    if expected is None or shown is None:
        print(f"FAIL no {size} px image (window: {sorted(icons)})")
        return 1
    worst = 0.0
    for a, b in zip(expected, shown):
        if a >> 24 != b >> 24:
            print(f"FAIL alpha differs: {a:08x} in the .ico, {b:08x} on the window")
            return 1
        alpha = a >> 24
        for shift in (0, 8, 16):
            worst = max(worst, abs(((a >> shift) & 255) - ((b >> shift) & 255)) * alpha / 255)
    if worst > 1:
        print(f"FAIL the {size} px window icon is not the .ico's (difference {worst:.1f})")
        return 1
    print(f"ok   the window's {size} px icon is the {size} px image of {ico} ({sorted(icons)} on the window)")
    return 0


def main(argv):
    if len(argv) == 4 and argv[1] == "journal":
        return journal(argv[2], int(argv[3]))
    if len(argv) == 5 and argv[1] == "icon":
        return icon(argv[2], argv[3], int(argv[4]))
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
