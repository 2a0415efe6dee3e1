#!/usr/bin/env python3
"""What other tools make of the archive library.

    tools_check.py exports OBJDUMP LIBRARY  exactly the six exports, no MinGW runtime imported
    tools_check.py packed FOLDER            unzip, 7zz, bsdtar and GNU tar extract FOLDER/packed.*
                                            (packed under Wine) to FOLDER/tree
    tools_check.py native VESSIKO_NATIVE    the core on Linux packs many, large, incompressible
                                            files the tools read back, never stores or follows
                                            a link, never writes through one, keeps the old
                                            archive's entries (links too) on an update, and
                                            lets the last of two entries of one name win
"""
import os, random, re, subprocess, sys, tempfile, zipfile

READERS = {"zip": ["unzip -q", "7zz x -y", "bsdtar -xf"], "7z": ["7zz x -y", "bsdtar -xf"],
           "tar": ["bsdtar -xf", "tar -xf"]}
failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
        print("FAILED: " + message)


def run(args, cwd=None):
    return subprocess.run(args, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          env=dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")).returncode


def listing(root):
    """{relative path: (content, time) of a file, None for a folder}; links are left out."""
    items = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                continue
            if os.path.isdir(path):
                items[os.path.relpath(path, root) + "/"] = None
            else:
                with open(path, "rb") as f:
                    items[os.path.relpath(path, root)] = (f.read(), os.stat(path).st_mtime)
    return items


def same_tree(want, got, what):
    want, got = listing(want), listing(got)
    check(sorted(want) == sorted(got), "%s: names differ: %s" % (what, sorted(set(want) ^ set(got))))
    for name in set(want) & set(got):  # times within the 2 s of a DOS time
        check(want[name] is None or (want[name][0] == got[name][0] and
                                     abs(want[name][1] - got[name][1]) <= 2), what + ": " + name)


def tools_read(archive, tree):
    kind = "zip" if archive.endswith(".zip") else "7z" if archive.endswith(".7z") else "tar"
    if kind == "zip":  # the UTF-8 flag exactly where a name needs it
        for info in zipfile.ZipFile(archive).infolist():
            check(bool(info.flag_bits & 0x800) != info.filename.isascii(), "flag: " + info.filename)
    for reader in READERS[kind]:
        with tempfile.TemporaryDirectory() as out:
            check(run(reader.split() + [archive], cwd=out) == 0, reader + " fails on " + archive)
            same_tree(tree, out, reader + " " + os.path.basename(archive))


def exports(objdump, library):
    text = subprocess.run([objdump, "-p", library], check=True, capture_output=True,
                          text=True).stdout
    table = text.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
    check(set(re.findall(r"\[\s*\d+\]\s+(\S+)", table)) ==
          {"LoadDLL", "ReleaseDLL", "Check", "Pac", "GetDLLType", "GetDLLStr"}, "exports differ")
    for name in re.findall(r"DLL Name: (\S+)", text):
        check(not name.lower().startswith(("libgcc", "libstdc++", "libwinpthread")), name)


def write(path, data, time=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if time:
        os.utime(path, (time, time))


def native(program, work):
    at = lambda *parts: os.path.join(work, *parts)
    write(at("outside", "secret.txt"), b"must not be packed")
    files = {"folder%d/file%02d.txt" % (f, i): b"line %d\n" % i * i * 4 for f in range(8)
             for i in range(60)}
    files.update({"zero.dat": b"", "\u65e5\u672c\u8a9e/\u540d\u524d.txt": "\u672c\n".encode(),
                  "large.txt": b"".join(b"row %d\n" % i for i in range(500000)),  # past 4 MiB
                  "noise.bin": random.Random(5).randbytes(300 * 1024)})
    for index, (name, data) in enumerate(sorted(files.items())):
        write(at("tree", name), data, 1577934246 + 2 * index)
    os.makedirs(at("tree", "empty folder"))
    os.symlink(at("outside", "secret.txt"), at("tree", "file-link"))
    os.symlink(at("outside"), at("tree", "folder-link"))
    for extension in ["zip", "7z", "tar"]:
        archive = at("packed." + extension)
        check(run([program, "pack", archive, at("tree"), extension, "fresh"]) == 0, "pack " + archive)
        tools_read(archive, at("tree"))
        check(run([program, "extract", archive, at(extension)]) == 0, "extract " + archive)
        same_tree(at("tree"), at(extension), "extracted " + extension)
    with zipfile.ZipFile(at("packed.zip")) as z:
        check(z.getinfo("noise.bin").compress_type == zipfile.ZIP_STORED and
              not any("link" in name for name in z.namelist()), "noise deflated, or a link packed")
    # Links planted in the target are replaced, never written through.
    os.makedirs(at("planted"))
    os.symlink(at("outside"), at("planted", "folder0"))
    os.symlink(at("outside", "secret.txt"), at("planted", "zero.dat"))
    run([program, "extract", at("packed.zip"), at("planted")])
    with open(at("outside", "secret.txt"), "rb") as f:
        check(os.listdir(at("outside")) == ["secret.txt"] and f.read() == b"must not be packed",
              "extraction wrote through a link")
    # An update keeps the old entries absent from the folder, links and unsafe names too;
    # a name in another letter case replaces its entry.
    with zipfile.ZipFile(at("old.zip"), "w") as z:
        link = zipfile.ZipInfo("link")
        link.create_system, link.external_attr = 3, 0o120777 << 16
        z.writestr(link, b"../../outside")
        for name in ["../dotdot.txt", "kept.txt", "readme.txt"]:
            z.writestr(name, b"old")
    write(at("update", "README.TXT"), b"new")
    check(run([program, "pack", at("old.zip"), at("update"), "zip"]) == 0, "update")
    with zipfile.ZipFile(at("old.zip")) as z:
        check(sorted(z.namelist()) == ["../dotdot.txt", "README.TXT", "kept.txt", "link"] and
              z.read("link") == b"../../outside" and z.getinfo("link").external_attr >> 16 == 0o120777
              and z.read("README.TXT") == b"new", "update: %s" % z.namelist())
    with zipfile.ZipFile(at("dups.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        for pair in range(32):
            z.writestr("dup%d.txt" % pair, b"first")
            for filler in range(pair % 4):
                z.writestr("filler/%d-%d.txt" % (pair, filler), b"x")
            z.writestr("dup%d.txt" % pair, b"second")
    check(run([program, "extract", at("dups.zip"), at("dups")]) == 0, "extract duplicates")
    check(all(open(at("dups", "dup%d.txt" % pair), "rb").read() == b"second" for pair in range(32)),
          "an earlier entry of a name won")


if __name__ == "__main__":
    command, arguments = sys.argv[1], sys.argv[2:]
    if command == "exports":
        exports(*arguments)
    elif command == "packed":
        for name in sorted(os.listdir(arguments[0])):
            if name.startswith("packed."):
                tools_read(os.path.join(arguments[0], name), os.path.join(arguments[0], "tree"))
    else:
        with tempfile.TemporaryDirectory() as work:
            native(os.path.abspath(arguments[0]), work)
    sys.exit(1 if failures else 0)
