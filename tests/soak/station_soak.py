#!/usr/bin/env python3
"""Seeded random batches of calculators against the real norza-station.

Every schedule comes from random.Random(seed) alone: the image set, the
batches of calculators (new ones, and ones plugged in again), their faults,
the calculators the driver pulls mid-transfer, the late arrivals, the decoy
disk, a crowd of seventeen, and whether the station is stopped mid-batch.
One station runs the whole schedule; the driver moves on when the
calculators' journals and the station's history show every round of a
batch ended. Each run is judged from what the calculators hold, what their
journals say and what the history records. See docs/soak.md.
"""

import argparse
import bisect
import concurrent.futures
import csv
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak  # noqa: E402  (the window's soak: image names, journal helpers)
from soak import CHUNK, CMD_FINISH, CMD_PROGRESS, DECOY, LEGACY, PREFIXED, SECTOR  # noqa: E402

SLOTS = soak.SLOTS
WRITE_TRIES = 7  # the link's attempts at one chunk
ATTEMPTS = 6  # a calculator's failed attempts before it is given up
GIVE_UP_WRITES = WRITE_TRIES * ATTEMPTS  # failed writes that use up every attempt
GONE_CODES = {107, 112, 113, 119}  # what a round that saw its calculator go may end with
STOPPED = "stopped before it was updated"
# A hidden disk (appear-after-polls never runs out) whose journal gets one
# line per discovery pass of the station: the driver's clock.
METER = "pass-meter"
METER_POLLS = 1_000_000_000
MAX_CHUNKS = 6  # per image

CLASSES = ["crash", "hang", "stray write", "finished lacking an image", "false updated",
           "written after finish", "written after given up", "finished without rewrite",
           "crowd write", "cut transfer", "healthy failed", "wrong outcome",
           "gone while attached", "missing line", "extra line", "wrong record", "stuck round",
           "correct"]
BAD = set(CLASSES) - {"correct"}


# ---------------------------------------------------------------------------
# Schedules

