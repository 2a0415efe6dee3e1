#!/usr/bin/env python3
"""The core's own ZIP writer and its extraction by several readers, on Linux (vessiko-native):
unzip, 7zz, bsdtar and Python accept what it packs and find the same names, contents, times
and flags; the archive is no larger than Info-ZIP's; an update keeps the old archive's links
and unsafe entries byte for byte; entries stored twice leave the last one on extraction.

    native_zip_check.py VESSIKO_NATIVE
"""
import os
import random
import subprocess
import sys
import tempfile
import zipfile

BASE_TIME = 1577934246  # whole even seconds: DOS times hold them exactly
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAILED: " + message)


def run(args, cwd=None):
    return subprocess.run(args, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          env=dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")).returncode


def make_tree(root):
    files = {}
    for folder in range(8):
        for index in range(60):
            name = "folder%d/file%02d.txt" % (folder, index)
            files[name] = b"".join(b"line %d of %s\n" % (line, name.encode())
                                   for line in range(index * 4))
    files["zero.dat"] = b""
    files["\u65e5\u672c\u8a9e/\u540d\u524d.txt"] = "\u672c\u6587\n".encode("utf-8")
    files["large.txt"] = b"".join(b"row %d\n" % i for i in range(900000))  # past 4 MiB
    files["noise.bin"] = random.Random(5).randbytes(300 * 1024)
    for index, (name, data) in enumerate(sorted(files.items())):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (BASE_TIME + 2 * index, BASE_TIME + 2 * index))
    os.makedirs(os.path.join(root, "empty folder"))
    return files


def listing(root):
    items = {}
    for folder, dirs, names in os.walk(root):
        for d in dirs:
            items[os.path.relpath(os.path.join(folder, d), root) + "/"] = None
        for n in names:
            path = os.path.join(folder, n)
            with open(path, "rb") as f:
                items[os.path.relpath(path, root)] = (f.read(), int(os.stat(path).st_mtime))
    return items


def check_packed(native, work):
    tree = os.path.join(work, "tree")
    files = make_tree(tree)
    archive = os.path.join(work, "packed.zip")
    check(run([native, "pack", archive, tree, "zip", "fresh"]) == 0, "pack failed")
    check(run(["unzip", "-t", "-q", archive]) == 0, "unzip -t rejects the archive")
    check(run(["7zz", "t", archive]) == 0, "7zz t rejects the archive")
    check(run(["bsdtar", "-tf", archive]) == 0, "bsdtar -tf rejects the archive")
    with zipfile.ZipFile(archive) as z:
        infos = {info.filename: info for info in z.infolist()}
        check(z.testzip() is None, "Python finds a bad CRC")
        for name, data in files.items():
            info = infos.get(name)
            check(info is not None, "missing entry " + name)
            if info is None:
                continue
            check(z.read(name) == data, "content differs: " + name)
            check(name.isascii() or info.flag_bits & 0x800, "no UTF-8 flag: " + name)
        check("empty folder/" in infos, "empty folder not stored")
        check(infos["noise.bin"].compress_type == zipfile.ZIP_STORED,
              "incompressible data not stored as it is")
        check(infos["large.txt"].compress_type == zipfile.ZIP_DEFLATED, "large file not deflated")
    # libarchive reads it back with the same names, contents and times.
    out = os.path.join(work, "bsdtar-out")
    os.makedirs(out)
    check(run(["bsdtar", "-xf", archive], cwd=out) == 0, "bsdtar cannot extract the archive")
    want, got = listing(tree), listing(out)
    check(sorted(want) == sorted(got), "bsdtar extracts other names")
    for name in set(want) & set(got):
        check(want[name] == got[name], "bsdtar extracts another content or time: " + name)
    # At most Info-ZIP's size at its default level.
    infozip = os.path.join(work, "infozip.zip")
    run(["zip", "-q", "-6", "-r", infozip, "."], cwd=tree)
    check(os.path.getsize(archive) <= 1.01 * os.path.getsize(infozip),
          "larger than Info-ZIP: %d > %d" % (os.path.getsize(archive), os.path.getsize(infozip)))
    # And the core's own extraction gives the tree back, folder times aside.
    mine = os.path.join(work, "native-out")
    check(run([native, "extract", archive, mine]) == 0, "extraction failed")
    got = listing(mine)
    check(sorted(want) == sorted(got), "extraction gives other names")
    for name in set(want) & set(got):
        check(want[name] == got[name], "extraction gives another content or time: " + name)


def check_update_keeps_links(native, work):
    archive = os.path.join(work, "old.zip")
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        link = zipfile.ZipInfo("link", date_time=(2020, 1, 2, 3, 4, 6))
        link.create_system = 3
        link.external_attr = 0o120777 << 16
        z.writestr(link, b"../../outside")
        z.writestr(zipfile.ZipInfo("../dotdot.txt", date_time=(2020, 1, 2, 3, 4, 6)), b"up")
        z.writestr(zipfile.ZipInfo("good.txt", date_time=(2020, 1, 2, 3, 4, 6)), b"good")
        z.writestr(zipfile.ZipInfo("kept/big.txt", date_time=(2020, 1, 2, 3, 4, 6)),
                   b"kept\n" * 1000000)
    root = os.path.join(work, "update-root")
    os.makedirs(root)
    with open(os.path.join(root, "good.txt"), "wb") as f:
        f.write(b"better")
    check(run([native, "pack", archive, root, "zip"]) == 0, "update failed")
    check(run(["unzip", "-t", "-q", archive]) == 0, "unzip -t rejects the updated archive")
    with zipfile.ZipFile(archive) as z:
        infos = {info.filename: info for info in z.infolist()}
        check(z.read("good.txt") == b"better", "changed entry not replaced")
        check(z.read("../dotdot.txt") == b"up", "unsafe entry not kept")
        check(z.read("kept/big.txt") == b"kept\n" * 1000000, "large kept entry differs")
        check("link" in infos and infos["link"].external_attr >> 16 == 0o120777,
              "link not kept as a link")
        check(z.read("link") == b"../../outside", "link target differs")
        check(infos["good.txt"].date_time != (2020, 1, 2, 3, 4, 6), "old time on a new entry")


def check_last_duplicate_wins(native, work):
    archive = os.path.join(work, "dups.zip")
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for pair in range(32):
            z.writestr("dup%d.txt" % pair, b"first")
            for filler in range(pair % 4):
                z.writestr("filler/%d-%d.txt" % (pair, filler), b"x")
            z.writestr("dup%d.txt" % pair, b"second")
    out = os.path.join(work, "dups-out")
    check(run([native, "extract", archive, out]) == 0, "extraction of duplicates failed")
    for pair in range(32):
        with open(os.path.join(out, "dup%d.txt" % pair), "rb") as f:
            check(f.read() == b"second", "an earlier entry of dup%d.txt won" % pair)


def main():
    native = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        check_packed(native, work)
        check_update_keeps_links(native, work)
        check_last_duplicate_wins(native, work)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
