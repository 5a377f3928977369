#!/usr/bin/env python3
# Checks the shipped 32-bit exe from its file: PE32 for i386 with the GUI
# subsystem below version 6.0, only DLLs (and functions) that every Windows
# has, at most 64 KiB. Prints its size; exit code 1 on any failed check.
#   pecheck.py <exe>
import os
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll",
               "comctl32.dll", "msvcrt.dll", "advapi32.dll", "ntdll.dll"}

exe = sys.argv[1]
out = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True, check=True).stdout
dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", out)}
checks = {
    "PE32 for i386": "file format pei-i386" in out and re.search(r"^Magic\s+010b", out, re.M),
    "GUI subsystem": re.search(r"^Subsystem\s+00000002", out, re.M),
    "system DLLs only (%s)" % ", ".join(sorted(dlls - SYSTEM_DLLS)): dlls <= SYSTEM_DLLS,
    # From 6.0 Windows widens the frame by a padded border: 57 client rows, and 60-pixel banners lose their bottom.
    "subsystem version below 6.0": re.search(r"^MajorSubsystemVersion\s+[0-5]$", out, re.M),
    "at most 64 KiB": os.path.getsize(exe) <= 64 * 1024,
    # Windows XP lacks it, and an import of it would keep the bar from starting there.
    "starts on XP (no RegisterApplicationRestart import)": "RegisterApplicationRestart" not in out,
}
failed = [name for name, ok in checks.items() if not ok]
print(f"{exe}: {os.path.getsize(exe)} bytes" + "".join(f"\nFAILED: {name}" for name in failed))
sys.exit(1 if failed else 0)
