#!/usr/bin/env python3
"""The release zip's programs as they ship:  release_check.py OBJDUMP ZIP
Tembrook.exe, Vessiko.dll and mapdrive.exe are large-address-aware (4 GB of addresses for the
32-bit process on 64-bit Windows) and carry no symbols."""
import os, subprocess, sys, tempfile, zipfile

objdump, release = sys.argv[1], sys.argv[2]
with tempfile.TemporaryDirectory() as folder:
    for name in ("Tembrook.exe", "Vessiko.dll", "mapdrive.exe"):
        path = zipfile.ZipFile(release).extract(name, folder)
        headers = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
        flags = int(headers.split("Characteristics 0x", 1)[1].split()[0], 16)
        assert flags & 0x0020, "%s is not large-address-aware" % name
        symbols = subprocess.run([objdump, "-t", path], capture_output=True, text=True).stdout
        assert "no symbols" in symbols, "%s carries symbols" % name
        print("%s: large-address-aware, stripped, %d bytes" % (name, os.path.getsize(path)))
