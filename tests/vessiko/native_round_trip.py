#!/usr/bin/env python3
"""The library's core on Linux (vessiko-native): packs real trees that Info-ZIP, bsdtar and
Python read back, extracts them again with names, contents and times intact, never stores or
follows symbolic links, never writes through a link it finds in the target folder, and keeps
the old archive's entries on an update.

    native_round_trip.py VESSIKO_NATIVE
"""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

BASE_TIME = 1577934246  # whole even seconds: zip holds them exactly
FILES = {
    "readme.txt": b"round trip\r\n",
    "nested/deeper/leaf.txt": b"leaf\n" * 1000,
    "nested/zero.dat": b"",
    "\u65e5\u672c\u8a9e/\u30c6\u30b9\u30c8.txt": "\u672c\u6587\n".encode("utf-8"),
    "binary.bin": bytes(range(256)) * 300,
}
FOLDERS = ["empty folder", "nested", "nested/deeper", "\u65e5\u672c\u8a9e"]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAILED: " + message)


def make_tree(root, outside):
    for folder in FOLDERS:
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    for index, (name, data) in enumerate(sorted(FILES.items())):
        path = os.path.join(root, name)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (BASE_TIME + 2 * index, BASE_TIME + 2 * index))
    for index, folder in enumerate(sorted(FOLDERS, key=lambda f: -f.count("/"))):
        stamp = BASE_TIME + 1000 + 2 * index
        os.utime(os.path.join(root, folder), (stamp, stamp))
    # Links to the outside: packing must neither store nor follow them.
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(root, "file-link"))
    os.symlink(outside, os.path.join(root, "folder-link"))


def tree_of(root):
    """{relative path: (bytes or None for a folder, mtime)} without following links."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            relative = os.path.relpath(path, root)
            info = os.lstat(path)
            if os.path.islink(path):
                found[relative] = ("link", None)
            elif os.path.isdir(path):
                found[relative] = (None, int(info.st_mtime))
            else:
                with open(path, "rb") as f:
                    found[relative] = (f.read(), int(info.st_mtime))
    return found


def run(native, *args):
    return subprocess.run([native] + list(args), stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE).returncode


def round_trip(native, work):
    outside = os.path.join(work, "outside")
    os.makedirs(outside)
    with open(os.path.join(outside, "secret.txt"), "wb") as f:
        f.write(b"must not be packed")
    source = os.path.join(work, "source")
    make_tree(source, outside)
    expected = {k: v for k, v in tree_of(source).items() if v[0] != "link"}

    archive = os.path.join(work, "packed.zip")
    check(run(native, "pack", archive, source, "zip") == 0, "pack zip failed")
    with zipfile.ZipFile(archive) as z:
        names = set(z.namelist())
        check(z.read("readme.txt") == FILES["readme.txt"], "zip member readme.txt differs")
        check("\u65e5\u672c\u8a9e/\u30c6\u30b9\u30c8.txt" in names, "Japanese name not stored as UTF-8")
        check(not any("link" in n or "secret" in n for n in names),
              "a link or its target was packed: %r" % sorted(names))
        check("empty folder/" in names, "the empty folder was not packed")
    check(subprocess.run(["unzip", "-tq", archive], stdout=subprocess.DEVNULL).returncode == 0,
          "Info-ZIP rejects the packed zip")
    check(not any(os.path.basename(p).startswith("packed.zip.vsk") for p in os.listdir(work)),
          "the temporary file of the pack was left behind")

    target = os.path.join(work, "extracted")
    check(run(native, "extract", archive, target) == 0, "extract zip failed")
    check(tree_of(target) == expected, "the extracted zip differs from the packed tree")

    seven = os.path.join(work, "packed.7z")
    check(run(native, "pack", seven, source, "7z") == 0, "pack 7z failed")
    listing = subprocess.run(["bsdtar", "-tf", seven], stdout=subprocess.PIPE).stdout.decode()
    check("nested/deeper/leaf.txt" in listing.split("\n"), "bsdtar does not list the 7z's files")
    target7 = os.path.join(work, "extracted7")
    check(run(native, "extract", seven, target7) == 0, "extract 7z failed")
    check(tree_of(target7) == expected, "the extracted 7z differs from the packed tree")

    # A link planted in the target folder is never written through.
    planted = os.path.join(work, "planted")
    os.makedirs(planted)
    os.symlink(outside, os.path.join(planted, "nested"))
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(planted, "readme.txt"))
    run(native, "extract", archive, planted)
    check(sorted(os.listdir(outside)) == ["secret.txt"], "extraction wrote into the linked folder")
    with open(os.path.join(outside, "secret.txt"), "rb") as f:
        check(f.read() == b"must not be packed", "extraction wrote through a file link")

    # An update keeps the old archive's entries absent from the root; a fresh pack does not.
    smaller = os.path.join(work, "smaller")
    os.makedirs(smaller)
    with open(os.path.join(smaller, "README.TXT"), "wb") as f:
        f.write(b"replaced")
    check(run(native, "pack", archive, smaller, "zip") == 0, "update pack failed")
    with zipfile.ZipFile(archive) as z:
        names = set(z.namelist())
        check("nested/deeper/leaf.txt" in names, "the update lost an entry absent from the root")
        check("readme.txt" not in names and z.read("README.TXT") == b"replaced",
              "a name present in another letter case was kept twice")
    check(run(native, "pack", archive, smaller, "zip", "fresh") == 0, "fresh pack failed")
    with zipfile.ZipFile(archive) as z:
        check(z.namelist() == ["README.TXT"], "a fresh pack kept old entries: %r" % z.namelist())

    # A root that does not exist fails and leaves the archive as it was.
    with open(archive, "rb") as f:
        before = f.read()
    check(run(native, "pack", archive, os.path.join(work, "missing"), "zip") != 0,
          "packing a missing root reported success")
    with open(archive, "rb") as f:
        check(f.read() == before, "a failed pack changed the archive")


def main():
    native = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="vessiko-native-")
    try:
        round_trip(native, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
