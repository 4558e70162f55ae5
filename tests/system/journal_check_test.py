#!/usr/bin/env python3
"""journal_check.py must pass a correct update's journal and catch the
faults it is there for. usage: journal_check_test.py JOURNAL_CHECK"""
import contextlib
import importlib.util
import io
import json
import os
import sys
import tempfile


def event(what, **fields):
    return dict(event=what, **fields)


def command(name, parameter):
    codes = {"CMD_PROGRESS": 48860, "CMD_FINISH": 48833}
    return event("command", code=codes[name], name=name, parameter=parameter)


def good_update():
    events = [event("open")]
    for image, chunks in enumerate((3, 1, 2)):
        events += [event("window-read", length=15360), command("CMD_PROGRESS", 0)]
        for chunk in range(chunks):
            events += [event("flush"), event("write", offset=image * 65536 + chunk * 16384, length=16384),
                       event("flush")]
            if chunk < chunks - 1:
                events.append(command("CMD_PROGRESS", (chunk + 1) * 100 // chunks))
        events += [event("flush"), command("CMD_PROGRESS", 100), event("window-read", length=15872)]
        events.append(event("read", offset=4096, length=4096))  # a probe: ignored
    events += [event("window-read", length=15360), command("CMD_FINISH", 0), event("flush"), event("close")]
    return events


def run(checker, events, images=3):
    with tempfile.TemporaryDirectory() as tmp:
        journal, timing = os.path.join(tmp, "j"), os.path.join(tmp, "t")
        with open(journal, "w") as j, open(timing, "w") as t:
            for n, e in enumerate(events):
                line = json.dumps(e, separators=(",", ":"))
                j.write(line + "\n")
                t.write(f"{1000000 * (n + 1)} {line}\n")
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            code = checker.main(journal, timing, images)
        return code, out.getvalue()


def main(checker):
    failures = []

    def expect(name, events, passes, images=3):
        code, out = run(checker, events, images)
        ok = (code == 0) == passes
        print(("ok   " if ok else "FAIL ") + name)
        if not ok:
            print(out)
            failures.append(name)
        return out

    out = expect("a complete update passes", good_update(), True)
    # 6 data chunks, 1 ms apart in the fake stamps.
    if "98304 bytes" not in out:
        print("FAIL the throughput counts the written bytes\n" + out)
        failures.append("throughput")

    def without(predicate, events=None):
        events = events or good_update()
        index = next(i for i, e in enumerate(events) if predicate(e))
        return events[:index] + events[index + 1:]

    def last_flush_before_100(events):
        i = max(i for i, e in enumerate(events) if e.get("name") == "CMD_PROGRESS" and e["parameter"] == 100)
        while events[i]["event"] != "flush":
            i -= 1
        # Both flushes after the image's last write.
        return events[:i - 1] + events[i + 1:]

    expect("no flush after the last write fails", last_flush_before_100(good_update()), False)
    expect("a missing CMD_FINISH fails", without(lambda e: e.get("name") == "CMD_FINISH"), False)
    expect("a missing closing window read fails",
           without(lambda e: e["event"] == "window-read" and e["length"] == 15872), False)
    expect("a missing CMD_PROGRESS 100 fails",
           without(lambda e: e.get("name") == "CMD_PROGRESS" and e["parameter"] == 100), False)
    backwards = good_update()
    progress = [i for i, e in enumerate(backwards) if e.get("name") == "CMD_PROGRESS" and 0 < e["parameter"] < 100]
    backwards[progress[1]]["parameter"] = 10
    expect("progress going back fails", backwards, False)
    faulty = good_update()
    faulty.insert(5, event("fault", kind="fail-write"))
    expect("a fault event fails", faulty, False)
    expect("one image too few fails", good_update(), False, images=4)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    found = importlib.util.spec_from_file_location("journal_check", sys.argv[1])
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.exit(main(module))
