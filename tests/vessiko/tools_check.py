#!/usr/bin/env python3
"""What other tools make of the archive library. tools_check.py exports OBJDUMP DLL | packed
FOLDER (unzip, 7zz, bsdtar, tar extract FOLDER/packed.* to FOLDER/tree, FOLDER/X.zip to FOLDER/X;
7zz and unzip test FOLDER/encrypted-*.zip with the password) | native VESSIKO_NATIVE
(the core on Linux: the tools read what it packs; links are never packed, followed, written;
a 7z update copies what it can of the old archive)."""
import os, random, re, subprocess, sys, tempfile, zipfile

READERS = {"zip": ["unzip -q", "7zz x -y", "bsdtar -xf"], "7z": ["7zz x -y", "bsdtar -xf"],
           "tar": ["bsdtar -xf", "tar -xf"]}
failures = []


def check(ok, message):
    failures.extend([] if ok else [message])


def run(args, cwd=None, env=None):
    return subprocess.run(args, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          env=dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", **(env or {}))
                          ).returncode


def listing(root):
    """{relative path: (content, time) of a file, None for a folder}; links are left out."""
    paths = [os.path.join(top, name) for top, dirs, files in os.walk(root) for name in dirs + files]
    read = lambda path: None if os.path.isdir(path) else (open(path, "rb").read(),
                                                          os.stat(path).st_mtime)
    return {os.path.relpath(path, root) + "/" * os.path.isdir(path): read(path)
            for path in paths if not os.path.islink(path)}


def same_tree(want, got, what):
    want, got = listing(want), listing(got)
    check(sorted(want) == sorted(got), "%s: names %s" % (what, sorted(set(want) ^ set(got))))
    for name in set(want) & set(got):  # times within the 2 s of a DOS time
        check(want[name] is None or (want[name][0] == got[name][0] and
                                     abs(want[name][1] - got[name][1]) <= 2), what + ": " + name)


def tools_read(archive, tree):
    kind = os.path.basename(archive).split(".")[1]
    for info in zipfile.ZipFile(archive).infolist() if kind == "zip" else []:
        # The UTF-8 flag exactly where a name needs it.
        check(bool(info.flag_bits & 0x800) != info.filename.isascii(), "flag: " + info.filename)
    for reader in READERS[kind]:
        with tempfile.TemporaryDirectory() as out:
            check(run(reader.split() + [archive], cwd=out) == 0, reader + " fails on " + archive)
            same_tree(tree, out, reader + " " + os.path.basename(archive))


def exports(objdump, library):
    text = subprocess.run([objdump, "-p", library], capture_output=True, text=True).stdout
    table = text.split("[Ordinal/Name Pointer] Table", 1)[-1].split("\n\n", 1)[0]
    check(set(re.findall(r"\[\s*\d+\]\s+(\S+)", table)) ==
          {"LoadDLL", "ReleaseDLL", "Check", "Pac", "GetDLLType", "GetDLLStr", "SetPassword"}, "exports differ")
    for name in re.findall(r"DLL Name: (\S+)", text):
        check(not name.lower().startswith(("libgcc", "libstdc++", "libwinpthread")), name)


