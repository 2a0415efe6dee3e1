#!/usr/bin/env python3
"""How many Japanese names written in CP932 would pass as strict UTF-8: the false positives of
reading a ZIP's unflagged names as UTF-8 when they all are strict UTF-8."""
import glob, gettext, re, sys

def strict_utf8(b):
    try:
        b.decode("utf-8", errors="strict")
        return True
    except UnicodeDecodeError:
        return False

names = set()
# Japanese phrases from the translations installed on this machine, cut at punctuation and
# spaces into name-like pieces.
for mo in glob.glob("/usr/share/locale/ja/LC_MESSAGES/*.mo"):
    try:
        t = gettext.GNUTranslations(open(mo, "rb"))
    except Exception:
        continue
    for msg in t._catalog.values():
        if not isinstance(msg, str):
            continue
        for piece in re.split(r"[\s、。：:（）()「」『』\[\]\"'%/\\.,!?！？・…\-]+", msg):
            if re.search(r"[\u3040-\u30ff\u4e00-\u9fff]", piece) and len(piece) <= 40:
                names.add(piece)
real = sorted(names)
def cp932(s):
    try:
        return s.encode("cp932")
    except UnicodeEncodeError:
        return None
real_bytes = [b for b in (cp932(n) for n in real) if b is not None]
print("names from translations:", len(real_bytes), "passing as UTF-8:", sum(strict_utf8(b) for b in real_bytes))
for n in real:
    b = cp932(n)
    if b is not None and strict_utf8(b) and not b.isascii():
        print("  e.g.", n)
        break
# Every kanji of JIS levels 1 and 2, alone and in pairs with hiragana.
kanji = []
for lead in range(0x88, 0xEB):
    if 0xA0 <= lead <= 0xDF:
        continue
    for trail in list(range(0x40, 0x7F)) + list(range(0x80, 0xFD)):
        b = bytes([lead, trail])
        try:
            c = b.decode("cp932")
        except UnicodeDecodeError:
            continue
        if "\u4e00" <= c <= "\u9fff":
            kanji.append(b)
print("JIS kanji:", len(kanji), "passing alone:", sum(strict_utf8(b) for b in kanji))
pairs = sum(strict_utf8(a + b) for a in kanji[::7] for b in kanji[::7])
print("kanji pairs (every 7th x every 7th):", len(kanji[::7]) ** 2, "passing:", pairs)
kana = [bytes([c]) for c in range(0xA1, 0xE0)]
two = [a + b for a in kana for b in kana]
print("half-width katakana pairs:", len(two), "passing:", sum(strict_utf8(x) for x in two))
three = [a + b + c for a in kana for b in kana for c in kana]
print("half-width katakana triples:", len(three), "passing:", sum(strict_utf8(x) for x in three))
