#!/usr/bin/env python3
"""Makes the archives the archive library's tests read, each with the tool named beside it.

    make_fixtures.py OUT

OUT/tree is the source every tool archive is made from (Japanese names, an empty folder,
text and binary files, fixed times); the tests compare what they extract with it. Nothing
here is copied from elsewhere: every archive is made on the spot.
"""
import io
import os
import random
import shutil
import subprocess
import sys
import tarfile
import zipfile

# 2020-01-02 03:04:06 UTC and on, whole even seconds: every format can hold them.
BASE_TIME = 1577934246

# Relative paths (folders end with '/') and contents of the source tree.
TREE_FILES = {
    "readme.txt": b"Tembrook archive test\r\nsecond line\r\n",
    "binary.bin": bytes(range(256)) * 64 + random.Random(7).randbytes(100000),
    "nested/zero.dat": b"",
    "nested/deeper/deepest/leaf.txt": b"leaf\n",
    # "ソ" and "表" end in byte 0x5C in CP932, the byte of a backslash.
    "日本語フォルダ/テスト.txt": "日本語の本文\r\n".encode("utf-8"),
    "日本語フォルダ/ソフト表示.txt": b"dame-moji\n",
}
TREE_FOLDERS = ["empty folder/", "nested/", "nested/deeper/", "nested/deeper/deepest/",
                "日本語フォルダ/"]


def run(args, cwd=None, env=None):
    subprocess.run(args, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL)


def make_tree(root, encoding="utf-8"):
    """The source tree; names in the given encoding (bytes on disk)."""
    broot = os.fsencode(root)
    for folder in TREE_FOLDERS:
        os.makedirs(os.path.join(broot, folder.encode(encoding)), exist_ok=True)
    for index, (name, data) in enumerate(sorted(TREE_FILES.items())):
        path = os.path.join(broot, name.encode(encoding))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (BASE_TIME + 2 * index, BASE_TIME + 2 * index))
    # Folders last, deepest first: writing into a folder changes its time.
    for index, folder in enumerate(sorted(TREE_FOLDERS, key=lambda f: -f.count("/"))):
        stamp = BASE_TIME + 1000 + 2 * index
        os.utime(os.path.join(broot, folder.encode(encoding)), (stamp, stamp))


def hostile_tar(path):
    """Python tarfile: names that try to leave the target folder or that Windows cannot hold."""
    def add(t, name, data=b"x", kind=tarfile.REGTYPE, link=""):
        info = tarfile.TarInfo(name)
        info.type = kind
        info.linkname = link
        info.mtime = BASE_TIME
        if kind == tarfile.REGTYPE:
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
        else:
            t.addfile(info)

    with tarfile.open(path, "w", format=tarfile.GNU_FORMAT) as t:
        add(t, "good.txt", b"good")
        add(t, "safe/nested.txt", b"nested")
        add(t, "../escape-dotdot.txt")
        add(t, "safe/../../escape-dotdot2.txt")
        add(t, "safe/../inside-but-dotdot.txt")
        add(t, "..\\escape-backslash.txt")
        add(t, "safe\\..\\..\\escape-backslash2.txt")
        add(t, "/escape-absolute.txt")
        add(t, "\\escape-absolute2.txt")
        add(t, "C:/escape-drive.txt")
        add(t, "C:escape-drive-relative.txt")
        add(t, "\\\\server\\share\\escape-unc.txt")
        add(t, "//server/share/escape-unc2.txt")
        add(t, "link-out", kind=tarfile.SYMTYPE, link="../../../outside")
        add(t, "link-out/through-link.txt", b"through")
        add(t, "link-abs", kind=tarfile.SYMTYPE, link="/tmp")
        add(t, "link-abs/through-abs.txt")
        add(t, "hard-out.txt", kind=tarfile.LNKTYPE, link="../../../outside-secret.txt")
        add(t, "hard-in.txt", kind=tarfile.LNKTYPE, link="good.txt")
        for name in ["con.txt", "AUX", "nul/inside.txt", "com1.log", "bad<name>.txt",
                     "question?.txt", "trailing-dot.", "trailing-space ", "stream.txt:evil",
                     "ctrl\x01char.txt", "pipe|name.txt"]:
            add(t, name)


