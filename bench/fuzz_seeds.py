#!/usr/bin/env python3
"""Seeds for the archive fuzzer: the archive library's test fixtures plus small hand-made
archives (tiny inputs let the fuzzer mutate headers rather than file contents).

    fuzz_seeds.py FIXTURES_SCRIPT OUT

FIXTURES_SCRIPT is tests/vessiko/make_fixtures.py; its archives are made into a scratch folder
and the files among them copied into OUT. Standard library only, plus 7zz when present.
"""
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

# Seeds larger than this only slow the fuzzer down.
LARGEST_SEED = 1 << 20


def tar_bytes(mode, members):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode=mode, format=tarfile.PAX_FORMAT) as t:
        for info, data in members:
            t.addfile(info, io.BytesIO(data) if data is not None else None)
    return buffer.getvalue()


def member(name, data=b"", kind=tarfile.REGTYPE, link=""):
    info = tarfile.TarInfo(name)
    info.type = kind
    info.linkname = link
    info.mtime = 1577934246
    if kind == tarfile.REGTYPE:
        info.size = len(data)
        return info, data
    return info, None


def hand_made(out):
    seeds = {}
    small = [member("a.txt", b"alpha\n"), member("d/", kind=tarfile.DIRTYPE),
             member("d/b.txt", b"beta\n"), member("d/link", kind=tarfile.LNKTYPE, link="a.txt"),
             member("sym", kind=tarfile.SYMTYPE, link="../outside")]
    seeds["small.tar"] = tar_bytes("w", small)
    seeds["small.tar.gz"] = tar_bytes("w:gz", small)
    seeds["small.tar.bz2"] = tar_bytes("w:bz2", small)
    seeds["small.tar.xz"] = tar_bytes("w:xz", small)
    seeds["escape.tar"] = tar_bytes("w", [member("../up.txt", b"x"), member("/abs.txt", b"x"),
                                          member("c:\\dos.txt", b"x"), member("ok.txt", b"x")])
    for name, method in (("stored.zip", zipfile.ZIP_STORED), ("deflated.zip", zipfile.ZIP_DEFLATED),
                         ("bzip2.zip", zipfile.ZIP_BZIP2), ("lzma.zip", zipfile.ZIP_LZMA)):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", method) as z:
            z.writestr("a.txt", b"alpha alpha alpha\n")
            z.writestr("d/", b"")
            z.writestr("d/\u65e5\u672c.txt", b"beta\n")
            z.writestr("..\\back.txt", b"x")
        seeds[name] = buffer.getvalue()
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    sevenzip = shutil.which("7zz")
    if sevenzip:
        with tempfile.TemporaryDirectory() as tree:
            os.makedirs(os.path.join(tree, "d"))
            for path, text in (("a.txt", "alpha\n"), ("d/b.txt", "beta\n")):
                with open(os.path.join(tree, path), "w") as f:
                    f.write(text)
            for name, switches in (("small.7z", ["-mx1"]), ("solid-bcj2.7z", ["-mx5", "-mf=BCJ2"]),
                                   ("ppmd.7z", ["-m0=PPMd"])):
                subprocess.run([sevenzip, "a", "-bd", "-y"] + switches +
                               [os.path.join(out, name), "a.txt", "d"],
                               cwd=tree, check=False, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)


def main():
    fixtures_script, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([sys.executable, fixtures_script, scratch], check=True,
                       stdout=subprocess.DEVNULL)
        for name in sorted(os.listdir(scratch)):
            path = os.path.join(scratch, name)
            if os.path.isfile(path) and os.path.getsize(path) <= LARGEST_SEED:
                shutil.copyfile(path, os.path.join(out, name))
    hand_made(out)
    print("%d seeds in %s" % (len(os.listdir(out)), out))


if __name__ == "__main__":
    sys.exit(main())
