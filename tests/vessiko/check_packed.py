#!/usr/bin/env python3
"""Checks that a Linux tool accepts an archive the library packed and extracts from it the
tree it was packed from: the same files and folders, contents and file times.

    check_packed.py TOOL ARCHIVE TREE      TOOL: unzip, 7zz, bsdtar or gnutar
"""
import os
import subprocess
import sys
import tempfile
import zipfile

COMMANDS = {
    # (test command, extract command); the extract command runs inside the output folder.
    "unzip": (["unzip", "-t", "-q"], ["unzip", "-q"]),
    "7zz": (["7zz", "t"], ["7zz", "x", "-y"]),
    "bsdtar": (["bsdtar", "-tf"], ["bsdtar", "-xf"]),
    "gnutar": (["tar", "-tf"], ["tar", "-xf"]),
}


def listing(root):
    """Relative paths below root ('/' after folders) with their contents and times."""
    items = {}
    for folder, dirs, files in os.walk(root):
        for d in dirs:
            path = os.path.join(folder, d)
            items[os.path.relpath(path, root) + "/"] = (None, None)
        for f in files:
            path = os.path.join(folder, f)
            with open(path, "rb") as data:
                items[os.path.relpath(path, root)] = (data.read(), os.stat(path).st_mtime)
    return items


def check_zip_flags(archive):
    """Non-ASCII ZIP names are UTF-8 with the flag that says so (bit 11)."""
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            if not info.filename.isascii() and not info.flag_bits & 0x800:
                print("no UTF-8 flag: " + info.filename)
                sys.exit(1)


def main():
    tool, archive, tree = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3]
    test, extract = COMMANDS[tool]
    if archive.endswith(".zip"):
        check_zip_flags(archive)
    subprocess.run(test + [archive], check=True, stdout=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory() as out:
        # A UTF-8 locale, so that the tools write the archive's Unicode names as they are.
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        subprocess.run(extract + [archive], cwd=out, env=env, check=True,
                       stdout=subprocess.DEVNULL)
        want, got = listing(tree), listing(out)
        failures = []
        if sorted(want) != sorted(got):
            failures.append("names differ:\n  want %s\n  got  %s" % (sorted(want), sorted(got)))
        for name in sorted(set(want) & set(got)):
            (want_bytes, want_time), (got_bytes, got_time) = want[name], got[name]
            if want_bytes != got_bytes:
                failures.append("content differs: " + name)
            if want_time is not None and abs(want_time - got_time) > 2:
                failures.append("time differs: %s (%s, %s)" % (name, want_time, got_time))
        if failures:
            print("\n".join(failures))
            sys.exit(1)


if __name__ == "__main__":
    main()
