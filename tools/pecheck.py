#!/usr/bin/env python3
# Checks the shipped 32-bit exe from its file: PE32 for i386 with the GUI
# subsystem, only DLLs that every Windows has, icon group 103 and menu 106 on
# board, at most 64 KiB. Prints its size; exit code 1 on any failed check.
#   pecheck.py <exe>
import os
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll",
               "comctl32.dll", "msvcrt.dll", "advapi32.dll", "ntdll.dll"}
RT_MENU, RT_GROUP_ICON = 4, 14

exe = sys.argv[1]
out = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True, check=True).stdout
resources, kind = set(), None
for indent, ident in re.findall(r"^\S+( +)Entry: ID: 0x(\w+)", out, re.M):
    if len(indent) == 3:
        kind = int(ident, 16)
    elif len(indent) == 5:
        resources.add((kind, int(ident, 16)))
dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", out)}
checks = {
    "PE32 for i386": "file format pei-i386" in out and re.search(r"^Magic\s+010b", out, re.M),
    "GUI subsystem": re.search(r"^Subsystem\s+00000002", out, re.M),
    "system DLLs only (%s)" % ", ".join(sorted(dlls - SYSTEM_DLLS)): dlls <= SYSTEM_DLLS,
    "icon group 103": (RT_GROUP_ICON, 103) in resources,
    "menu 106": (RT_MENU, 106) in resources,
    "at most 64 KiB": os.path.getsize(exe) <= 64 * 1024,
}
failed = [name for name, ok in checks.items() if not ok]
print(f"{exe}: {os.path.getsize(exe)} bytes" + "".join(f"\nFAILED: {name}" for name in failed))
sys.exit(1 if failed else 0)
