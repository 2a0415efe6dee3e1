#!/usr/bin/env python3
"""Makes the archives the archive library's tests read, each with the real tool named beside
it, into OUT (by default tests/data/vessiko, where they are committed; tests/data/vessiko/
README.txt says where each came from). Run it again only to change a fixture.

    make-fixtures.py [OUT]

Every tool archive holds the same sample tree: Japanese names, an empty folder, text and
binary files, fixed times (the tests take gnutar.tar's extraction as the reference).
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import unicodedata
import zipfile
import zlib

# 2020-01-02 03:04:06 UTC and on, whole even seconds: every format can hold them.
BASE_TIME = 1577934246


def binary():
    state, tail = 12345, bytearray()
    for _ in range(4096):  # incompressible, so that compressed sizes differ from stored ones
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        tail.append(state >> 24)
    return bytes(range(256)) * 16 + bytes(tail)


# The sample tree: files in this order get BASE_TIME + 2 * i, folders (deepest first)
# BASE_TIME + 1000 + 2 * i.
FILES = [
    ("readme.txt", b"Tembrook archive test\r\nsecond line\r\n"),
    ("binary.bin", binary()),
    ("nested/zero.dat", b""),
    ("nested/deeper/deepest/leaf.txt", b"leaf\n"),
    ("日本語フォルダ/テスト.txt", "日本語の本文\r\n".encode("cp932")),
    # "ソ" and "表" end in byte 0x5C in CP932, the byte of a backslash.
    ("日本語フォルダ/ソフト表示.txt", b"dame-moji\n"),
]
FOLDERS = ["nested/deeper/deepest", "nested/deeper", "nested", "empty folder", "日本語フォルダ"]


def run(args, cwd=None, env=None):
    subprocess.run(args, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL)


def make_tree(root, encoding):
    """The sample tree, its names in the given encoding on disk."""
    name = lambda path: os.path.join(os.fsencode(root), path.encode(encoding))
    for folder in FOLDERS:
        os.makedirs(name(folder), exist_ok=True)
    for index, (path, data) in enumerate(FILES):
        with open(name(path), "wb") as f:
            f.write(data)
        os.utime(name(path), (BASE_TIME + 2 * index,) * 2)
    for index, folder in enumerate(FOLDERS):
        os.utime(name(folder), (BASE_TIME + 1000 + 2 * index,) * 2)


def hostile_tar(path):
    """Names that try to leave the target folder, links, and names Windows cannot hold."""
    def add(t, name, data=b"x", kind=tarfile.REGTYPE, link=""):
        info = tarfile.TarInfo(name)
        info.type, info.linkname, info.mtime = kind, link, BASE_TIME
        info.size = len(data) if kind == tarfile.REGTYPE else 0
        t.addfile(info, io.BytesIO(data) if kind == tarfile.REGTYPE else None)

    with tarfile.open(path, "w", format=tarfile.GNU_FORMAT) as t:
        add(t, "good.txt", b"good")
        add(t, "safe/nested.txt", b"nested")
        for name in ["../escape-dotdot.txt", "safe/../../escape-dotdot2.txt",
                     "safe/../inside-but-dotdot.txt", "..\\escape-backslash.txt",
                     "/escape-absolute.txt", "\\escape-absolute2.txt", "C:/escape-drive.txt",
                     "C:escape-drive-relative.txt", "\\\\server\\share\\escape-unc.txt",
                     "//server/share/escape-unc2.txt"]:
            add(t, name)
        add(t, "link-out", kind=tarfile.SYMTYPE, link="../../../outside")
        add(t, "link-out/through-link.txt", b"through")
        add(t, "hard-out.txt", kind=tarfile.LNKTYPE, link="../../../outside-secret.txt")
        add(t, "hard-in.txt", kind=tarfile.LNKTYPE, link="good.txt")
        for name in ["con.txt", "AUX", "nul/inside.txt", "com1.log", "bad<name>.txt",
                     "question?.txt", "trailing-dot.", "trailing-space ", "stream.txt:evil",
                     "ctrl\x01char.txt", "pipe|name.txt", "long-" + "x" * 240 + ".txt",
                     # Bytes E0 80 AE are no UTF-8 ('.' spelt too long), but CP932 text.
                     "overlong\udce0\udc80\udcae"]:
            add(t, name)


def hostile_zip(path):
    """The same tricks in ZIP, with a symbolic link entry."""
    with zipfile.ZipFile(path, "w") as z:
        for name, data, mode in [("zip-good.txt", b"good", None), ("../zip-dotdot.txt", b"x", None),
                                 ("..\\zip-backslash.txt", b"x", None),
                                 ("/zip-absolute.txt", b"x", None), ("C:\\zip-drive.txt", b"x", None),
                                 ("zlink", b"../../..", 0o120777),
                                 ("zlink/zip-through.txt", b"through", None), ("prn.txt", b"x", None)]:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6))
            if mode:
                info.external_attr = mode << 16
            z.writestr(info, data)


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                          os.path.join(os.path.dirname(__file__), "..", "tests", "data", "vessiko"))
    os.makedirs(out, exist_ok=True)
    work = tempfile.mkdtemp()
    made = os.path.join(work, "made")  # made afresh: some tools add to an archive that exists
    os.makedirs(made)
    o = lambda name: os.path.join(made, name)
    tree, tree932 = os.path.join(work, "tree"), os.path.join(work, "tree-cp932")
    make_tree(tree, "utf-8")
    make_tree(tree932, "cp932")  # as a Japanese Windows hands the names to zip
    try:
        run(["zip", "-q", "-r", o("infozip-cp932.zip"), "."], cwd=tree932,
            env=dict(os.environ, LANG="C", LC_ALL="C"))
        run(["7zz", "a", "-tzip", "-mcu=on", o("7zz-utf8.zip"), "."], cwd=tree)
        run(["7zz", "a", "-t7z", o("7zz.7z"), "."], cwd=tree)
        for suffix, flag in [("tar", []), ("tar.gz", ["-z"]), ("tar.bz2", ["-j"]), ("tar.xz", ["-J"])]:
            run(["tar", "--format=pax", "-c", "-f", o("gnutar." + suffix)] + flag + ["."], cwd=tree)
        run(["tar", "--format=gnu", "-c", "-f", o("gnutar-gnu.tar"), "."], cwd=tree)
        run(["bsdtar", "--format", "gnutar", "--options", "hdrcharset=CP932", "-cf",
             o("bsdtar-cp932.tar"), "."], cwd=tree)
        run(["jlha", "ay", o("jlha.lzh"), "."], cwd=tree)
        run(["genisoimage", "-quiet", "-J", "-joliet-long", "-V", "TEMBROOK", "-o",
             o("genisoimage.iso"), "."], cwd=tree)
        run(["bsdtar", "--format", "newc", "--options", "hdrcharset=CP932", "-cf",
             o("bsdtar.cpio"), "."], cwd=tree)
        # A program stub in front of a ZIP; zip -A fixes the offsets.
        run(["zip", "-q", os.path.join(work, "part.zip"), "readme.txt"], cwd=tree)
        with open(o("stub-sfx.exe"), "wb") as f, open(os.path.join(work, "part.zip"), "rb") as part:
            f.write(b"MZ" + bytes(4094) + part.read())
        run(["zip", "-q", "-A", o("stub-sfx.exe")])
        make_others(o)
        make_names(o, tree)
        for name in os.listdir(made):
            shutil.copyfile(o(name), os.path.join(out, name))
    finally:
        shutil.rmtree(work)


def raw_zip(path, entries):
    """A ZIP of stored entries whose names are the given bytes, without the UTF-8 flag; an
    entry may carry an Info-ZIP Unicode path field (0x7075) with the name in UTF-8."""
    local, central = b"", b""
    for raw, unicode_name, data in entries:
        extra = b""
        if unicode_name is not None:
            u8 = unicode_name.encode("utf-8")
            extra = struct.pack("<HHBI", 0x7075, 5 + len(u8), 1, zlib.crc32(raw)) + u8
        crc, offset = zlib.crc32(data), len(local)
        fields = struct.pack("<HHHHHIIIHH", 10, 0, 0, 0x1880, 0x5021, crc, len(data), len(data),
                             len(raw), len(extra))
        local += b"PK\3\4" + fields + raw + extra + data
        central += (b"PK\1\2" + struct.pack("<H", 20) + fields +
                    struct.pack("<HHHII", 0, 0, 0, 0, offset) + raw + extra)
    with open(path, "wb") as f:
        f.write(local + central + b"PK\5\6" + struct.pack("<HHHHIIH", 0, 0, len(entries),
                                                          len(entries), len(central), len(local), 0))


def make_names(o, tree):
    """How makers other than Windows write names: Info-ZIP on Linux (UTF-8, no flag), macOS's
    compressor (decomposed UTF-8, no flag), and a Unicode path field beside a raw name."""
    run(["zip", "-q", "-r", o("infozip-utf8.zip"), "."], cwd=tree,
        env=dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8"))
    nfd = lambda name: unicodedata.normalize("NFD", name).encode("utf-8")
    raw_zip(o("macos-nfd.zip"), [(nfd("がぎぐ/ダウンロード.txt"), None, b"voiced"),
                                 (nfd("パパ.txt"), None, b"semi-voiced")])
    raw_zip(o("unicode-path.zip"), [("日本語.txt".encode("cp932"), "日本語.txt", b"cp932"),
                                    (b"??.txt", "表示.txt", b"field")])


def make_others(o):
    zipfile.ZipFile(o("empty.zip"), "w").close()  # as Windows makes a new compressed folder
    hostile_tar(o("hostile.tar"))
    hostile_zip(o("hostile.zip"))
    with open(o("text.txt"), "wb") as f:
        f.write(b"just some text\r\n" * 100)
    run(["gzip", "-k", "-n", "-f", o("text.txt")])
    os.replace(o("text.txt.gz"), o("lone.gz"))
    with open(o("zeros.tar"), "wb") as f:
        f.write(bytes(10240))
    whole_zip = open(o("7zz-utf8.zip"), "rb").read()
    for name, data in [("truncated.zip", whole_zip[:10]), ("half.zip", whole_zip[:len(whole_zip) // 2]),
                       ("truncated.tar.gz", open(o("gnutar.tar.gz"), "rb").read()[:30])]:
        with open(o(name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
