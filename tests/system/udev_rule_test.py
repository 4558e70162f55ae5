#!/usr/bin/env python3
"""Checks the calculator's udev rule: its syntax, and what it does to a few
devices, with a small evaluator of the rule language (matches with globs and
'|' alternatives, ATTRS/SUBSYSTEMS on one device of the parent chain, the
attribute's trailing padding ignored, ENV/TAG assignments, GOTO/LABEL).

usage: udev_rule_test.py RULES_FILE IDENTITIES_TSV     (exit 0 when every check passes)
"""
import fnmatch
import re
import sys

MATCH_KEYS = {"ACTION", "DEVPATH", "KERNEL", "SUBSYSTEM", "DRIVER", "ATTR", "KERNELS",
              "SUBSYSTEMS", "DRIVERS", "ATTRS", "TAGS", "ENV", "TAG", "TEST", "PROGRAM", "RESULT"}
ASSIGN_KEYS = {"ENV", "TAG", "NAME", "SYMLINK", "OWNER", "GROUP", "MODE", "RUN", "LABEL", "GOTO",
               "IMPORT", "OPTIONS", "ATTR"}
KEYS_WITH_ATTRIBUTE = {"ATTR", "ATTRS", "ENV", "TEST", "IMPORT", "RUN"}
PARENT_KEYS = {"KERNELS", "SUBSYSTEMS", "DRIVERS", "ATTRS"}
PAIR = re.compile(r'\s*([A-Z]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*(,|$)')


class RuleError(Exception):
    pass


def parse(text):
    """[(line number, [(key, attribute, operator, value)])], or RuleError."""
    rules = []
    pending, first = "", 0
    for number, line in enumerate(text.splitlines(), 1):
        if not pending:
            first = number
        if line.endswith("\\"):
            pending += line[:-1]
            continue
        line, pending = pending + line, ""
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        pairs, pos = [], 0
        while pos < len(line):
            m = PAIR.match(line, pos)
            if not m:
                raise RuleError(f"line {first}: cannot parse: {line[pos:].strip()}")
            key, attribute, operator, value, _ = m.groups()
            if key in KEYS_WITH_ATTRIBUTE and not attribute:
                raise RuleError(f"line {first}: {key} needs {{attribute}}")
            if key not in KEYS_WITH_ATTRIBUTE and attribute is not None:
                raise RuleError(f"line {first}: {key} takes no {{attribute}}")
            if operator in ("==", "!=") and key not in MATCH_KEYS:
                raise RuleError(f"line {first}: {key} cannot be matched")
            if operator not in ("==", "!=") and key not in ASSIGN_KEYS:
                raise RuleError(f"line {first}: {key} cannot be assigned")
            if key in ("GOTO", "LABEL") and operator != "=":
                raise RuleError(f"line {first}: {key} takes '='")
            pairs.append((key, attribute, operator, value))
            pos = m.end()
        rules.append((first, pairs))
    labels = {v for _, pairs in rules for k, _, _, v in pairs if k == "LABEL"}
    for number, pairs in rules:
        for key, _, _, value in pairs:
            if key == "GOTO" and value not in labels:
                raise RuleError(f"line {number}: GOTO to a missing LABEL {value}")
    return rules


def glob(pattern, value, is_attribute=False):
    if is_attribute and not pattern.endswith((" ", "\t", "\n")):
        value = value.rstrip(" \t\n")
    return any(fnmatch.fnmatchcase(value, alternative) for alternative in pattern.split("|"))


def matches(pairs, device):
    """device: {"ACTION", "SUBSYSTEM", "DEVPATH", "ENV": {}, "TAGS": set(),
    "chain": [{"SUBSYSTEM", "KERNEL", "ATTRS": {}}] from the device upward}."""
    for key, attribute, operator, value in pairs:
        if operator not in ("==", "!=") or key in PARENT_KEYS:
            continue
        if key == "ENV":
            actual = device["ENV"].get(attribute, "")
        elif key in ("TAG", "TAGS"):
            result = any(glob(value, tag) for tag in device["TAGS"])
            if result != (operator == "=="):
                return False
            continue
        else:
            actual = device.get(key, "")
        if glob(value, actual) != (operator == "=="):
            return False
    parent_pairs = [p for p in pairs if p[0] in PARENT_KEYS]
    if not parent_pairs:
        return True
    for node in device["chain"]:
        ok = True
        for key, attribute, operator, value in parent_pairs:
            if key == "ATTRS":
                if attribute not in node["ATTRS"]:
                    ok = False
                    break
                result = glob(value, node["ATTRS"][attribute], is_attribute=True)
            else:
                result = glob(value, node.get(key[:-1], ""))
            if result != (operator == "=="):
                ok = False
                break
        if ok:
            return True
    return False


