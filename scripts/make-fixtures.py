#!/usr/bin/env python3
"""Makes the archives the archive library's tests read, each with the real tool named beside
it, into OUT (by default tests/data/vessiko, where they are committed; tests/data/vessiko/
README.txt says where each came from). It writes only the fixtures OUT lacks: several tools
record access times, owners or random bytes, so a rerun would change the others; delete a
fixture to make it anew.

    make-fixtures.py [OUT]

The tool archives hold the same sample tree, but for three that need their own: Japanese
names, an empty folder, text and binary files, fixed times (the tests take gnutar.tar's
extraction as the reference).
"""
import io
import os
import random
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
        make_refused(o, tree, work)
        for name in os.listdir(made):
            if not os.path.exists(os.path.join(out, name)):
                shutil.copyfile(o(name), os.path.join(out, name))
    finally:
        shutil.rmtree(work)
    # Searched in the kept fixture, which a rerun does not replace: README.txt names it.
    print("zipcrypto-collision.zip: a wrong password whose check byte passes:",
          wrong_password(os.path.join(out, "zipcrypto-collision.zip")))


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


def deflate64_tree(root):
    """About 3 MB of text lines that repeat 40-60 KiB chunks from 44-63 KiB back: Deflate's
    32 KiB window misses them, Deflate64's 64 KiB one finds them."""
    words = ("tembrook tray drive mount archive folder entry block window reader packer "
             "日本語 テスト 圧縮 展開 フォルダ").split()
    rng = random.Random(64)  # integer seeds give the same numbers in every Python 3
    for index, (path, size) in enumerate([("lines.txt", 1200000), ("log/server.log", 800000),
                                          ("日本語/データ.txt", 700000), ("table.csv", 400000)]):
        data, next_repeat = bytearray(), 70000
        while len(data) < size:
            if len(data) >= next_repeat:  # about a third of each file
                distance = rng.randrange(44 << 10, 63 << 10)
                start = len(data) - distance
                data += data[start:start + rng.randrange(40 << 10, 60 << 10)]
                next_repeat = len(data) + rng.randrange(60 << 10, 160 << 10)
            else:
                data += ("%d %s %s %d\r\n" % (rng.getrandbits(24), rng.choice(words),
                                                " ".join(rng.choice(words) for _ in range(6)),
                                                rng.getrandbits(16))).encode("utf-8")
        name = os.path.join(root, path)
        os.makedirs(os.path.dirname(name), exist_ok=True)
        with open(name, "wb") as f:
            f.write(data)
        os.utime(name, (BASE_TIME + 2 * index,) * 2)
    for folder in ["log", "日本語"]:
        os.utime(os.path.join(root, folder), (BASE_TIME + 1000,) * 2)


def tiny_exe():
    """A 4.5 KiB x86 PE image (headers, one .text section of calls and jumps): 7zz picks the
    BCJ filter for it by its headers."""
    dos = bytearray(0x80)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x80)
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x14C, 1, BASE_TIME, 0, 0, 0xE0, 0x0102)
    opt = bytearray(0xE0)
    struct.pack_into("<HBBIIIIIIIII", opt, 0, 0x10B, 14, 0, 0x1000, 0, 0, 0x1000, 0x1000, 0x2000,
                     0x400000, 0x1000, 0x200)
    struct.pack_into("<HHHHHHIII", opt, 40, 6, 0, 0, 0, 6, 0, 0, 0x2000, 0x200)
    struct.pack_into("<HH", opt, 68, 2, 0)  # the GUI subsystem
    struct.pack_into("<I", opt, 92, 16)
    section = struct.pack("<8sIIIIIIHHI", b".text", 0x1000, 0x1000, 0x1000, 0x200, 0, 0, 0, 0,
                          0x60000020)
    head = bytes(dos) + coff + bytes(opt) + section
    state, code = 7, bytearray()
    while len(code) < 0x1000:
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        r = state >> 16
        if r % 3 == 0:  # call rel32, the E8 the filter turns into absolute addresses
            code += b"\xE8" + struct.pack("<i", r % 4000 - 2000 - len(code))
        elif r % 3 == 1:  # push ebp; mov ebp, esp; sub esp, n
            code += bytes([0x55, 0x8B, 0xEC, 0x83, 0xEC, r & 0x3C])
        else:  # jmp rel32; nop
            code += b"\xE9" + struct.pack("<i", r % 3000 - 1500) + b"\x90"
    return head + bytes(0x200 - len(head)) + bytes(code[:0x1000])


def zip_fields(name, method, crc, packed, size, version=20):
    """What a local record and its central entry share, at raw_zip's fixed time."""
    return struct.pack("<HHHHHIIIHH", version, 0, method, 0x1880, 0x5021, crc, packed, size,
                       len(name), 0)


def hand_zip(path, local, entries):
    """The given local records, then one central entry per (fields, name, offset)."""
    central = b"".join(b"PK\1\2" + struct.pack("<H", 20) + fields +
                       struct.pack("<HHHII", 0, 0, 0, 0, offset) + name
                       for fields, name, offset in entries)
    with open(path, "wb") as f:
        f.write(local + central + b"PK\5\6" + struct.pack("<HHHHIIH", 0, 0, len(entries),
                                                          len(entries), len(central), len(local), 0))


def one_record_zip(path, name, method, data, content, names=None):
    """One local record of data said to unpack to content; the central directory names it
    once, or under each of names, all pointing at it."""
    fields = zip_fields(name, method, zlib.crc32(content), len(data), len(content))
    entries = [(fields[:-4] + struct.pack("<HH", len(other), 0), other, 0)
               for other in (names or [name])]
    hand_zip(path, b"PK\3\4" + fields + name + data, entries)