def native(program, at):
    files = {"folder%d/file%02d.txt" % (f, i): b"line %d\n" % i * i * 4 for f in range(8)
             for i in range(60)}
    files.update({"zero.dat": b"", "\u65e5\u672c\u8a9e/\u540d\u524d.txt": "\u672c\n".encode(),
                  "large.txt": b"".join(b"row %d\n" % i for i in range(500000)),  # past 4 MiB
                  "noise.bin": random.Random(5).randbytes(300 * 1024)})
    for index, (name, data) in enumerate(sorted(files.items()) + [("outside/secret.txt", b"s")]):
        os.makedirs(os.path.dirname(at("tree", name)), exist_ok=True)
        with open(at("tree", name), "wb") as f:
            f.write(data)
        os.utime(at("tree", name), (1577934246 + 2 * index,) * 2)
    os.makedirs(at("tree", "empty folder"))
    os.rename(at("tree", "outside"), at("outside"))
    os.symlink(at("outside", "secret.txt"), at("tree", "file-link"))
    os.symlink(at("outside"), at("tree", "folder-link"))
    for extension in ["zip", "7z"]:
        archive = at("packed." + extension)
        check(run([program, "pack", archive, at("tree"), extension, "fresh"]) == 0, archive)
        tools_read(archive, at("tree"))
        check(run([program, "extract", archive, at(extension)]) == 0, "extract " + archive)
        same_tree(at("tree"), at(extension), "extracted " + extension)
    # The timed write-back's case: the second pack of a process, after a file was rewritten at
    # the same size and time; only the second pack's seconds are printed.
    changed = at("tree", "folder0", "file07.txt")
    rewrite = "printf '%%s' %s > %s && touch -d @%d %s" % (
        "L" * os.path.getsize(changed), changed, os.stat(changed).st_mtime, changed)
    out = subprocess.run([program, "warm-pack", at("warm.zip"), at("tree"), "zip", rewrite],
                         capture_output=True, text=True)
    check(out.returncode == 0 and re.fullmatch(r"\d+\.\d{3}\n", out.stdout) is not None, out.stdout)
    with zipfile.ZipFile(at("warm.zip")) as z:
        check(z.read("folder0/file07.txt") == b"L" * os.path.getsize(changed), "a rewrite kept old")
    with zipfile.ZipFile(at("packed.zip")) as z:
        check(z.getinfo("noise.bin").compress_type == zipfile.ZIP_STORED and
              not any("link" in name for name in z.namelist()), "noise deflated, or a link packed")
    # A folder too deep to be opened by its path: the pack fails rather than leave it out.
    os.makedirs(at("deep"))
    fd = os.open(at("deep"), os.O_RDONLY)
    for _ in range(17):
        os.mkdir("d" * 250, dir_fd=fd)
        fd, parent = os.open("d" * 250, os.O_RDONLY, dir_fd=fd), fd
        os.close(parent)
    os.close(fd)
    check(run([program, "pack", at("deep.zip"), at("deep"), "zip"]) != 0, "a cut listing packed")
    # Links planted in the target are replaced, never written through.
    os.makedirs(at("planted"))
    os.symlink(at("outside"), at("planted", "folder0"))
    os.symlink(at("outside", "secret.txt"), at("planted", "zero.dat"))
    run([program, "extract", at("packed.zip"), at("planted")])
    check(os.listdir(at("outside")) == ["secret.txt"] and
          open(at("outside", "secret.txt"), "rb").read() == b"s", "extraction wrote through a link")
    # Several readers share the entries by name; the last of two of one name still wins.
    with zipfile.ZipFile(at("dups.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        for index in range(64):
            z.writestr("dup%d.txt" % (index % 32), b"first" if index < 32 else b"second")
    check(run([program, "extract", at("dups.zip"), at("dups")]) == 0 and
          all(open(at("dups", name), "rb").read() == b"second" for name in os.listdir(at("dups"))),
          "an earlier entry of a name won")


def pieces(program, at):
    """A 7z compressed in small pieces, then updated: every piece whose files are unchanged is
    copied as it is, unless the data before it changed and it no longer decodes the same."""
    os.environ["VESSIKO_PIECE_BYTES"] = str(64 * 1024)  # 4 or 5 of the 12 KiB files a piece
    # Each file: the same 8 KiB, turned round, which a piece finds in the data before it only
    # when primed, and 4 KiB of its own.
    rng = random.Random(9)
    text = rng.randbytes(8192) * 2
    files = {"p/%02d.txt" % i: text[i * 997 % 8192:][:8192] + rng.randbytes(4096)
             for i in range(48)}

    def edit(name, change):
        def apply(tree):
            path = os.path.join(tree, name)
            data, times = open(path, "rb").read(), os.stat(path)
            open(path, "wb").write(change(data))
            os.utime(path, ns=(times.st_atime_ns, times.st_mtime_ns))
        return apply
    cases = [("content, same size and time", edit("p/00.txt", lambda d: b"X" + d[1:]), False),
             ("grown, the last of a piece", edit("p/19.txt", lambda d: d[:6000] + b"new " + d[6000:]),
              False),
             ("removed, fresh", lambda tree: os.remove(os.path.join(tree, "p/21.txt")), True)]
    for index, (what, change, fresh) in enumerate(cases):
        tree, archive = at("pieces%d" % index, "tree"), at("pieces%d.7z" % index)
        for name, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            open(os.path.join(tree, name), "wb").write(data)
        check(run([program, "pack", archive, tree, "7z"]) == 0, what + ": first pack")
        old = open(archive, "rb").read()
        if index == 0:  # primed pieces compress about as well as one stream
            check(run([program, "pack", at("whole.7z"), tree, "7z"],
                      env={"VESSIKO_PIECE_BYTES": str(1 << 30)}) == 0 and
                  len(old) < 1.03 * os.path.getsize(at("whole.7z")), "pieces cost size")
        change(tree)
        check(run([program, "pack", archive, tree, "7z"] + ["fresh"] * fresh) == 0, what)
        tools_read(archive, tree)
        check(run([program, "extract", archive, at("pieces%d" % index, "out")]) == 0, what)
        same_tree(tree, at("pieces%d" % index, "out"), what)
        new = open(archive, "rb").read()
        parts = [old[k:k + 1024] for k in range(32, len(old) - 2048, 1024)]
        check(sum(part in new for part in parts) > 0.6 * len(parts), what + ": pieces not copied")
    del os.environ["VESSIKO_PIECE_BYTES"]


def deflate64(program, at):
    """Explorer's large ZIPs: 7zz's Deflate64 archive extracts as 7zz extracts it; after one
    change, the update tests clean in 7zz, its other entries copied as they were (method 9),
    the changed one deflated."""
    fixture = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "vessiko",
                           "7zz-deflate64.zip")
    check(run(["7zz", "x", "-y", "-o" + at("by7zz"), fixture]) == 0, "7zz x deflate64")
    check(run([program, "extract", fixture, at("ours")]) == 0, "extract deflate64")
    same_tree(at("by7zz"), at("ours"), "deflate64")
    with open(at("ours", "table.csv"), "ab") as f:
        f.write(b"one more row\r\n")
    archive = at("deflate64.zip")
    with open(fixture, "rb") as source, open(archive, "wb") as copy:
        copy.write(source.read())
    check(run([program, "pack", archive, at("ours"), "zip"]) == 0 and
          run(["7zz", "t", archive]) == 0, "deflate64 update")
    old, new = zipfile.ZipFile(fixture), zipfile.ZipFile(archive)
    for info in new.infolist():
        if info.is_dir():
            continue
        was = old.getinfo(info.filename)
        raw = lambda z, i: open(z.filename, "rb").read()[i.header_offset:][:30 + len(
            i.filename.encode()) + i.compress_size]
        changed = info.filename == "table.csv"
        check(info.compress_type == (8 if changed else 9) and
              (changed or raw(old, was)[30:] == raw(new, info)[30:]), "deflate64 " + info.filename)


if __name__ == "__main__":
    command, argument = sys.argv[1], sys.argv[2:]
    with tempfile.TemporaryDirectory() as work:
        if command == "exports":
            exports(*argument)
        for name in sorted(os.listdir(argument[0])) if command == "packed" else []:
            stem = os.path.join(argument[0], name.split(".")[0])
            if name.startswith("packed."):
                tools_read(os.path.join(argument[0], name), os.path.join(argument[0], "tree"))
            elif name.startswith("encrypted-"):  # a write-back over an encrypted ZIP
                testers = ["7zz t -ptembrook"] + ["unzip -t -P tembrook"] * ("zipcrypto" in name)
                for tester in testers:
                    check(run(tester.split() + [os.path.join(argument[0], name)]) == 0,
                          tester + " fails on " + name)
            elif name.endswith(".zip") and os.path.isdir(stem):  # an update against its root
                tools_read(os.path.join(argument[0], name), stem)
        if command == "native":
            native(os.path.abspath(argument[0]), lambda *parts: os.path.join(work, *parts))
            deflate64(os.path.abspath(argument[0]), lambda *p: os.path.join(work, "d64", *p))
            pieces(os.path.abspath(argument[0]), lambda *parts: os.path.join(work, "7z", *parts))
    print("\n".join("FAILED: " + failure for failure in failures))
    sys.exit(1 if failures else 0)