def image_size(rng):
    if rng.random() < 0.8:
        return SECTOR * rng.randint(1, MAX_CHUNKS * CHUNK // SECTOR)
    return rng.randint(1, MAX_CHUNKS * CHUNK)  # a partial last sector, most of the time


def in_order(images):
    """The images in the order the station writes them: by name."""
    return sorted(images, key=lambda image: image["file"].upper())


def make_fault(rng, total_writes):
    """None (most calculators) or one fault: its kind, number, options, words."""
    r = rng.random()
    if r < 0.70:
        return None
    if r < 0.79:
        band = rng.random()
        if band < 0.45:
            n = rng.randint(1, WRITE_TRIES - 1)  # absorbed by the retries of a chunk
        elif band < 0.75:
            n = rng.randint(WRITE_TRIES, GIVE_UP_WRITES - 1)  # one to five failed attempts
        else:
            n = rng.randint(GIVE_UP_WRITES, GIVE_UP_WRITES + 8)  # every attempt fails
        return {"kind": "fail-writes", "n": n, "options": ["--fail-writes", str(n)]}
    if r < 0.83:
        n = rng.randint(1, 30)
        return {"kind": "reject-progress", "n": n,
                "options": ["--reject-command", hex(CMD_PROGRESS), "--reject-count", str(n)]}
    if r < 0.85:
        n = rng.randint(1, 20)
        return {"kind": "reject-next", "n": n, "options": ["--reject-next", str(n)]}
    if r < 0.89:
        n = rng.randint(1, 12)
        return {"kind": "appear-after-polls", "n": n, "options": ["--appear-after-polls", str(n)]}
    if r < 0.93:
        n = rng.randint(1, 5) if rng.random() < 0.5 else rng.randint(6, 14)
        return {"kind": "deny-opens", "n": n, "options": ["--deny-opens", str(n)]}
    n = rng.randint(0, total_writes)  # the first write, inside, or after the last of the round
    fault = {"kind": "vanish", "n": n, "options": ["--vanish-after-writes", str(n)]}
    if rng.random() < 0.6:
        m = rng.randint(1, 6)
        fault["return"] = m
        fault["options"] += ["--return-after-polls", str(m)]
        if rng.random() < 0.35:
            fault["blank"] = True
            fault["options"] += ["--return-blank", "1"]
    return fault


def fault_words(fault):
    if fault is None:
        return "healthy"
    text = f"{fault['kind']}={fault['n']}"
    if "return" in fault:
        text += f" return-after-polls={fault['return']}" + (" blank" if fault.get("blank") else "")
    return text


def make_port(rng, taken):
    while True:
        port = f"{rng.randint(1, 4)}-{rng.randint(1, 4)}"
        for _ in range(rng.randint(0, 2)):
            port += f".{rng.randint(1, 7)}"
        if port not in taken:
            taken.add(port)
            return port


def new_name(rng, used):
    while True:
        # Lower case: discovery reads the serial out of the interface path,
        # which is folded to lower case on every platform.
        name = f"n{rng.randrange(100000):05d}"
        if name not in used:
            used.add(name)
            return name


def make_schedule(seed):
    rng = random.Random(seed)
    names = PREFIXED if rng.random() < 0.5 else LEGACY
    images = [{"file": file_name, "kind": kind, "offset": offset, "size": image_size(rng)}
              for file_name, kind, offset in names]
    chunks = [soak.writes_of(image["size"]) for image in in_order(images)]
    total_writes = sum(chunks)
    count = rng.choice([2, 2, 2, 3, 3, 4])
    crowd = None
    if rng.random() < 0.08:
        # Seventeen attached: plugged together, or a seventeenth arriving
        # while sixteen are being written.
        crowd = {"batch": rng.randrange(count), "kind": rng.choice(["together", "arrival"]),
                 "remove": rng.randrange(SLOTS + 1)}
    used = set()
    batches = []
    for b in range(count):
        crowded = crowd is not None and crowd["batch"] == b
        if crowded:
            size = SLOTS + 1
        else:
            size = rng.randint(1, 3) if rng.random() < 0.4 else rng.randint(4, SLOTS)
        again = []
        if batches and rng.random() < 0.5:
            previous = [c["name"] for c in batches[-1]["calculators"]]
            again = rng.sample(previous, rng.randint(1, min(size, len(previous))))
        ports = set()
        calculators = []
        for i in range(size):
            name = again[i] if i < len(again) else new_name(rng, used)
            port = make_port(rng, ports) if rng.random() < 0.7 else ""
            calc = {"name": name, "port": port, "again": i < len(again), "fault": None,
                    "pull": None, "late": None}
            if not crowded:
                calc["fault"] = make_fault(rng, total_writes)
                if calc["fault"] is None and rng.random() < 0.12:
                    image = rng.randrange(3)
                    calc["pull"] = {"image": image, "write": rng.randint(1, chunks[image]),
                                    "back": rng.random() < 0.6}
            calculators.append(calc)
        if not crowded and rng.random() < 0.3:
            # Plugged in by the driver some discovery passes into the batch.
            rng.choice(calculators)["late"] = {"passes": rng.randint(1, 60)}
        if crowded and crowd["kind"] == "arrival":
            calculators[-1]["late"] = {"first write": True}
        rng.shuffle(calculators)
        batches.append({"calculators": calculators, "crowd": crowded})
    stop = None
    if rng.random() < 0.3:
        # SIGTERM while the last batch runs: after some passes, or once a
        # calculator of it has written part of an image.
        last = batches[-1]["calculators"]
        if rng.random() < 0.5:
            stop = {"passes": rng.randint(2, 80)}
        else:
            image = rng.randrange(3)
            stop = {"calculator": rng.choice(last)["name"], "image": image,
                    "write": rng.randint(1, chunks[image])}
    return {"seed": seed, "images": images, "batches": batches, "crowd": crowd, "stop": stop,
            "decoy": rng.random() < 0.85, "bytes_seed": rng.getrandbits(64)}


# ---------------------------------------------------------------------------
# Following files as they grow

class Follower:
    """A file read as it grows, complete lines only."""

    def __init__(self, path):
        self.path = path
        self.offset = 0  # bytes consumed, complete lines only
        self.rest = b""

    def lines(self):
        try:
            size = os.stat(self.path).st_size
        except FileNotFoundError:
            return []
        if size <= self.offset + len(self.rest):
            return []
        with open(self.path, "rb") as f:
            f.seek(self.offset + len(self.rest))
            data = self.rest + f.read(size - self.offset - len(self.rest))
        parts = data.split(b"\n")
        self.rest = parts.pop()
        self.offset += len(data) - len(self.rest)
        return parts


def parse_event(line):
    try:
        event = json.loads(line)
    except ValueError:
        return None
    return event if isinstance(event, dict) else None


def regions_of(images):
    """(start, end) of each image in transfer order, rounded up to whole sectors."""
    return [(image["offset"], image["offset"] + -(-image["size"] // SECTOR) * SECTOR)
            for image in in_order(images)]


def image_of(regions, offset):
    for i, (lo, hi) in enumerate(regions):
        if lo <= offset < hi:
            return i
    return None


def holds_all(path, images, data):
    return [soak.holds(path, image, data[image["file"]]) for image in in_order(images)]


# ---------------------------------------------------------------------------
# One run: the driver

class Period:
    """One stretch of a calculator plugged in by the driver."""

    def __init__(self, calc, batch, start):
        self.name = calc["name"]
        self.batch = batch
        self.port = calc["port"]
        self.fault = calc["fault"]
        self.pulled = False  # by the driver, mid-batch
        self.start = start  # journal offset where it begins
        self.end = "attached"  # batch end, pull, crowd removal, or attached at the stop
        self.holds = None  # at its end, by image
        self.stop_open = False  # still running when the station was told to stop
        self.stuck = False
        # What the driver follows meanwhile.
        self.writes = [0, 0, 0]
        self.returns = 0
        self.vanished = False
        self.lines = 0
        self.open_at_unplug = False
        self.told = False  # the running round got CMD_FINISH
        self.failed_writes = 0  # in the running round
        self.again = False  # the name was plugged in before
        self.back = False  # plugged back in after the driver pulled it

    def healthy(self):
        return self.fault is None and not self.pulled and self.end != "crowd removal"


class Driver:
    def __init__(self, schedule, options, folder):
        self.schedule = schedule
        self.options = options
        self.folder = folder
        self.calcs = os.path.join(folder, "calcs")
        self.stage_dir = os.path.join(folder, "stage")
        self.work = os.path.join(folder, "work")
        self.emu = os.path.join(options.build, "bin", "norza-emu")
        self.regions = regions_of(schedule["images"])
        self.data = soak.image_bytes({"bytes_seed": schedule["bytes_seed"],
                                      "images": schedule["images"]})
        self.periods = {}  # name -> [Period]
        self.journals = {}  # name -> Follower
        self.history = Follower(os.path.join(folder, "state", "norza-station", "history.csv"))
        self.meter = Follower(os.path.join(self.calcs, METER + ".journal"))
        self.passes = 0
        self.lines = []  # the history rows, in order
        self.findings = []  # (class, text) seen while driving
        self.log = open(os.path.join(folder, "driver.log"), "w")
        self.started = time.monotonic()
        self.process = None
        self.exit = None
        self.stopped_early = False
        self.sigterm_at = None
        self.stop_seconds = None

    def note(self, text):
        self.log.write(f"{time.monotonic() - self.started:8.3f} pass {self.passes:5d}  {text}\n")

    # -- the emulator directory ----------------------------------------------

    def stage(self, calcs):
        """norza-emu plug of each into the staging folder, all at once."""
        running = []
        for calc in calcs:
            options = ["--size", "8M"] + (["--port", calc["port"]] if calc["port"] else [])
            options += calc["fault"]["options"] if calc["fault"] else []
            running.append(subprocess.Popen([self.emu, "plug", self.stage_dir, calc["name"]]
                                            + options, stdout=subprocess.DEVNULL))
        for process in running:
            if process.wait() != 0:
                raise RuntimeError(f"norza-emu plug failed: {process.args}")

    def plug(self, calc, batch):
        """Moves a staged calculator in: its faults and identity first, then
        its disk (the one it had, when it was plugged in before)."""
        name = calc["name"]
        base = os.path.join(self.calcs, name)
        for extension in (".faults", ".identity", ".gone"):
            if os.path.exists(base + extension):
                os.remove(base + extension)
        for extension in (".faults", ".identity"):
            staged = os.path.join(self.stage_dir, name + extension)
            if os.path.exists(staged):
                os.replace(staged, base + extension)
        follower = self.journals.setdefault(name, Follower(base + ".journal"))
        self.follow(name)
        try:
            start = os.stat(base + ".journal").st_size
        except FileNotFoundError:
            start = 0
        periods = self.periods.setdefault(name, [])
        if periods and periods[-1].holds is None:
            periods[-1].holds = holds_all(base + ".away", self.schedule["images"], self.data)
        period = Period(calc, batch, start)
        period.again = bool(periods)
        period.back = bool(calc.get("back"))
        follower.period = period
        periods.append(period)
        staged = os.path.join(self.stage_dir, name + ".disk")
        if os.path.exists(base + ".away"):
            if os.path.exists(staged):
                os.remove(staged)
            os.replace(base + ".away", base + ".disk")
        else:
            os.replace(staged, base + ".disk")
        self.note(f"plug {name} port {calc['port'] or '-'} {fault_words(calc['fault'])}"
                  + (" (again)" if len(periods) > 1 else "") + f", journal at {start}")
        return period

    def unplug(self, name, end):
        base = os.path.join(self.calcs, name)
        os.replace(base + ".disk", base + ".away")
        period = self.periods[name][-1]
        period.end = end
        # Whether the history still owed its running round a line.
        period.open_at_unplug = period.lines < 1 + period.returns
        self.note(f"unplug {name} ({end}), journal at {self.journal_size(name)}")

    # -- what the files show -------------------------------------------------

    def follow(self, name):
        follower = self.journals[name]
        period = getattr(follower, "period", None)
        for line in follower.lines():
            event = parse_event(line)
            if event is None or period is None:
                continue
            kind = event.get("event")
            if kind == "write":
                i = image_of(self.regions, event.get("offset", -1))
                if i is not None:
                    period.writes[i] += 1
            elif kind == "fault" and event.get("kind") in ("return", "return-blank"):
                period.returns += 1
                period.told, period.failed_writes = False, 0
            elif kind == "fault" and event.get("kind") == "vanish":
                period.vanished = True
            elif kind == "fault" and event.get("kind") == "fail-write":
                period.failed_writes += 1
            elif kind == "command" and event.get("code") == CMD_FINISH:
                period.told = True

    def follow_history(self):
        for line in self.history.lines():
            text = line.decode("utf-8", "replace")
            if not text or text.startswith("time,"):
                continue
            row = next(csv.reader([text]), [])
            self.lines.append(row)
            name = row[1] if len(row) > 1 else ""
            if name in self.periods:
                self.periods[name][-1].lines += 1
            self.note(f"history: {text[:20]} {','.join(row[1:3] + row[4:6])}")

    def poll(self):
        for line in self.meter.lines():
            self.passes += 1
        self.follow_history()
        if self.process is not None and self.exit is None and self.process.poll() is not None:
            self.exit = self.process.returncode
            self.findings.append(("crash", f"the station exited by itself (status {self.exit})"))
            self.note(f"station exited with {self.exit}")

    def wait_passes(self, n, bound=10.0):
        """Until the station made n more discovery passes."""
        target = self.passes + n
        deadline = time.monotonic() + bound
        while self.passes < target and time.monotonic() < deadline and self.exit is None:
            time.sleep(0.003)
            self.poll()

    # -- the station ---------------------------------------------------------

    def start_station(self):
        env = dict(os.environ)
        for key in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(key, None)
        private = {}
        for name in ("tmp", "home", "runtime", "state"):
            private[name] = os.path.join(self.folder, name)
            os.makedirs(private[name], mode=0o700, exist_ok=True)
        env.update(QT_QPA_PLATFORM="offscreen", NORZA_EMULATOR_DIR=self.calcs,
                   NORZA_PACE_SCALE=str(self.options.scale), TMPDIR=private["tmp"],
                   HOME=private["home"], XDG_RUNTIME_DIR=private["runtime"],
                   XDG_STATE_HOME=private["state"])
        self.output = open(os.path.join(self.folder, "station.log"), "wb")
        self.process = subprocess.Popen(
            [os.path.join(self.options.build, "bin", "norza-station"), self.work], env=env,
            cwd=self.folder, stdout=self.output, stderr=self.output, stdin=subprocess.DEVNULL,
            start_new_session=True)
        self.note("station started")

    def stop_station(self):
        if self.exit is not None:
            return
        self.sigterm_at = time.monotonic()
        self.note("SIGTERM")
        self.process.send_signal(signal.SIGTERM)
        try:
            self.exit = self.process.wait(timeout=self.options.stop_timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            self.exit = "hang"
            self.findings.append(("hang", f"no exit within {self.options.stop_timeout:.0f} s "
                                          "of SIGTERM"))
            return
        if self.exit != 0:
            self.findings.append(("crash", f"exit status {self.exit} after SIGTERM"))
        self.stop_seconds = time.monotonic() - self.sigterm_at
        self.note(f"station exited with {self.exit}")

    # -- a batch ---------------------------------------------------------------

    def stop_due(self, batch, started_passes):
        stop = self.schedule["stop"]
        if stop is None or batch is not self.schedule["batches"][-1]:
            return False
        if "passes" in stop:
            return self.passes - started_passes >= stop["passes"]
        periods = self.periods.get(stop["calculator"])
        period = periods[-1] if periods else None
        return (period is not None and period.batch == len(self.schedule["batches"]) - 1
                and period.writes[stop["image"]] >= stop["write"])

    def run_batch(self, index, batch):
        """Returns False when the run cannot go on (the station is gone, or
        it was stopped mid-batch)."""
        calcs = batch["calculators"]
        self.stage(calcs)
        started_passes = self.passes
        state = {}  # name -> waiting, plugged, pulled, removed
        for calc in calcs:
            state[calc["name"]] = "waiting" if calc["late"] else "plugged"
        # Close together, so a pass sees all of them or few.
        for calc in calcs:
            if not calc["late"]:
                self.plug(calc, index)
        pulls = {calc["name"]: calc["pull"] for calc in calcs}  # those still to come
        pulled_at = {}  # name -> (passes, lines then, whether its round had ended)
        crowd = self.schedule["crowd"] if batch["crowd"] else None
        crowd_step = "wait" if crowd else None
        crowd_mark = None
        deadline = time.monotonic() + self.options.batch_timeout
        while True:
            fast = False
            for calc in calcs:
                name = calc["name"]
                if state[name] not in ("waiting",):
                    self.follow(name)
            self.poll()
            if self.exit is not None:
                return False
            if self.stop_due(batch, started_passes):
                self.stopped_early = True
                self.note("stop due")
                return False
            any_write = any(sum(self.periods[c["name"]][-1].writes) > 0
                            for c in calcs if state[c["name"]] != "waiting")
            for calc in calcs:
                name = calc["name"]
                late = calc["late"]
                if state[name] == "waiting":
                    if ("passes" in late and self.passes - started_passes >= late["passes"]) or \
                            (late.get("first write") and any_write):
                        self.plug(calc, index)
                        state[name] = "plugged"
                        if crowd:
                            crowd_step, crowd_mark = "settle", self.passes
                    continue
                period = self.periods[name][-1]
                pull = pulls[name]
                if state[name] == "plugged" and pull and not period.pulled:
                    fast = True
                    if period.lines >= 1 + period.returns or period.told:
                        pulls[name] = None  # its round ended first
                        self.note(f"{name}: round ended before its pull")
                    elif period.writes[pull["image"]] >= pull["write"]:
                        period.pulled = True
                        self.unplug(name, "pull")
                        state[name] = "pulled"
                        pulled_at[name] = (self.passes, period.lines,
                                           period.lines >= 1 + period.returns or period.told)
                elif state[name] == "pulled" and pull and pull["back"]:
                    passes, lines, ended = pulled_at[name]
                    if self.passes >= passes + 2 and (ended or period.lines > lines or
                                                      time.monotonic() > deadline - 1):
                        back = dict(calc, fault=None, pull=None, back=True)
                        self.stage([back])
                        self.plug(back, index)
                        state[name] = "plugged"
                        pulls[name] = None
            if crowd_step == "wait" and crowd["kind"] == "together" and \
                    all(state[c["name"]] == "plugged" for c in calcs):
                crowd_step, crowd_mark = "settle", self.passes
            if crowd_step == "settle" and self.passes >= crowd_mark + 2:
                # Whatever entry ran when the seventeenth came ends; then
                # nothing may be written while seventeen are attached.
                if all(self.open_handles(c["name"]) == 0 for c in calcs):
                    crowd_step, crowd_mark = "watch", self.passes
                    crowd_sizes = {c["name"]: self.journal_size(c["name"]) for c in calcs}
                    self.note("crowd: watching")
            if crowd_step == "watch" and self.passes >= crowd_mark + 15:
                for c in calcs:
                    for event in self.events_since(c["name"], crowd_sizes[c["name"]]):
                        if event.get("event") == "write" or (
                                event.get("event") == "command" and
                                event.get("code") == CMD_FINISH):
                            self.findings.append(("crowd write", f"{c['name']} got "
                                                  f"{event.get('name') or 'a data write'} while "
                                                  f"{SLOTS + 1} calculators were attached"))
                            break
                removed = calcs[crowd["remove"] % len(calcs)]["name"]
                self.unplug(removed, "crowd removal")
                state[removed] = "removed"
                crowd_step, crowd_mark = "removed", self.passes
            if self.batch_done(calcs, state, pulls, crowd_step, crowd_mark):
                break
            if time.monotonic() > deadline:
                for calc in calcs:
                    name = calc["name"]
                    if not self.calculator_done(calc, state[name], pulls[name]):
                        self.findings.append(("stuck round", f"batch {index + 1}: {name} "
                                              f"({fault_words(calc['fault'])}) has not ended "
                                              f"its round after "
                                              f"{self.options.batch_timeout:.0f} s"))
                        if name in self.periods:
                            self.periods[name][-1].stuck = True
                self.note("batch timed out")
                break
            time.sleep(0.003 if fast else 0.008)
        for calc in calcs:
            if state[calc["name"]] == "plugged":
                self.unplug(calc["name"], "batch end")
        self.wait_passes(2)
        return self.exit is None

    def calculator_done(self, calc, state, pull):
        if state == "waiting":
            return False
        if state == "pulled" and pull and pull["back"]:
            return False  # it is plugged back in first
        period = self.periods[calc["name"]][-1]
        fault = period.fault or {}
        if "return" in fault and period.vanished and period.returns == 0:
            return False  # it comes back
        if state == "removed":
            return True
        # Ended as the history shows, or as the journal does: told it may be
        # unplugged, or every attempt used up.
        return (period.lines >= 1 + period.returns or period.told or
                period.failed_writes >= GIVE_UP_WRITES)

    def batch_done(self, calcs, state, pulls, crowd_step, crowd_mark):
        if crowd_step is not None and (crowd_step != "removed" or self.passes < crowd_mark + 2):
            return False
        return all(self.calculator_done(c, state[c["name"]], pulls[c["name"]]) for c in calcs)

    def journal_size(self, name):
        try:
            return os.stat(os.path.join(self.calcs, name + ".journal")).st_size
        except FileNotFoundError:
            return 0

    def events_since(self, name, offset):
        try:
            with open(os.path.join(self.calcs, name + ".journal"), "rb") as f:
                f.seek(offset)
                data = f.read()
        except FileNotFoundError:
            return []
        return [e for e in (parse_event(line) for line in data.split(b"\n")) if e]

    def open_handles(self, name):
        opens = closes = 0
        for event in self.events_since(name, 0):
            if event.get("event") == "open":
                opens += 1
            elif event.get("event") == "close":
                closes += 1
        return opens - closes

    # -- the whole run ---------------------------------------------------------

    def run(self):
        os.makedirs(self.work)
        os.makedirs(self.stage_dir)
        for image in self.schedule["images"]:
            with open(os.path.join(self.work, image["file"]), "wb") as f:
                f.write(self.data[image["file"]])
        soak.plug(self.emu, self.calcs, METER, ["--vendor", "Generic", "--product", "Pass Meter",
                                                "--appear-after-polls", str(METER_POLLS)])
        if self.schedule["decoy"]:
            soak.plug(self.emu, self.calcs, DECOY, ["--vendor", "Generic", "--product",
                                                    "Flash Disk"])
        self.start_station()
        self.wait_passes(2, bound=30.0)
        batches = self.schedule["batches"]
        for index, batch in enumerate(batches):
            self.note(f"batch {index + 1} of {len(batches)}: {len(batch['calculators'])}")
            if not self.run_batch(index, batch):
                break
        if self.exit is None:
            last = len(batches) - 1
            for periods in self.periods.values():
                for period in periods:
                    period.stop_open = self.stopped_early and period.batch == last
            self.stop_station()
        for name, periods in self.periods.items():
            base = os.path.join(self.calcs, name)
            path = base + ".disk" if os.path.exists(base + ".disk") else base + ".away"
            periods[-1].holds = holds_all(path, self.schedule["images"], self.data)
        self.log.close()
        self.output.close()


# ---------------------------------------------------------------------------
# Judging

def read_events(path):
    """Every journal event with the byte offset of its line."""
    events = []
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return events
    at = 0
    for line in data.split(b"\n"):
        event = parse_event(line)
        if event is not None:
            event["at"] = at
            events.append(event)
        at += len(line) + 1
    return events


def serial_name(serial):
    """The calculator a history line names: its serial, or the serial in the
    interface path recorded in its place (validate tells that apart)."""
    if serial.startswith("\\\\?\\usbstor#"):
        parts = serial.split("#")
        if len(parts) > 2:
            return parts[2].rsplit("&", 1)[0]
    return serial


def read_history(path, findings):
    """The history's lines after its header, as read now (the last ones
    may have come after the driver stopped following)."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
    except FileNotFoundError:
        return []
    if rows and rows[0] != ["time", "serial", "port", "images", "outcome", "code", "reason"]:
        findings.append(("wrong record", f"the history starts with {rows[0]}"))
    return rows[1:]


class Round:
    def __init__(self, period, last):
        self.period = period
        self.events = []
        self.last = last  # the last round of its period

    def digest(self, regions):
        self.writes = []  # (event index, offset, length)
        self.finishes = []
        self.fail_writes = []
        self.denies = []
        self.vanished = False
        self.activity = False
        for i, e in enumerate(self.events):
            kind = e.get("event")
            if kind == "write":
                self.writes.append((i, e.get("offset", -1), e.get("length", 0)))
            elif kind == "command" and e.get("code") == CMD_FINISH:
                self.finishes.append(i)
            elif kind == "open":
                self.activity = True
            elif kind == "fault" and e.get("kind") == "fail-write":
                self.fail_writes.append(i)
            elif kind == "fault" and e.get("kind") == "deny-open":
                self.denies.append(i)
                self.activity = True
            elif kind == "fault" and e.get("kind") == "vanish":
                self.vanished = True

    def covered(self, regions, before):
        """Whether the writes before event index `before` cover every image."""
        spans = sorted((o, o + n) for i, o, n in self.writes if i < before)
        for lo, hi in regions:
            at = lo
            for start, end in spans:
                if start <= at:
                    at = max(at, end)
            if at < hi:
                return False
        return True


def split_rounds(period, events):
    """A period's events, cut where the calculator came back by fault."""
    rounds = [Round(period, False)]
    for e in events:
        if e.get("event") == "fault" and e.get("kind") in ("return", "return-blank"):
            rounds.append(Round(period, False))
        rounds[-1].events.append(e)
    rounds[-1].last = True
    return rounds


def check_entries(name, events, regions, findings):
    """Every link entry (open to close) that wrote and met no failure wrote
    one whole image and flushed it: a stop lets the running transfer end."""
    entry = None
    for e in events:
        kind = e.get("event")
        if kind == "open":
            entry = []
        elif kind == "close" and entry is not None:
            writes = [(x["offset"], x["offset"] + x["length"]) for x in entry
                      if x.get("event") == "write"]
            failed = any(x.get("event") in ("fault", "error") for x in entry)
            if writes and not failed:
                lo = min(w[0] for w in writes)
                region = next((r for r in regions if r[0] == lo), None)
                at = lo
                for start, end in sorted(writes):
                    if start <= at:
                        at = max(at, end)
                flushed = any(x.get("event") == "flush" for x in entry[
                    max(i for i, x in enumerate(entry) if x.get("event") == "write"):])
                if region is None or at < region[1] or not flushed:
                    findings.append(("cut transfer", f"{name}: an entry wrote "
                                     f"{lo}..{at} of an image and ended without a failure"
                                     + ("" if flushed else ", without a flush")))
            entry = None
        elif entry is not None:
            entry.append(e)


def expected_images(schedule, data):
    return " ".join(f"{image['file']}={hashlib.sha256(data[image['file']]).hexdigest()}"
                    for image in in_order(schedule["images"]))


def validate(row, rnd, name, images_text):
    """What is wrong with a history line as the record of a round."""
    period = rnd.period
    problems = []
    if len(row) != 7:
        return [("wrong record", f"{name}: a history line of {len(row)} fields: {row}")]
    _, serial, port, images, outcome, code, reason = row
    if serial != name:
        problems.append(("wrong record", f"{name}: recorded as serial {serial!r}"))
    if port != period.port:
        problems.append(("wrong record", f"{name} (batch {period.batch + 1}): port {port!r} "
                         f"recorded, plugged on {period.port or 'no port'!r}"))
    if images != images_text:
        problems.append(("wrong record", f"{name}: images column {images[:60]!r}..."))
    label = f"{name} (batch {period.batch + 1}, {fault_words(period.fault)}" + \
        (", pulled" if period.pulled else "") + ")"
    fault = period.fault or {}
    if outcome == "updated":
        if code != "0" or reason:
            problems.append(("wrong record", f"{label}: updated with code {code} {reason!r}"))
        if not rnd.finishes:
            problems.append(("false updated", f"{label}: updated, but never got CMD_FINISH"))
        elif not rnd.last:
            problems.append(("false updated", f"{label}: updated, then written again"))
        elif not all(period.holds):
            problems.append(("false updated", f"{label}: updated, but lacks image "
                             f"{period.holds.index(False) + 1}"))
    elif outcome == "failed":
        if rnd.finishes:
            problems.append(("wrong outcome", f"{label}: failed, but got CMD_FINISH"))
        if code == "0":
            if reason != STOPPED:
                problems.append(("wrong record", f"{label}: failed with code 0: {reason!r}"))
            if not period.stop_open:
                problems.append(("wrong outcome", f"{label}: recorded as stopped, but the "
                                 "station was stopped with no round of it running"))
        else:
            fits = ((fault.get("kind") == "fail-writes" and code == "112" and
                     len(rnd.fail_writes) >= GIVE_UP_WRITES) or
                    (fault.get("kind") == "deny-opens" and code == "107" and
                     len(rnd.denies) >= ATTEMPTS))
            if not reason:
                problems.append(("wrong record", f"{label}: failed {code} with no reason"))
            if not fits:
                kind = "healthy failed" if period.healthy() else "wrong outcome"
                problems.append((kind, f"{label}: failed {code} ({reason[:70]}) after "
                                 f"{len(rnd.fail_writes)} failed writes, "
                                 f"{len(rnd.denies)} refused opens"))
    elif outcome == "gone":
        if code not in {str(c) for c in GONE_CODES}:
            problems.append(("wrong record", f"{label}: gone with code {code}"))
        # Unplugged while the history still owed its round a line: by the
        # driver, or gone by fault.
        went = rnd.vanished or (rnd.last and period.end != "attached" and period.open_at_unplug)
        if not went:
            problems.append(("gone while attached", f"{label}: recorded gone ({code}) while "
                             "it was attached"))
        elif rnd.finishes:
            problems.append(("wrong outcome", f"{label}: gone, but got CMD_FINISH"))
    else:
        problems.append(("wrong record", f"{label}: outcome {outcome!r}"))
    return problems


def judge(driver):
    schedule, regions, data = driver.schedule, driver.regions, driver.data
    findings = list(driver.findings)
    tally = {}  # (what the calculator did, what the history says) -> rounds
    images_text = expected_images(schedule, data)
    if schedule["decoy"]:
        for e in read_events(os.path.join(driver.calcs, DECOY + ".journal")):
            if e.get("event") in ("open", "write", "command"):
                findings.append(("stray write", f"the decoy disk saw {e.get('event')}"))
                break
    for e in read_events(os.path.join(driver.calcs, METER + ".journal")):
        if e.get("event") != "fault" or e.get("kind") != "hidden":
            findings.append(("stray write", f"the hidden meter disk saw {e.get('event')}"))
            break
    rows = read_history(driver.history.path, findings)
    rows_by_name = {}
    for row in rows:
        rows_by_name.setdefault(serial_name(row[1]) if len(row) > 1 else "", []).append(row)
    for name in list(rows_by_name):
        if name not in driver.periods:
            findings.append(("extra line", f"a history line for {name!r}, never plugged in"))
    for name, periods in driver.periods.items():
        events = read_events(os.path.join(driver.calcs, name + ".journal"))
        starts = [p.start for p in periods]
        rounds = []
        for k, period in enumerate(periods):
            lo = bisect.bisect_left([e["at"] for e in events], period.start)
            hi = (bisect.bisect_left([e["at"] for e in events], starts[k + 1])
                  if k + 1 < len(periods) else len(events))
            slice_ = events[lo:hi]
            for _, offset, length in soak.data_writes(slice_) + [
                    (0, e["offset"], e["length"]) for e in slice_
                    if e.get("event") == "error" and e.get("op") == "write"]:
                if not any(a <= offset and offset + length <= b for a, b in regions):
                    findings.append(("stray write", f"{name} written at {offset}+{length}"))
                    break
            check_entries(name, slice_, regions, findings)
            for rnd in split_rounds(period, slice_):
                rnd.digest(regions)
                rounds.append(rnd)
        for rnd in rounds:
            period = rnd.period
            label = f"{name} (batch {period.batch + 1}, {fault_words(period.fault)})"
            if rnd.finishes:
                first = rnd.finishes[0]
                later = [i for i, _, _ in rnd.writes if i > first]
                if later or len(rnd.finishes) > 1:
                    findings.append(("written after finish", f"{label}: "
                                     f"{len(later)} writes, {len(rnd.finishes)} CMD_FINISH"))
                elif rnd.last and not all(period.holds):
                    findings.append(("finished lacking an image", f"{label}: CMD_FINISH while "
                                     f"lacking image {period.holds.index(False) + 1}"))
                if not rnd.covered(regions, first):
                    findings.append(("finished without rewrite", f"{label}: CMD_FINISH in a "
                                     "round that did not write every image"))
            if len(rnd.fail_writes) > GIVE_UP_WRITES:
                findings.append(("written after given up", f"{label}: "
                                 f"{len(rnd.fail_writes)} failed writes in one round"))
            elif len(rnd.fail_writes) == GIVE_UP_WRITES and not rnd.finishes:
                after = [i for i, _, _ in rnd.writes if i > rnd.fail_writes[-1]]
                if after:
                    findings.append(("written after given up", f"{label}: {len(after)} writes "
                                     "after its last attempt failed"))
        # The rounds and the history lines, in order. A round that never
        # opened may have passed unseen by the station: its line is optional.
        rows = rows_by_name.get(name, [])
        i = 0
        for j, rnd in enumerate(rounds):
            row = rows[i] if i < len(rows) else None
            problems = validate(row, rnd, name, images_text) if row is not None else None
            if row is not None and not problems:
                tally_round(tally, rnd, row)
                i += 1
                continue
            following = rounds[j + 1] if j + 1 < len(rounds) else None
            fits_next = (row is not None and following is not None and
                         not validate(row, following, name, images_text))
            if not rnd.activity:
                continue
            if row is None or fits_next:
                if not rnd.period.stuck or rnd.finishes:
                    findings.append(("missing line", f"{name} (batch {rnd.period.batch + 1}, "
                                     f"{fault_words(rnd.period.fault)}): a round with no "
                                     "history line"))
                continue
            findings.extend(problems)
            tally_round(tally, rnd, row)
            i += 1
        for row in rows[i:]:
            findings.append(("extra line", f"{name}: {','.join(row[4:7])[:90]} with no round "
                             "left to record"))
    kinds = [kind for kind, _ in findings]
    verdict = next((kind for kind in CLASSES if kind in kinds), "correct")
    return {"class": verdict, "findings": findings, "tally": tally}


def tally_round(tally, rnd, row):
    period = rnd.period
    fault = period.fault
    if period.end == "crowd removal":
        did = "one of seventeen, removed"
    elif period.pulled:
        did = "pulled by the driver"
    elif period.back:
        did = "plugged back after a pull"
    elif fault is None:
        did = "healthy, plugged in again" if period.again else "healthy"
    elif fault["kind"] == "fail-writes":
        did = "fail-writes " + ("1-6" if fault["n"] < WRITE_TRIES else
                                "7-41" if fault["n"] < GIVE_UP_WRITES else "42+")
    elif fault["kind"] == "vanish":
        did = "vanish" + (" + return" + (" blank" if fault.get("blank") else "")
                          if "return" in fault else "")
    elif fault["kind"] == "deny-opens":
        did = "deny-opens " + ("1-5" if fault["n"] < ATTEMPTS else "6+")
    else:
        did = fault["kind"]
    outcome = row[4] + ("" if row[4] == "updated" else " " + row[5])
    if row[4] == "failed" and row[5] == "0":
        outcome = "failed 0 (stopped)"
    tally[(did, outcome)] = tally.get((did, outcome), 0) + 1


# ---------------------------------------------------------------------------

def run_one(seed, options):
    schedule = make_schedule(seed)
    folder = tempfile.mkdtemp(prefix=f"norza-station-soak-{seed}-")
    with open(os.path.join(folder, "schedule.json"), "w") as f:
        json.dump(schedule, f, indent=1)
    started = time.monotonic()
    driver = Driver(schedule, options, folder)
    try:
        driver.run()
    finally:
        if driver.process is not None and driver.process.poll() is None:
            os.killpg(driver.process.pid, signal.SIGKILL)
            driver.process.wait()
    verdict = judge(driver)
    verdict.update(seed=seed, folder=folder, schedule=schedule,
                   seconds=time.monotonic() - started, stopped=driver.stopped_early,
                   stop_seconds=driver.stop_seconds,
                   batches=sum(1 for p in driver.periods.values() for _ in p))
    if verdict["class"] in BAD or options.keep:
        with open(os.path.join(folder, "verdict.txt"), "w") as f:
            f.write(verdict["class"] + "\n" + "\n".join(f"{k}: {t}" for k, t in
                                                        verdict["findings"]) + "\n")
    else:
        shutil.rmtree(folder, ignore_errors=True)
        verdict["folder"] = None
    return verdict


def replay_line(seed, options):
    line = f"bash scripts/station-soak.sh --seed {seed} --runs 1 --jobs 1"
    if os.path.abspath(options.build) != os.path.abspath("build"):
        line += f" --build {options.build}"
    if options.scale != 0.01:
        line += f" --scale {options.scale}"
    return line


def describe(schedule):
    calcs = [c for b in schedule["batches"] for c in b["calculators"]]
    return (f"{len(schedule['batches'])} batches, {len(calcs)} plugs")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=60)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--build", default="build")
    parser.add_argument("--scale", type=float, default=0.01)
    parser.add_argument("--batch-timeout", type=float, default=30.0,
                        help="seconds a batch may run before its open rounds count as stuck")
    parser.add_argument("--stop-timeout", type=float, default=20.0,
                        help="seconds after SIGTERM before the station counts as hung")
    parser.add_argument("--keep", action="store_true", help="keep every run's folder")
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)
    for tool in ("norza-station", "norza-emu"):
        if not os.access(os.path.join(options.build, "bin", tool), os.X_OK):
            sys.exit(f"station soak: no {tool} in {options.build}/bin")

    seeds = [options.seed + i for i in range(options.runs)]
    started = time.monotonic()
    verdicts = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        futures = [pool.submit(run_one, seed, options) for seed in seeds]
        for done, future in enumerate(concurrent.futures.as_completed(futures), 1):
            verdicts.append(future.result())
            if sys.stdout.isatty():
                print(f"\r{done}/{len(seeds)} schedules", end="", flush=True)
    if sys.stdout.isatty():
        print()
    verdicts.sort(key=lambda v: v["seed"])
    elapsed = time.monotonic() - started

    batches = sum(len(v["schedule"]["batches"]) for v in verdicts)
    plugs = sum(len(b["calculators"]) for v in verdicts for b in v["schedule"]["batches"])
    print(f"station soak: {len(verdicts)} schedules, seeds {seeds[0]}..{seeds[-1]}, "
          f"{batches} batches, {plugs} calculators plugged, scale {options.scale}, "
          f"{options.jobs} jobs, {elapsed:.0f} s, build {options.build}")
    print(f"  {sum(1 for v in verdicts if v['stopped'])} stopped mid-batch, "
          f"{sum(1 for v in verdicts if v['schedule']['crowd'])} with seventeen attached, "
          f"{sum(1 for v in verdicts if v['schedule']['decoy'])} with a decoy disk; "
          f"slowest exit after SIGTERM "
          f"{max((v['stop_seconds'] or 0) for v in verdicts):.1f} s")
    print()
    counts = {kind: 0 for kind in CLASSES}
    found = {kind: 0 for kind in CLASSES}
    for v in verdicts:
        counts[v["class"]] += 1
        for kind in {k for k, _ in v["findings"]}:
            found[kind] += 1
    print(f"  {'class':<28}{'schedules':>10}{'with it':>9}")
    for kind in CLASSES:
        print(f"  {kind:<28}{counts[kind]:>10}{found[kind] if kind != 'correct' else '':>9}")

    tally = {}
    for v in verdicts:
        for key, n in v["tally"].items():
            tally[key] = tally.get(key, 0) + n
    print()
    print("rounds recorded, by what the calculator did and what the history says:")
    for (did, outcome), n in sorted(tally.items()):
        print(f"  {n:>5}  {did:<28} {outcome}")

    bad = [v for v in verdicts if v["class"] in BAD]
    if bad:
        print()
        print("schedules to look at:")
        for v in bad:
            texts = [f"{k}: {t}" for k, t in v["findings"]]
            print(f"  seed {v['seed']} ({describe(v['schedule'])}): {v['class']}")
            for text in texts[:4]:
                print(f"    {text}")
            if len(texts) > 4:
                print(f"    (+{len(texts) - 4} more in verdict.txt)")
            print(f"    folder: {v['folder']}")
            print(f"    replay: {replay_line(v['seed'], options)}")
    print()
    print("station soak: " + ("FAIL" if bad else "PASS"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
