#!/usr/bin/env python3
"""Picks kernel modules out of an unpacked kernel package for the guest's initramfs.

    modules.py MODULE_DIR OUT_DIR GROUP=MODULE[,MODULE...]...

MODULE_DIR is the kernel's lib/modules/VERSION. For each group, in the order given, the named modules
and everything they depend on (read from each module's own .modinfo, since a package that was only
unpacked has no modules.dep) are copied to OUT_DIR, uncompressed, and OUT_DIR/GROUP.list gets their
file names in an order that can be loaded one by one: dependencies first. A module that an earlier
group loads already, or that the kernel has built in, is left out of a later list.
"""
import lzma
import os
import shutil
import struct
import sys


def module_name(text):
    return text.replace("-", "_")


def read_module(path):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".xz"):
        data = lzma.decompress(data)
    return data


def modinfo(data):
    """The key=value strings of an ELF64 module's .modinfo section."""
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError("not a little-endian 64-bit ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)

    def section(index):
        name, _, _, _, offset, size = struct.unpack_from("<IIQQQQ", data, shoff + index * shentsize)
        return name, offset, size

    _, names_offset, _ = section(shstrndx)
    for index in range(shnum):
        name, offset, size = section(index)
        end = data.index(b"\0", names_offset + name)
        if data[names_offset + name:end] == b".modinfo":
            fields = {}
            for entry in data[offset:offset + size].split(b"\0"):
                key, sep, value = entry.decode("utf-8", "replace").partition("=")
                if sep:
                    fields.setdefault(key, value)
            return fields
    return {}


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__.strip())
    module_dir, out_dir, groups = sys.argv[1], sys.argv[2], sys.argv[3:]

    paths = {}
    for root, _, files in os.walk(os.path.join(module_dir, "kernel")):
        for file in files:
            for suffix in (".ko", ".ko.xz"):
                if file.endswith(suffix):
                    paths[module_name(file[:-len(suffix)])] = os.path.join(root, file)
    builtin = set()
    with open(os.path.join(module_dir, "modules.builtin")) as f:
        for line in f:
            builtin.add(module_name(os.path.basename(line.strip()).split(".ko")[0]))

    os.makedirs(out_dir, exist_ok=True)
    loaded = set(builtin)
    for group in groups:
        group_name, _, wanted = group.partition("=")
        order = []

        def visit(name, chain):
            if name in loaded:
                return
            if name in chain:
                sys.exit(f"modules.py: dependency loop: {' -> '.join(chain + [name])}")
            if name not in paths:
                sys.exit(f"modules.py: no module {name} in {module_dir}")
            data = read_module(paths[name])
            for dependency in filter(None, modinfo(data).get("depends", "").split(",")):
                visit(module_name(dependency), chain + [name])
            with open(os.path.join(out_dir, name + ".ko"), "wb") as f:
                f.write(data)
            loaded.add(name)
            order.append(name + ".ko")

        for name in filter(None, wanted.split(",")):
            visit(module_name(name), [])
        with open(os.path.join(out_dir, group_name + ".list"), "w") as f:
            f.writelines(line + "\n" for line in order)


if __name__ == "__main__":
    main()
