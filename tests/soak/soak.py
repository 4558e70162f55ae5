#!/usr/bin/env python3
"""Seeded random fault soak of the real updater against emulated calculators.

Every schedule comes from random.Random(seed) alone: the image set, the
calculators and their faults, the decoy disk. Each run is judged from what
the calculators hold and what their journals say; of the updater only its
exit status is used, to know what it claimed. See docs/soak.md.
"""

import argparse
import concurrent.futures
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SECTOR = 512
CHUNK = 16384
COMMAND_WINDOW = 87040
CMD_FINISH = 0xBEC1
CMD_DATA = 0xBEC6
CMD_PROGRESS = 0xBEDC
SLOTS = 16  # calculators one update can write at once
DECOY = "stick"

LEGACY = [("APPSDISK.DAT", "app", 0x500000), ("KORVAARM.ROM", "os", 0),
          ("MASTER.DAT", "master", 0x100000)]
PREFIXED = [("NORZA_APP.DAT", "app", 0x500000), ("NORZA_OS.ROM", "os", 0),
            ("NORZA_MASTER.DAT", "master", 0x100000)]
MAX_SIZE = {"app": 256 << 10, "os": 512 << 10, "master": 512 << 10}

CLASSES = ["crash", "hang", "stray write", "false success", "missing finish", "wrong names",
           "correct success", "correct failure"]
BAD = {"crash", "hang", "stray write", "false success", "missing finish", "wrong names"}
COMMAND_SHARE = 0.3  # schedules run by norza-link update instead of the window


# ---------------------------------------------------------------------------
# Schedules