def zeros_zip(path):
    """3 GiB of zeros deflated in one record (about 3 MB): sizes still fit in 32 bits."""
    size, chunk = 3 << 30, bytes(1 << 24)
    packer, crc, parts = zlib.compressobj(9, zlib.DEFLATED, -15), 0, []
    for _ in range(size // len(chunk)):
        parts.append(packer.compress(chunk))
        crc = zlib.crc32(chunk, crc)
    data = b"".join(parts) + packer.flush()
    fields = zip_fields(b"zeros.bin", 8, crc, len(data), size)
    hand_zip(path, b"PK\3\4" + fields + b"zeros.bin" + data, [(fields, b"zeros.bin", 0)])


def make_refused(o, tree, work):
    """What the library refuses or treats apart: passwords, methods it lacks, records that
    overlap, a size to guard against, a name Windows cannot hold. Encryption draws random
    headers, salts and IVs, so the encrypted ones differ at every run."""
    utf8 = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
    run(["zip", "-q", "-r", "-P", "tembrook", o("infozip-zipcrypto.zip"), "."], cwd=tree, env=utf8)
    for name, flags in [("7zz-aes256.zip", ["-tzip", "-mem=AES256"]),
                        ("7zz-zipcrypto.zip", ["-tzip", "-mem=ZipCrypto"]),
                        ("7zz-password.7z", ["-t7z"]),
                        ("7zz-encrypted-names.7z", ["-t7z", "-mhe=on"])]:
        run(["7zz", "a"] + flags + ["-ptembrook", o(name), "."], cwd=tree)
    big, ppmd, note = (os.path.join(work, name) for name in ["deflate64", "ppmd", "note"])
    deflate64_tree(big)
    run(["7zz", "a", "-tzip", "-mm=Deflate64", o("7zz-deflate64.zip"), "."], cwd=big)
    os.makedirs(ppmd)
    for index, (name, data) in enumerate([("tool.exe", tiny_exe()),
                                          ("notes.txt", b"PPMd with the x86 filter\r\n" * 20)]):
        with open(os.path.join(ppmd, name), "wb") as f:
            f.write(data)
        os.utime(os.path.join(ppmd, name), (BASE_TIME + 2 * index,) * 2)
    # 7zz adds BCJ to the .exe by itself.
    run(["7zz", "a", "-t7z", "-m0=PPMd", o("7zz-ppmd-x86.7z"), "."], cwd=ppmd)
    # Method 6 (Implode) in both headers; the bytes are not imploded, the method alone refuses it.
    one_record_zip(o("unsupported-method.zip"), b"imploded.txt", 6, bytes(range(0x40, 0x60)),
                   b"Imploded by PKZIP 1.1 long ago\r\n" * 4)
    payload = b"Three names, one record.\r\n" * 400
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    one_record_zip(o("overlapping.zip"), b"payload.txt", 8,
                   packer.compress(payload) + packer.flush(), payload,
                   [b"payload.txt", b"payload-2.txt", b"payload-3.txt"])
    zeros_zip(o("zeros-3g.zip"))
    with zipfile.ZipFile(o("unsafe-name.zip"), "w") as z:
        for name, data in [FILES[0], ("aux.txt", b"a device name on Windows\r\n")]:
            z.writestr(zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6)), data)
    os.makedirs(note)
    with open(os.path.join(note, "note.txt"), "wb") as f:
        f.write(b"A note behind the password tembrook.\n")
    os.utime(os.path.join(note, "note.txt"), (BASE_TIME,) * 2)
    run(["zip", "-q", "-P", "tembrook", o("zipcrypto-collision.zip"), "note.txt"], cwd=note)


def crc_entry(n):
    """One entry of the CRC-32 table that the encryption keys are updated with."""
    for _ in range(8):
        n = (n >> 1) ^ (0xEDB88320 if n & 1 else 0)
    return n


CRC_TABLE = [crc_entry(n) for n in range(256)]


def check_byte(password, header):
    """The last of the 12 encryption header bytes, decrypted with the traditional PKWARE keys."""
    keys = [0x12345678, 0x23456789, 0x34567890]

    def update(byte):
        keys[0] = (keys[0] >> 8) ^ CRC_TABLE[(keys[0] ^ byte) & 0xFF]
        keys[1] = ((keys[1] + (keys[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        keys[2] = (keys[2] >> 8) ^ CRC_TABLE[(keys[2] ^ (keys[1] >> 24)) & 0xFF]

    for byte in password:
        update(byte)
    for byte in header:
        t = (keys[2] | 2) & 0xFFFF
        plain = byte ^ (((t * (t ^ 1)) >> 8) & 0xFF)
        update(plain)
    return plain


def wrong_password(path):
    """The first of wrong0000, wrong0001, ... that passes every entry's check byte: the CRC's
    high byte, or the DOS time's when a data descriptor follows (as Info-ZIP's zip -P does)."""
    data = open(path, "rb").read()
    entries = []
    for info in zipfile.ZipFile(path).infolist():
        at = info.header_offset
        flags, time, name_size, extra_size = struct.unpack_from("<2xH2xH14xHH", data, at + 4)
        start = at + 30 + name_size + extra_size
        entries.append((data[start:start + 12], time >> 8 if flags & 8 else info.CRC >> 24))
    assert all(check_byte(b"tembrook", header) == want for header, want in entries)
    for number in range(10000):
        password = b"wrong%04d" % number
        if all(check_byte(password, header) == want for header, want in entries):
            return password.decode()


if __name__ == "__main__":
    main()