def run(rules, device):
    device = dict(device, ENV=dict(device.get("ENV", {})), TAGS=set(device.get("TAGS", ())))
    index = 0
    while index < len(rules):
        _, pairs = rules[index]
        index += 1
        if not matches(pairs, device):
            continue
        for key, attribute, operator, value in pairs:
            if key == "ENV" and operator in ("=", ":="):
                device["ENV"][attribute] = value
            elif key == "TAG" and operator in ("+=", "=", ":="):
                if operator != "+=":
                    device["TAGS"].clear()
                device["TAGS"].add(value)
            elif key == "GOTO":
                index = next(i for i, (_, p) in enumerate(rules) if ("LABEL", None, "=", value) in p)
    return device


def udev_id(text):
    """An ID_VENDOR/ID_MODEL value as udev derives it from an inquiry string:
    outer whitespace dropped, every inner run of it one '_'."""
    return "_".join(text.split())


def usb_disk(vendor, model, action="add", bus_path=True, scsi_type="0"):
    host = "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0" if bus_path \
        else "/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0"
    # 60-persistent-storage.rules has run before: the ID_* properties are set.
    env = {"ID_BUS": "usb" if bus_path else "ata", "ID_VENDOR": udev_id(vendor),
           "ID_MODEL": udev_id(model)}
    kernel = "sdb" if scsi_type != "5" else "sr0"
    return {
        "ACTION": action, "SUBSYSTEM": "block", "DEVPATH": host + "/block/" + kernel, "ENV": env,
        "chain": [
            {"SUBSYSTEM": "block", "KERNEL": kernel, "ATTRS": {"size": "131072"}},
            # The kernel pads the SCSI inquiry strings: vendor to 8, model to 16.
            {"SUBSYSTEM": "scsi", "KERNEL": "6:0:0:0",
             "ATTRS": {"type": scsi_type, "vendor": vendor.ljust(8), "model": model.ljust(16),
                       "rev": "1.00"}},
            {"SUBSYSTEM": "usb" if bus_path else "pci", "KERNEL": "1-2", "ATTRS": {"idVendor": "1d6b"}},
        ],
    }


def read_identities(path):
    """[(vendor, model, expected, note)] from the shared table: tab-separated,
    vendor and model in double quotes, then yes or no, then a note."""
    rows = []
    for number, line in enumerate(open(path, encoding="utf-8").read().splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        quoted = fields[:2]
        if (len(fields) != 4 or fields[2] not in ("yes", "no")
                or any(len(f) < 2 or f[0] != '"' or f[-1] != '"' for f in quoted)):
            raise ValueError(f"{path}:{number}: not \"vendor\"<tab>\"model\"<tab>yes|no<tab>note")
        rows.append((quoted[0][1:-1], quoted[1][1:-1], fields[2] == "yes", fields[3]))
    if not rows:
        raise ValueError(f"{path}: no rows")
    return rows


def is_calculator(device):
    return ("uaccess" in device["TAGS"] and device["ENV"].get("UDISKS_IGNORE") == "1"
            and device["ENV"].get("UDISKS_AUTO") == "0"
            and device["ENV"].get("ID_NORZA_CALCULATOR") == "1")


def untouched(before, after):
    return after["TAGS"] == set(before.get("TAGS", ())) and after["ENV"] == before.get("ENV", {})


def main(path, identities_path):
    failures = []

    def check(name, condition):
        print(("ok   " if condition else "FAIL ") + name)
        if not condition:
            failures.append(name)

    try:
        rules = parse(open(path, encoding="utf-8").read())
    except RuleError as error:
        print(f"FAIL syntax: {error}")
        return 1
    check("syntax: every line parses, every GOTO has its LABEL", bool(rules))

    # What is a calculator: the table the link's discovery is tested with too.
    try:
        identities = read_identities(identities_path)
    except ValueError as error:
        print(f"FAIL identities: {error}")
        return 1
    for vendor, model, expected, note in identities:
        device = usb_disk(vendor, model)
        after = run(rules, device)
        if expected:
            check(f"granted, no automount: {vendor!r} {model!r} ({note})", is_calculator(after))
        else:
            check(f"left alone: {vendor!r} {model!r} ({note})", untouched(device, after))

    for name, device in [
            ("a SATA disk calling itself ZK Norza update", usb_disk("ZK", "Norza update", bus_path=False)),
            ("the calculator's CD-ROM unit", usb_disk("ZK", "Norza update", scsi_type="5")),
            ("the calculator's remove event", usb_disk("ZK", "Norza update", action="remove")),
            ("the calculator's USB device (not a block device)",
             dict(usb_disk("ZK", "Norza update"), SUBSYSTEM="usb"))]:
        check(f"left alone: {name}", untouched(device, run(rules, device)))

    # The evaluator itself must be able to fail: a broken rule is caught.
    for broken in ['SUBSYSTEM="block", GOTO="x"\n', 'ENV{ID_BUS}=="usb" TAG+="uaccess"\n',
                   'ATTRS=="ZK"\n', 'GOTO="nowhere"\n']:
        try:
            parse(broken)
            check(f"rejects {broken.strip()!r}", False)
        except RuleError:
            check(f"rejects {broken.strip()!r}", True)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