def image_size(rng, kind):
    top = MAX_SIZE[kind]
    if rng.random() < 0.8:
        return SECTOR * rng.randint(1, top // SECTOR)
    return rng.randint(1, top)  # a partial last sector, most of the time


def writes_of(size):
    """Positional data writes an image costs when nothing fails."""
    return (size + CHUNK - 1) // CHUNK


def vanish_point(rng, chunks):
    """A write count landing at the first write, inside an image or right
    after an image's last chunk (for the last image: after the last chunk
    of the whole update)."""
    phase = rng.choice(["first", "mid", "mid", "end", "end"])
    if phase == "first" or sum(chunks) == 0:
        return 0, "first write"
    images = [i for i, c in enumerate(chunks) if c > 0]
    i = rng.choice(images)
    before = sum(chunks[:i])
    if phase == "mid" and chunks[i] > 1:
        return before + rng.randint(1, chunks[i] - 1), f"inside image {i + 1}"
    return before + chunks[i], f"after image {i + 1}"


def make_faults(rng, chunks, allow_late):
    r = rng.random()
    if r < 0.70:
        return [], "none"
    if r < 0.78:
        band = rng.random()
        if band < 0.5:
            n = rng.randint(1, 6)  # absorbed by the per-chunk retries
        elif band < 0.85:
            n = rng.randint(7, 35)  # one to five failed attempts at an image
        else:
            n = rng.randint(42, 60)  # more failed attempts than the updater makes
        return ["--fail-writes", str(n)], f"fail-writes={n}"
    if r < 0.83:
        n = rng.randint(1, 40)
        return (["--reject-command", hex(CMD_PROGRESS), "--reject-count", str(n)],
                f"reject-progress={n}")
    if r < 0.90 and allow_late:
        n = rng.choice([rng.randint(1, 5), rng.randint(1, 12)])
        return ["--appear-after-polls", str(n)], f"appear-after-polls={n}"
    n, where = vanish_point(rng, chunks)
    options = ["--vanish-after-writes", str(n)]
    text = f"vanish-after-writes={n} ({where})"
    if rng.random() < 0.6:
        m = rng.randint(1, 6)
        options += ["--return-after-polls", str(m)]
        text += f" return-after-polls={m}"
        if rng.random() < 0.35:
            # Another calculator under the same path: it holds nothing.
            options += ["--return-blank", "1"]
            text += " return-blank"
    return options, text


def make_schedule(seed):
    rng = random.Random(seed)
    names = PREFIXED if rng.random() < 0.5 else LEGACY
    images = []
    for file_name, kind, offset in names:
        images.append({"file": file_name, "kind": kind, "offset": offset,
                       "size": image_size(rng, kind)})
    empty = rng.random() < 0.02
    if empty:
        rng.choice(images)["size"] = 0
    # The updater sends the set in name order.
    order = sorted(images, key=lambda image: image["file"].upper())
    chunks = [writes_of(image["size"]) for image in order]
    crowd = rng.random() < 0.03
    # One to three calculators as often as the rest together: a lone
    # calculator that vanishes is the hardest case for the updater.
    if crowd:
        count = SLOTS + 1
    else:
        count = rng.randint(1, 3) if rng.random() < 0.5 else rng.randint(4, SLOTS)
    calculators = []
    for i in range(count):
        options, text = make_faults(rng, chunks, allow_late=not crowd)
        calculators.append({"name": f"calc-{i + 1:02d}", "options": options, "faults": text})
    schedule = {
        "seed": seed,
        "images": images,
        "empty": empty,
        "crowd": crowd,
        "calculators": calculators,
        "decoy": rng.random() < 0.85,
        "bytes_seed": rng.getrandbits(64),
        "image_fault": None,
    }
    # An image file that changes after the scan: cut short, grown (still
    # being copied) or replaced by another file of the same size, during the
    # countdown or once the first data reached a calculator.
    if not empty and rng.random() < 0.1:
        schedule["image_fault"] = {"kind": rng.choice(["truncate", "grow", "replace"]),
                                   "file": rng.choice(images)["file"],
                                   "when": rng.choice(["countdown", "first write"])}
    schedule["front"] = "command" if rng.random() < COMMAND_SHARE else "window"
    return schedule


def image_bytes(schedule):
    rng = random.Random(schedule["bytes_seed"])
    return {image["file"]: rng.randbytes(image["size"]) for image in schedule["images"]}


# ---------------------------------------------------------------------------
# One run

def change_image(fault, work, data):
    path = os.path.join(work, fault["file"])
    original = data[fault["file"]]
    if fault["kind"] == "truncate":
        os.truncate(path, len(original) // 2)
    elif fault["kind"] == "grow":
        with open(path, "ab") as f:
            f.write(b"\x5a" * 65536)
    else:
        with open(path + ".new", "wb") as f:
            f.write(bytes(b ^ 0xFF for b in original))
        os.replace(path + ".new", path)


def fault_is_due(fault, log, calcs):
    """The scan has run (its line is in the updater's log), or some calculator
    got its first data write. Only a trigger: the judge never reads the log."""
    try:
        if fault["when"] == "countdown":
            with open(log, encoding="utf-8", errors="replace") as f:
                return "image set in " in f.read()
        for name in os.listdir(calcs):
            if name.endswith(".journal"):
                with open(os.path.join(calcs, name), encoding="utf-8", errors="replace") as f:
                    if '"event":"write"' in f.read():
                        return True
    except OSError:
        pass
    return False


def change_image_when_due(fault, folder, work, calcs, data, stop):
    log = os.path.join(folder, "home", ".local", "state", "norza-updater", "updater.log")
    while not stop.wait(0.002):
        if fault_is_due(fault, log, calcs):
            change_image(fault, work, data)
            fault["applied"] = True
            return

def plug(emu, calcs, name, options):
    subprocess.run([emu, "plug", calcs, name, "--size", "8M"] + options, check=True,
                   stdout=subprocess.DEVNULL)


def run_front(schedule, build, folder, work, calcs, scale, timeout):
    """The window (norza-updater), or the command (norza-link update --json,
    its output kept for the judge), the same environment for both."""
    env = dict(os.environ)
    for key in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(key, None)
    private = {name: os.path.join(folder, name) for name in ("tmp", "home", "runtime")}
    for path in private.values():
        os.makedirs(path, mode=0o700, exist_ok=True)
    env.update(QT_QPA_PLATFORM="offscreen", NORZA_EMULATOR_DIR=calcs,
               NORZA_PACE_SCALE=str(scale), NORZA_EXIT_ON_FAILURE="1",
               TMPDIR=private["tmp"], HOME=private["home"], XDG_RUNTIME_DIR=private["runtime"])
    env.pop("XDG_STATE_HOME", None)  # the log under HOME, where the image fault looks
    if schedule["front"] == "command":
        command = [os.path.join(build, "bin", "norza-link"), "update", work, "--json", "--wait", "20"]
    else:
        command = [os.path.join(build, "bin", "norza-updater"), work, "1"]
    with open(os.path.join(folder, "updater.log"), "wb") as log, \
            open(os.path.join(folder, "command.json"), "wb") as out:
        process = subprocess.Popen(command, env=env, cwd=folder,
                                   stdout=out if schedule["front"] == "command" else log,
                                   stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return None


def read_journal(path):
    events = []
    try:
        with open(path, encoding="utf-8", errors="replace") as lines:
            for line in lines:
                try:
                    events.append(json.loads(line))
                except ValueError:
                    pass  # a line cut short by a killed process
    except FileNotFoundError:
        pass
    return events


def data_writes(events):
    """(index, offset, length) of every data write that landed."""
    writes = []
    for i, e in enumerate(events):
        if e.get("event") == "write":
            writes.append((i, e["offset"], e["length"]))
        elif e.get("event") == "command" and e.get("code") == CMD_DATA and e.get("offset", -1) >= 0:
            writes.append((i, e["offset"], e["parameter"] & 0xFFFF))
    return writes


def holds(disk, image, data):
    try:
        with open(disk, "rb") as f:
            f.seek(image["offset"])
            return f.read(len(data)) == data
    except OSError:
        return False


def named_by_command(folder):
    """The calculators the command's JSON says were not updated."""
    named = set()
    try:
        with open(os.path.join(folder, "command.json"), encoding="utf-8", errors="replace") as f:
            for line in f:
                try:
                    event = json.loads(line)
                except ValueError:
                    continue
                if event.get("event") == "calculator" and event.get("outcome") != "updated":
                    named.add(event.get("serial"))
    except OSError:
        pass
    return named


def judge(schedule, data, calcs, exit_code, folder=None):
    """The class of a run and the reasons seen."""
    command = schedule.get("front") == "command"
    if command and exit_code == 3 and schedule["empty"]:
        exit_code = 1  # "no image set in FOLDER": the command's way to refuse
    not_updated = set()
    regions = [(image["offset"], image["offset"] + -(-image["size"] // SECTOR) * SECTOR)
               for image in schedule["images"]]
    claims_success = exit_code == 0
    stray, false, missing = [], [], []
    incomplete, absent = [], []
    writes_total = 0
    for calc in schedule["calculators"]:
        name = calc["name"]
        events = read_journal(os.path.join(calcs, name + ".journal"))
        took_part = any(e.get("event") == "open" for e in events)
        complete = all(holds(os.path.join(calcs, name + ".disk"), image, data[image["file"]])
                       for image in schedule["images"])
        writes = data_writes(events)
        writes_total += len(writes)
        finishes = [i for i, e in enumerate(events)
                    if e.get("event") == "command" and e.get("code") == CMD_FINISH]
        label = f"{name} ({calc['faults']})"
        for _, offset, length in writes:
            end = offset + length
            if not any(lo <= offset and end <= hi for lo, hi in regions):
                stray.append(f"{label} written at {offset}+{length}")
                break
        wrong = []
        if finishes and not complete:
            wrong.append("got CMD_FINISH while incomplete")
        if finishes and writes and writes[-1][0] > finishes[0]:
            wrong.append("written after its CMD_FINISH")
        if claims_success and not complete and (took_part or schedule["crowd"]):
            wrong.append("incomplete at a claimed success"
                         + ("" if took_part else f", one of {len(schedule['calculators'])}"))
        if wrong:
            false.append(f"{label} " + ", ".join(wrong))
        if took_part and not complete:
            incomplete.append(calc)
        if took_part and not (complete and finishes):
            not_updated.add(name)
        if not took_part:
            absent.append(calc)
        if claims_success and took_part and complete and not (
                finishes and (not writes or finishes[-1] > writes[-1][0])):
            missing.append(f"{label} has no CMD_FINISH after its last write")
    if schedule["decoy"]:
        for e in read_journal(os.path.join(calcs, DECOY + ".journal")):
            if e.get("event") in ("open", "write", "command"):
                stray.append(f"decoy disk saw {e.get('event')}")
                break
    if claims_success:
        if writes_total == 0:
            false.append("success claimed with nothing written")
        if schedule["empty"]:
            false.append("success claimed with an empty image in the set")

    wrong_names = []
    if command and exit_code == 1 and not schedule["empty"]:
        named = named_by_command(folder) if folder else set()
        finished = {calc["name"] for calc in schedule["calculators"]
                    if any(e.get("event") == "command" and e.get("code") == CMD_FINISH
                           for e in read_journal(os.path.join(calcs, calc["name"] + ".journal")))}
        for name in sorted(not_updated - named):
            wrong_names.append(f"{name} is not updated but was not named")
        for name in sorted(named):
            if name in finished and name not in not_updated:
                wrong_names.append(f"{name} was named but holds every image and was told")
            elif name in finished:
                wrong_names.append(f"{name} was named and got CMD_FINISH")

    if exit_code is None:
        kind, reasons = "hang", ["no exit within the timeout"]
    elif exit_code not in (0, 1):
        kind, reasons = "crash", [f"exit status {exit_code}"]
    elif stray:
        kind, reasons = "stray write", stray
    elif false:
        kind, reasons = "false success", false
    elif missing:
        kind, reasons = "missing finish", missing
    elif wrong_names:
        kind, reasons = "wrong names", wrong_names
    elif claims_success:
        kind, reasons = "correct success", []
    else:
        kind, reasons = "correct failure", []
    return {"class": kind, "reasons": reasons, "incomplete": incomplete, "absent": absent,
            "writes": writes_total}


def fault_kind(calc):
    faults = calc["faults"]
    if faults.startswith("vanish"):
        if "return-blank" in faults:
            return "replaced by a blank calculator"
        return "vanished and came back" if "return" in faults else "vanished for good"
    if faults.startswith("fail-writes"):
        return "write failures"
    if faults.startswith("appear"):
        return "late arrival"
    return None  # no fault, or only refused progress reports


def failure_key(schedule, verdict):
    """Why a run that ended in a failure failed, as far as the bytes show:
    the faults of the calculators left incomplete."""
    if schedule["empty"]:
        return "an image is empty"
    fault = schedule.get("image_fault")
    if fault and fault.get("applied"):
        done = {"truncate": "cut short", "grow": "grown", "replace": "replaced"}[fault["kind"]]
        return f"an image file {done} ({fault['when']})"
    if not verdict["incomplete"]:
        return "no calculator opened" if verdict["absent"] else "every calculator complete"
    kinds = {fault_kind(calc) for calc in verdict["incomplete"]} - {None}
    if not kinds:
        return "incomplete, none by a fault of its own"
    return "incomplete: " + ", ".join(sorted(kinds))


def run_one(seed, options):
    schedule = make_schedule(seed)
    folder = tempfile.mkdtemp(prefix=f"norza-soak-{seed}-")
    work, calcs = os.path.join(folder, "work"), os.path.join(folder, "calcs")
    os.makedirs(work)
    data = image_bytes(schedule)
    for image in schedule["images"]:
        with open(os.path.join(work, image["file"]), "wb") as f:
            f.write(data[image["file"]])
    emu = os.path.join(options.build, "bin", "norza-emu")
    for calc in schedule["calculators"]:
        plug(emu, calcs, calc["name"], calc["options"])
    if schedule["decoy"]:
        plug(emu, calcs, DECOY, ["--vendor", "Generic", "--product", "Flash Disk"])
    with open(os.path.join(folder, "schedule.json"), "w") as f:
        json.dump(schedule, f, indent=1)
    started = time.monotonic()
    stop = threading.Event()
    changer = None
    if schedule["image_fault"]:
        changer = threading.Thread(target=change_image_when_due,
                                   args=(schedule["image_fault"], folder, work, calcs, data, stop))
        changer.start()
    exit_code = run_front(schedule, options.build, folder, work, calcs, options.scale,
                          options.timeout)
    stop.set()
    if changer:
        changer.join()
    # Judged by the image as the scan found it: a calculator holds that, or
    # it is incomplete.
    verdict = judge(schedule, data, calcs, exit_code, folder)
    verdict.update(seed=seed, folder=folder, exit=exit_code, schedule=schedule,
                   seconds=time.monotonic() - started)
    if verdict["class"] in BAD:
        with open(os.path.join(folder, "verdict.txt"), "w") as f:
            f.write(verdict["class"] + "\n" + "\n".join(verdict["reasons"]) + "\n")
    else:
        shutil.rmtree(folder, ignore_errors=True)
        verdict["folder"] = None
    return verdict


# ---------------------------------------------------------------------------

def replay_line(seed, options):
    line = f"bash scripts/soak.sh --seed {seed} --runs 1 --jobs 1"
    if os.path.abspath(options.build) != os.path.abspath(options.default_build):
        line += f" --build {options.build}"
    if options.scale != 0.01:
        line += f" --scale {options.scale}"
    return line


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--build", default="build")
    parser.add_argument("--scale", type=float, default=0.01)
    parser.add_argument("--timeout", type=float, default=90.0, help="seconds before a run is a hang")
    options = parser.parse_args()
    options.default_build = "build"
    options.build = os.path.abspath(options.build)
    for tool in ("norza-updater", "norza-link", "norza-emu"):
        if not os.access(os.path.join(options.build, "bin", tool), os.X_OK):
            sys.exit(f"soak: no {tool} in {options.build}/bin")

    seeds = [options.seed + i for i in range(options.runs)]
    started = time.monotonic()
    verdicts = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        futures = [pool.submit(run_one, seed, options) for seed in seeds]
        for done, future in enumerate(concurrent.futures.as_completed(futures), 1):
            verdicts.append(future.result())
            if sys.stdout.isatty():
                print(f"\r{done}/{len(seeds)} runs", end="", flush=True)
    if sys.stdout.isatty():
        print()
    verdicts.sort(key=lambda v: v["seed"])
    elapsed = time.monotonic() - started

    counts = {kind: 0 for kind in CLASSES}
    for v in verdicts:
        counts[v["class"]] += 1
    print(f"soak: {len(verdicts)} schedules, seeds {seeds[0]}..{seeds[-1]}, scale {options.scale}, "
          f"{options.jobs} jobs, {elapsed:.0f} s, build {options.build}")
    print()
    fronts = ("window", "command")
    by_front = {front: {kind: 0 for kind in CLASSES} for front in fronts}
    for v in verdicts:
        by_front[v["schedule"].get("front", "window")][v["class"]] += 1
    print(f"  {'class':<18}{'runs':>5}{'window':>8}{'command':>9}")
    for kind in CLASSES:
        print(f"  {kind:<18}{counts[kind]:>5}{by_front['window'][kind]:>8}"
              f"{by_front['command'][kind]:>9}")

    failures = {}
    for v in verdicts:
        if v["exit"] == 1:
            failures.setdefault(failure_key(v["schedule"], v), []).append(v["seed"])
    if failures:
        print()
        print("runs that claimed failure (exit 1), by what the disks show:")
        for key, runs in sorted(failures.items(), key=lambda item: -len(item[1])):
            shown = " ".join(str(s) for s in runs[:12]) + (" ..." if len(runs) > 12 else "")
            print(f"  {len(runs):>4}  {key}: seeds {shown}")

    bad = [v for v in verdicts if v["class"] in BAD]
    if bad:
        print()
        print("runs to look at:")
        for v in bad:
            print(f"  seed {v['seed']}: {v['class']}: {'; '.join(v['reasons'][:3])}"
                  + (f" (+{len(v['reasons']) - 3} more)" if len(v["reasons"]) > 3 else ""))
            print(f"    folder: {v['folder']}")
            print(f"    replay: {replay_line(v['seed'], options)}")
    print()
    print("soak: " + ("FAIL" if bad else "PASS"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
