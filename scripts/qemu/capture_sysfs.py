#!/usr/bin/env python3
"""Writes the part of a real sysfs that the Linux backend's discovery walks,
as text, for tests/link/fixtures/ (tests/link/captured_sysfs_test.cpp turns
it back into a tree).

usage: capture_sysfs.py SYSFS OUT NOTE BLOCK...

For every BLOCK name (sda, loop0): the /sys/block entry, and each directory
from /sys/devices down to the disk's own, with the attributes of its kind
(SCSI inquiry strings, USB descriptors, PCI ids, queue sizes) and its
`device`, `driver` and `subsystem` links. Counters and timers are left out, so
that a new capture differs only where the kernel does.

One line per entry, paths relative to SYSFS, sorted:
  dir  PATH
  file PATH "CONTENT"
  link PATH "TARGET"
CONTENT is the file's bytes with \\ \" \\n \\t and \\xNN escapes (trailing
spaces stay visible and survive editors).
"""
import os
import re
import sys

BLOCK = ["dev", "size", "removable", "ro", "range", "ext_range", "capability", "hidden",
         "uevent", "queue/logical_block_size", "queue/physical_block_size",
         "queue/hw_sector_size", "queue/minimum_io_size", "queue/optimal_io_size",
         "queue/max_sectors_kb", "queue/max_hw_sectors_kb", "queue/rotational"]
SCSI_DEVICE = ["vendor", "model", "rev", "type", "scsi_level", "state", "queue_depth",
               "device_blocked", "timeout", "modalias", "uevent"]
USB_INTERFACE = ["bInterfaceNumber", "bAlternateSetting", "bNumEndpoints", "bInterfaceClass",
                 "bInterfaceSubClass", "bInterfaceProtocol", "modalias", "uevent"]
USB_DEVICE = ["idVendor", "idProduct", "bcdDevice", "manufacturer", "product", "serial", "speed",
              "version", "busnum", "devnum", "devpath", "bDeviceClass", "bDeviceSubClass",
              "bDeviceProtocol", "bMaxPacketSize0", "bNumInterfaces", "bNumConfigurations",
              "bConfigurationValue", "bMaxPower", "maxchild", "removable", "uevent"]
PCI_DEVICE = ["vendor", "device", "subsystem_vendor", "subsystem_device", "class", "revision",
              "modalias", "uevent"]
LINKS = ["device", "driver", "subsystem"]


def kind_of(path):
    name = os.path.basename(path)
    parent = os.path.basename(os.path.dirname(path))
    if parent == "block":
        return BLOCK
    if re.fullmatch(r"\d+:\d+:\d+:\d+", name):
        return SCSI_DEVICE
    if re.fullmatch(r"target\d+:\d+:\d+", name):
        return ["uevent"]
    if re.fullmatch(r"host\d+", name):
        return ["uevent", f"scsi_host/{name}/proc_name"]
    if re.fullmatch(r"\d+-[\d.]+:\d+\.\d+", name):
        return USB_INTERFACE
    if re.fullmatch(r"usb\d+|\d+-[\d.]+", name):
        return USB_DEVICE
    if re.fullmatch(r"[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]", name):
        return PCI_DEVICE
    return ["uevent"]


def escape(data):
    out = []
    for byte in data:
        char = chr(byte)
        if char == "\\":
            out.append("\\\\")
        elif char == '"':
            out.append('\\"')
        elif char == "\n":
            out.append("\\n")
        elif char == "\t":
            out.append("\\t")
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\x{byte:02x}")
    return "".join(out)


def capture(sysfs, names):
    entries = {}

    def relative(path):
        return os.path.relpath(path, sysfs)

    def add_directory(path):
        entries[relative(path)] = "dir  " + relative(path)
        for attribute in kind_of(path):
            full = os.path.join(path, attribute)
            try:
                with open(full, "rb") as source:
                    data = source.read(4096)
            except OSError:
                continue  # absent here, or not readable (write-only)
            entries[relative(full)] = f'file {relative(full)} "{escape(data)}"'
        for link in LINKS:
            full = os.path.join(path, link)
            if os.path.islink(full):
                entries[relative(full)] = f'link {relative(full)} "{escape(os.readlink(full).encode())}"'

    for name in names:
        entry = os.path.join(sysfs, "block", name)
        if os.path.islink(entry):
            entries[relative(entry)] = f'link {relative(entry)} "{escape(os.readlink(entry).encode())}"'
        disk = os.path.realpath(entry)
        devices = os.path.join(sysfs, "devices")
        chain = []
        path = disk
        while path.startswith(devices + "/"):
            chain.append(path)
            path = os.path.dirname(path)
        for directory in reversed(chain):
            add_directory(directory)
    return [entries[key] for key in sorted(entries)]


def main(argv):
    if len(argv) < 5:
        sys.exit(__doc__)
    sysfs, out, note = argv[1], argv[2], argv[3]
    lines = capture(os.path.realpath(sysfs), argv[4:])
    with open(out, "w", encoding="ascii") as target:
        target.write("# A real kernel's sysfs, in part: see scripts/qemu/capture_sysfs.py.\n")
        for line in note.splitlines():
            target.write(f"# {line}\n")
        target.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv)
