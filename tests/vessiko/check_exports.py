#!/usr/bin/env python3
"""Checks the archive library's export table and imports.

    check_exports.py OBJDUMP LIBRARY

Exactly the six functions are exported, under their plain names, and no MinGW runtime
library is imported: the library must load beside the program with nothing else.
"""
import re
import subprocess
import sys

EXPORTS = {"LoadDLL", "ReleaseDLL", "Check", "Pac", "GetDLLType", "GetDLLStr"}
RUNTIMES = ("libgcc", "libstdc++", "libwinpthread")


def main():
    objdump, library = sys.argv[1], sys.argv[2]
    text = subprocess.run([objdump, "-p", library], check=True, capture_output=True,
                          text=True).stdout
    table = text.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
    exports = set(re.findall(r"\[\s*\d+\]\s+(\S+)", table))
    imports = re.findall(r"DLL Name: (\S+)", text)
    failures = []
    if exports != EXPORTS:
        failures.append("exports: %s" % sorted(exports))
    for name in imports:
        if name.lower().startswith(RUNTIMES):
            failures.append("imports a runtime library: " + name)
    if failures:
        print("\n".join(failures))
        sys.exit(1)


if __name__ == "__main__":
    main()
