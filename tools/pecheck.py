#!/usr/bin/env python3
"""Checks the 32-bit product exe: PE32 for i386, GUI subsystem, only Windows
system DLLs imported, icon group 103 (16-colour 32x32 and 16x16) and menu 106
on board, and no larger than 64 KiB. Prints its size.

    pecheck.py <exe> [--objdump i686-w64-mingw32-objdump]

Exit code 0 when every check passes, 1 otherwise.
"""
import argparse
import os
import re
import struct
import subprocess
import sys

MAX_SIZE = 64 * 1024

# Ship with every 32-bit Windows; anything else (libstdc++-6, libgcc_s_*,
# libwinpthread-1, a zlib, ...) would have to travel with the exe.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "ole32.dll",
    "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "msvcrt.dll", "advapi32.dll",
    "shlwapi.dll", "uuid.dll", "winmm.dll", "version.dll", "ntdll.dll",
}

RT_MENU = 4
RT_GROUP_ICON = 14
ICON_GROUP = 103
MENU = 106


def objdump_facts(exe, objdump):
    p = subprocess.run([objdump, "-p", exe], capture_output=True, text=True)
    if p.returncode != 0:
        return None, None, None, []
    out = p.stdout
    fmt = re.search(r"file format (\S+)", out)
    magic = re.search(r"^Magic\s+(\w+)", out, re.M)
    subsystem = re.search(r"^Subsystem\s+(\w+)", out, re.M)
    dlls = re.findall(r"DLL Name: (\S+)", out)
    return (fmt.group(1) if fmt else None, magic.group(1) if magic else None,
            int(subsystem.group(1), 16) if subsystem else None, dlls)


class Pe:
    """Just enough of the PE layout to walk the resource directory."""

    def __init__(self, data):
        self.data = data
        lfanew = struct.unpack_from("<I", data, 0x3C)[0]
        if data[lfanew:lfanew + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = lfanew + 4
        self.machine, nsections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, coff)
        opt = coff + 20
        self.magic = struct.unpack_from("<H", data, opt)[0]
        ndirs_off = opt + (92 if self.magic == 0x10B else 108)
        ndirs = struct.unpack_from("<I", data, ndirs_off)[0]
        dirs = [struct.unpack_from("<II", data, ndirs_off + 4 + 8 * i) for i in range(ndirs)]
        self.rsrc_rva = dirs[2][0] if ndirs > 2 else 0
        sec = opt + opt_size
        self.sections = []
        for i in range(nsections):
            _, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA 0x%x outside every section" % rva)

    def entries(self, dir_off):
        """(id or name, is_dir, offset-relative-to-.rsrc) of one directory table."""
        named, ids = struct.unpack_from("<HH", self.data, dir_off + 12)
        out = []
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, dir_off + 16 + 8 * i)
            key = ("name", name & 0x7FFFFFFF) if name & 0x80000000 else name
            out.append((key, bool(target & 0x80000000), target & 0x7FFFFFFF))
        return out

    def resource(self, rtype, rid):
        """The bytes of the first language of resource (rtype, rid), or None."""
        if not self.rsrc_rva:
            return None
        base = self.offset(self.rsrc_rva)
        for tkey, tdir, toff in self.entries(base):
            if tkey != rtype or not tdir:
                continue
            for nkey, ndir, noff in self.entries(base + toff):
                if nkey != rid or not ndir:
                    continue
                for _, ldir, loff in self.entries(base + noff):
                    if ldir:
                        continue
                    rva, size = struct.unpack_from("<II", self.data, base + loff)
                    start = self.offset(rva)
                    return self.data[start:start + size]
        return None


def icon_images(group):
    """(width, height, colours, bits per pixel) of each image of an icon group."""
    _, rtype, count = struct.unpack_from("<HHH", group, 0)
    if rtype != 1:
        return []
    images = []
    for i in range(count):
        w, h, colours, _, _, bpp, _, _ = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        images.append((w or 256, h or 256, colours, bpp))
    return images


def check(exe, objdump):
    failures = []
    size = os.path.getsize(exe)
    print("%s: %d bytes (%.1f KiB, limit %d KiB)" % (exe, size, size / 1024, MAX_SIZE // 1024))
    if size > MAX_SIZE:
        failures.append("larger than %d bytes" % MAX_SIZE)

    fmt, magic, subsystem, dlls = objdump_facts(exe, objdump)
    if fmt is None:
        failures.append("%s cannot read it as an i386 PE file" % objdump)
    else:
        if fmt != "pei-i386":
            failures.append("file format %s, expected pei-i386" % fmt)
        if magic != "010b":
            failures.append("optional header magic %s, expected 010b (PE32)" % magic)
        if subsystem != 2:
            failures.append("subsystem %s, expected 2 (Windows GUI)" % subsystem)
        print("imports: " + " ".join(dlls))
        if not dlls:
            failures.append("no imported DLLs found")
        foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
        if foreign:
            failures.append("imports non-system DLLs: " + ", ".join(foreign))

    with open(exe, "rb") as f:
        pe = Pe(f.read())
    if pe.machine != 0x14C:
        failures.append("machine 0x%x, expected 0x14c (i386)" % pe.machine)
    group = pe.resource(RT_GROUP_ICON, ICON_GROUP)
    if group is None:
        failures.append("no icon group %d" % ICON_GROUP)
    else:
        images = sorted(icon_images(group))
        print("icon group %d: %s" % (ICON_GROUP, ", ".join("%dx%d %d bpp" % (w, h, b) for w, h, _, b in images)))
        if [(w, h, b) for w, h, _, b in images] != [(16, 16, 4), (32, 32, 4)]:
            failures.append("icon group %d must hold 16x16 and 32x32 at 16 colours" % ICON_GROUP)
    if pe.resource(RT_MENU, MENU) is None:
        failures.append("no menu %d" % MENU)

    for f in failures:
        print("FAIL: " + f)
    print("pecheck: " + ("FAILED" if failures else "ok"))
    return not failures


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("exe")
    ap.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    args = ap.parse_args()
    if not os.path.isfile(args.exe):
        print("pecheck: no such file: " + args.exe)
        return 1
    return 0 if check(args.exe, args.objdump) else 1


if __name__ == "__main__":
    sys.exit(main())