def hostile_zip(path):
    """Python zipfile: the same tricks in ZIP, with a symbolic link entry."""
    with zipfile.ZipFile(path, "w") as z:
        def add(name, data=b"x", attributes=None):
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6))
            if attributes is not None:
                info.external_attr = attributes << 16
            z.writestr(info, data)

        add("zip-good.txt", b"good")
        add("../zip-dotdot.txt")
        add("..\\zip-backslash.txt")
        add("/zip-absolute.txt")
        add("C:\\zip-drive.txt")
        add("\\\\server\\share\\zip-unc.txt")
        add("zlink", b"../../..", attributes=0o120777)
        add("zlink/zip-through.txt", b"through")
        add("prn.txt")


def duplicates_zip(path):
    """Python zipfile: names stored twice, next to each other and further apart, among many
    others. The last of each must win."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        def add(name, data):
            z.writestr(zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6)), data)

        for pair in range(32):
            add("dup%d.txt" % pair, b"first")
            if pair % 2 == 0:
                add("dup%d.txt" % pair, b"second")
            for filler in range(pair % 5):
                add("filler/%d-%d.txt" % (pair, filler), b"filler %d %d" % (pair, filler))
            if pair % 2 == 1:
                add("dup%d.txt" % pair, b"second")


def main():
    out = sys.argv[1]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    tree = os.path.join(out, "tree")
    make_tree(tree)
    # The same tree with CP932 names on disk, as a Japanese Windows would hand them to zip.
    tree932 = os.path.join(out, "tree-cp932")
    make_tree(tree932, "cp932")
    c_locale = dict(os.environ, LANG="C", LC_ALL="C")

    # Info-ZIP zip 3.0: CP932 names without the UTF-8 flag.
    run(["zip", "-q", "-r", os.path.join(out, "infozip-cp932.zip"), "."], cwd=tree932,
        env=c_locale)
    shutil.rmtree(tree932)
    # 7-Zip 7zz: ZIP with UTF-8 names and the flag (-mcu=on).
    run(["7zz", "a", "-tzip", "-mcu=on", os.path.join(out, "7zz-utf8.zip"), "."], cwd=tree)
    # 7-Zip 7zz: 7z (LZMA2, UTF-16 names).
    run(["7zz", "a", "-t7z", os.path.join(out, "7zz.7z"), "."], cwd=tree)
    # GNU tar, pax format (UTF-8 names in the extended headers), with each compressor.
    for suffix, flag in [("tar", None), ("tar.gz", "-z"), ("tar.bz2", "-j"), ("tar.xz", "-J")]:
        args = ["tar", "--format=pax", "-c", "-f", os.path.join(out, "gnutar." + suffix)]
        run(args + ([flag] if flag else []) + ["."], cwd=tree)
    # GNU tar, its own format: the names are the bytes on disk, UTF-8 here.
    run(["tar", "--format=gnu", "-c", "-f", os.path.join(out, "gnutar-gnu.tar"), "."], cwd=tree)
    # bsdtar: GNU tar format with the names converted to CP932, as a Japanese Windows tar has
    # them.
    run(["bsdtar", "--format", "gnutar", "--options", "hdrcharset=CP932",
         "-cf", os.path.join(out, "bsdtar-cp932.tar"), "."], cwd=tree)
    # jLHA (jlha-utils): LZH, level-2 headers, CP932 names ('y').
    run(["jlha", "ay", os.path.join(out, "jlha.lzh"), "."], cwd=tree)
    # genisoimage: ISO9660 with Joliet names (UTF-16), no Rock Ridge.
    run(["genisoimage", "-quiet", "-J", "-joliet-long", "-V", "TEMBROOK",
         "-o", os.path.join(out, "genisoimage.iso"), "."], cwd=tree)
    # bsdtar: cpio (newc) with the names converted to CP932.
    run(["bsdtar", "--format", "newc", "--options", "hdrcharset=CP932",
         "-cf", os.path.join(out, "bsdtar.cpio"), "."], cwd=tree)
    # Info-ZIP: a self-extracting layout, a program stub in front of a ZIP (zip -A fixes the
    # offsets).
    sfx = os.path.join(out, "stub-sfx.exe")
    run(["zip", "-q", os.path.join(out, "sfx-part.zip"), "readme.txt"], cwd=tree)
    with open(sfx, "wb") as f:
        f.write(b"MZ" + bytes(4094))
        with open(os.path.join(out, "sfx-part.zip"), "rb") as part:
            f.write(part.read())
    run(["zip", "-q", "-A", sfx])
    os.remove(os.path.join(out, "sfx-part.zip"))

    # Python zipfile: a ZIP without entries (22 bytes), as Windows makes a new one.
    zipfile.ZipFile(os.path.join(out, "empty.zip"), "w").close()

    duplicates_zip(os.path.join(out, "duplicates.zip"))
    hostile_tar(os.path.join(out, "hostile.tar"))
    hostile_zip(os.path.join(out, "hostile.zip"))

    # A target folder with links already in it, pointing out of it, and an archive with
    # entries below and at those links (Python tarfile).
    os.makedirs(os.path.join(out, "planted-outside"))
    with open(os.path.join(out, "planted-outside.txt"), "wb") as f:
        f.write(b"original")
    os.makedirs(os.path.join(out, "link-target"))
    os.symlink("../planted-outside", os.path.join(out, "link-target", "planted"))
    os.symlink("../planted-outside.txt", os.path.join(out, "link-target", "planted-file.txt"))
    with tarfile.open(os.path.join(out, "planted.tar"), "w", format=tarfile.GNU_FORMAT) as t:
        for name, data in [("ok.txt", b"ok"), ("planted/x.txt", b"evil"),
                           ("planted-file.txt", b"evil")]:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))

    # A folder to pack with a link leading out of it. (Wine shows a Unix link to a folder as
    # a reparse point, as Windows does a junction; a link to a file it does not show at all.)
    link_root = os.path.join(out, "link-root")
    os.makedirs(os.path.join(link_root, "sub"))
    for name in ["inside.txt", "sub/file.txt"]:
        with open(os.path.join(link_root, name), "wb") as f:
            f.write(name.encode())
    os.symlink("../tree", os.path.join(link_root, "escape"))

    # Files that are no archive for the library.
    with open(os.path.join(out, "text.txt"), "wb") as f:
        f.write(b"just some text\r\n" * 100)
    run(["gzip", "-k", "-n", os.path.join(out, "text.txt")])
    os.rename(os.path.join(out, "text.txt.gz"), os.path.join(out, "lone.gz"))
    with open(os.path.join(out, "random.bin"), "wb") as f:
        f.write(random.Random(11).randbytes(8192))
    with open(os.path.join(out, "7zz-utf8.zip"), "rb") as f:
        whole_zip = f.read()
    with open(os.path.join(out, "gnutar.tar.gz"), "rb") as f:
        whole_tgz = f.read()
    # Cut so short that not even the first header can be read.
    with open(os.path.join(out, "truncated.zip"), "wb") as f:
        f.write(whole_zip[:10])
    with open(os.path.join(out, "truncated.tar.gz"), "wb") as f:
        f.write(whole_tgz[:30])
    # Cut in the middle: the first header reads, the rest does not.
    with open(os.path.join(out, "half.zip"), "wb") as f:
        f.write(whole_zip[:len(whole_zip) // 2])


if __name__ == "__main__":
    main()
