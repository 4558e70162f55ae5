#!/usr/bin/env python3
"""Checks an emulated calculator's journal after a complete update and
measures the data phase from its time-stamped copy.

usage: journal_check.py JOURNAL TIMING IMAGES
  JOURNAL  DIR/NAME.journal (one JSON event per line)
  TIMING   the same events with a steady-clock time stamp in ns in front
           (norza-emu-fuse --timing)
  IMAGES   how many images the update wrote (3)

For every image, in order: the 15360-byte window read, CMD_PROGRESS 0, the
data writes with rising whole-number progress below 100, a flush after the
last write, CMD_PROGRESS 100, the 15872-byte window read; at the end a
15360-byte window read and CMD_FINISH. Reads outside the command window
(a system probing the device) are ignored. Prints the throughput of the data
phases: from CMD_PROGRESS 0 to the last data write of each image.
"""
import json
import sys


def load(path, timed):
    events = []
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.strip()
        if not line:
            continue
        stamp = None
        if timed:
            stamp, line = line.split(" ", 1)
            stamp = int(stamp)
        event = json.loads(line)
        event["t"] = stamp
        event["line"] = number
        events.append(event)
    return events


def relevant(event):
    kind = event["event"]
    return kind in ("command", "write", "flush", "window-read", "error", "fault")


def describe(event):
    kind = event["event"]
    if kind == "command":
        return f'{event["name"]} {event["parameter"]}'
    if kind == "window-read":
        return f'window-read {event["length"]}'
    if kind == "write":
        return f'write {event["offset"]}+{event["length"]}'
    return kind


def check(events, images):
    """A list of problems, and [(bytes, ns)] per image."""
    problems, phases = [], []
    seq = [e for e in events if relevant(e)]
    for bad in (e for e in seq if e["event"] in ("error", "fault")):
        problems.append(f'line {bad["line"]}: {describe(bad)}')
    seq = [e for e in seq if e["event"] not in ("error", "fault")]
    i = 0

    def expect(what, test):
        nonlocal i
        # Flushes may come after any write (O_SYNC): only the one after the
        # last data write is required.
        while i < len(seq) and seq[i]["event"] == "flush" and what != "flush":
            i += 1
        if i >= len(seq) or not test(seq[i]):
            got = describe(seq[i]) if i < len(seq) else "the end of the journal"
            problems.append(f"expected {what}, found {got}")
            return None
        i += 1
        return seq[i - 1]

    for image in range(images):
        if problems:
            break
        expect("window-read 15360", lambda e: e["event"] == "window-read" and e["length"] == 15360)
        start = expect("CMD_PROGRESS 0", lambda e: e.get("name") == "CMD_PROGRESS" and e["parameter"] == 0)
        if start is None:
            break
        written, last, percent, last_write = 0, None, 0, None
        while i < len(seq):
            e = seq[i]
            if e["event"] == "write":
                written += e["length"]
                last_write = e
            elif e.get("name") == "CMD_PROGRESS" and e["parameter"] < 100:
                if e["parameter"] <= percent:
                    problems.append(f'image {image + 1}: progress {e["parameter"]} after {percent}')
                percent = e["parameter"]
            elif e["event"] != "flush":
                break
            last = e
            i += 1
        if last_write is None:
            problems.append(f"image {image + 1}: no data written")
            break
        if last is None or last["event"] != "flush":
            problems.append(f"image {image + 1}: no flush after the last data write")
        expect("CMD_PROGRESS 100", lambda e: e.get("name") == "CMD_PROGRESS" and e["parameter"] == 100)
        expect("window-read 15872", lambda e: e["event"] == "window-read" and e["length"] == 15872)
        if start["t"] is not None:
            phases.append((written, last_write["t"] - start["t"]))
    if not problems:
        expect("window-read 15360", lambda e: e["event"] == "window-read" and e["length"] == 15360)
        expect("CMD_FINISH", lambda e: e.get("name") == "CMD_FINISH")
        rest = [describe(e) for e in seq[i:] if e["event"] != "flush"]
        if rest:
            problems.append("after CMD_FINISH: " + ", ".join(rest))
    return problems, phases


def main(journal, timing, images):
    events = load(journal, timed=False)
    timed = load(timing, timed=True)
    if [describe(e) for e in events] != [describe(e) for e in timed]:
        print("FAIL the timing file does not hold the journal's events")
        return 1
    problems, phases = check(timed, images)
    for problem in problems:
        print("FAIL " + problem)
    if problems:
        return 1
    print(f"ok   protocol sequence of {images} images and CMD_FINISH ({len(events)} events)")
    total_bytes = sum(b for b, _ in phases)
    total_ns = sum(t for _, t in phases)
    for n, (b, t) in enumerate(phases, 1):
        print(f"     image {n}: {b} bytes in {t / 1e6:.1f} ms = {b / (t / 1e9) / 1e6:.1f} MB/s")
    print(f"throughput: {total_bytes} bytes in {total_ns / 1e6:.1f} ms = "
          f"{total_bytes / (total_ns / 1e9):.0f} bytes/s ({total_bytes / (total_ns / 1e9) / 1e6:.1f} MB/s)")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2], int(sys.argv[3])))
