#!/usr/bin/env python3
"""Writes the parts of the guest's initramfs for scripts/qemu-usb-e2e.sh, as
newc cpio archives (uncompressed). The kernel unpacks concatenated archives
one after the other, so the modules, built once per kernel, and the per-run
part are written apart and joined with cat.

usage: initramfs.py modules OUT MODULES_DIR MODULE[:PARAMS]...
       initramfs.py base OUT BUSYBOX INIT CONFIG

  MODULES_DIR  lib/modules/<version> of the unpacked kernel, with modules.dep
  MODULE       a module name (usb-storage or usb_storage) with optional
               parameters after a colon ("usb-storage:delay_use=0")
  BUSYBOX      a static busybox, installed as /bin/busybox
  INIT         the script that becomes /init
  CONFIG       a shell fragment installed as /norza.conf (read by /init)

The modules and everything modules.dep says they need are copied to
/lib/modules/ and listed, dependencies first, in /modules.list ("FILE PARAMS"
per line), the order in which /init loads them with busybox insmod (the
initramfs has no modprobe). Written in Python so that no cpio tool is needed.
"""
import os
import stat
import sys


def canonical(name):
    return name.replace("-", "_")


def module_name(path):
    base = os.path.basename(path)
    return canonical(base.split(".ko")[0])


def load_dependencies(modules_dir):
    deps = {}
    files = {}
    with open(os.path.join(modules_dir, "modules.dep"), encoding="utf-8") as source:
        for line in source:
            module, _, rest = line.partition(":")
            files[module_name(module)] = module
            deps[module] = rest.split()
    return files, deps


def load_order(files, deps, wanted):
    """Module files in load order: every module after what it needs."""
    order, seen = [], set()

    def visit(path, trail):
        if path in seen:
            return
        if path in trail:
            sys.exit(f"initramfs.py: dependency loop at {path}")
        for dependency in deps.get(path, []):
            visit(dependency, trail | {path})
        seen.add(path)
        order.append(path)

    for name in wanted:
        path = files.get(canonical(name))
        if path is None:
            sys.exit(f"initramfs.py: no module {name} in modules.dep")
        visit(path, frozenset())
    return order


class Archive:
    def __init__(self, out):
        self.out = out
        self.inode = 1

    def entry(self, name, mode, data=b"", rdev=(0, 0)):
        encoded = name.encode() + b"\0"
        fields = [self.inode, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(encoded), 0]
        self.inode += 1
        header = b"070701" + b"".join(b"%08X" % value for value in fields)
        self.out.write(header + encoded)
        self.out.write(b"\0" * (-(len(header) + len(encoded)) % 4))
        self.out.write(data)
        self.out.write(b"\0" * (-len(data) % 4))

    def directory(self, name):
        self.entry(name, stat.S_IFDIR | 0o755)

    def file(self, name, data, executable=False):
        self.entry(name, stat.S_IFREG | (0o755 if executable else 0o644), data)

    def trailer(self):
        self.entry("TRAILER!!!", 0)


def write_modules(out, modules_dir, items):
    wanted, params = [], {}
    for item in items:
        name, _, options = item.partition(":")
        wanted.append(name)
        params[canonical(name)] = options.replace(",", " ")
    files, deps = load_dependencies(modules_dir)
    order = load_order(files, deps, wanted)
    with open(out, "wb") as target:
        archive = Archive(target)
        archive.directory("lib")
        archive.directory("lib/modules")
        listing = []
        for path in order:
            base = os.path.basename(path)
            archive.file("lib/modules/" + base, open(os.path.join(modules_dir, path), "rb").read())
            listing.append(f"{base} {params.get(module_name(path), '')}".rstrip())
        archive.file("modules.list", ("\n".join(listing) + "\n").encode())
        archive.trailer()
    print(f"initramfs: {len(order)} modules: {' '.join(module_name(p) for p in order)}")


def write_base(out, busybox, init, config):
    with open(out, "wb") as target:
        archive = Archive(target)
        for name in ("bin", "sbin", "usr", "usr/bin", "usr/sbin", "dev", "proc", "sys", "host"):
            archive.directory(name)
        # Without a console node the kernel starts /init with no output.
        archive.entry("dev/console", stat.S_IFCHR | 0o600, rdev=(5, 1))
        archive.file("bin/busybox", open(busybox, "rb").read(), executable=True)
        archive.file("init", open(init, "rb").read(), executable=True)
        archive.file("norza.conf", open(config, "rb").read())
        archive.trailer()


def main(argv):
    if len(argv) >= 5 and argv[1] == "modules":
        write_modules(argv[2], argv[3], argv[4:])
    elif len(argv) == 6 and argv[1] == "base":
        write_base(*argv[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
