#!/usr/bin/env python3
"""Program-level measurements of the real Tembrook.exe under Wine and Xvfb.

    program_bench.py --build DIR --zip RELEASE_ZIP [--corpus DIR] [--idle-seconds N] [--runs N]

- drop_to_visible_s: the program unpacked from the release zip runs with drive X:; the drop bar is opened with a
  click on the tray icon and the corpus archive is dropped on X:'s icon through XDND; the time
  runs until the archive's last file is readable, whole, through the letter
  (drop_to_bar_closed_s: until the bar has closed, that is the bind is complete).
- idle_cpu_percent: the CPU time of the program's Wine process(es) over the idle period
  (default 30 s) after that drop, as a percentage of one core (wineserver's share is given
  apart as idle_wineserver_cpu_percent).
- unchanged_tick_s, changed_tick_s, full_pack_s: write_back_probe.exe binds a copy of the
  corpus archive to a drive and times the timer's write-back of the unchanged drive and after
  one change (medians of the runs) against a full pack of the same drive (median).

Prints one JSON object on stdout; progress goes to stderr. Without --corpus a deterministic
corpus of many small text files is generated. Only the standard library is used; the Wine
set-up, the program's copy, the tray icon and the real file drop come from the end-to-end
tests' harness (tests/tools/e2e.py).
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools"))
import e2e  # noqa: E402

LETTER = "X"


def log(text):
    print("bench-program: " + text, file=sys.stderr, flush=True)


def generate_corpus(folder, files=13404, mean_bytes=20000, seed=1):
    """Many small text files in nested folders, like headers and documentation."""
    rng = random.Random(seed)
    words = ["int", "const", "char", "struct", "return", "static", "void", "unsigned", "define",
             "include", "buffer", "length", "archive", "entry", "folder", "the", "of", "and",
             "is", "a", "for", "when", "value", "size_t", "uint32_t", "if", "else", "while"]
    lines = []
    for i in range(40000):
        n = rng.randint(3, 12)
        lines.append(" ".join(rng.choice(words) for _ in range(n)) + ";  /* %d */\n" % i)
    text = "".join(lines)
    for i in range(files):
        sub = os.path.join(folder, "d%02d" % (i % 40), "s%02d" % (i % 7))
        os.makedirs(sub, exist_ok=True)
        size = max(200, int(rng.expovariate(1.0 / mean_bytes)))
        start = rng.randrange(0, len(text) - 1)
        body = (text[start:] + text)[:size]
        with open(os.path.join(sub, "file%05d.h" % i), "w", newline="\n") as f:
            f.write("/* file %d */\n" % i + body)


def zip_folder(folder, archive):
    """Deflates the folder into a zip; returns the last file's name and bytes."""
    last = None
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        for base, dirs, names in os.walk(folder):
            dirs.sort()
            for name in sorted(names):
                path = os.path.join(base, name)
                arcname = os.path.relpath(path, folder).replace(os.sep, "/")
                z.write(path, arcname)
                last = arcname
    with zipfile.ZipFile(archive) as z:
        return last, z.read(last)


def cpu_ticks(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime, stime
    except OSError:
        return 0


def prefix_processes(prefix, needle):
    """Processes of this Wine prefix whose command line holds the needle."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if needle in cmdline and ("WINEPREFIX=" + prefix).encode() in environ:
            found.append(int(entry))
    return found


def readable(path, expected):
    try:
        with open(path, "rb") as f:
            return f.read() == expected
    except OSError:
        return False


def drop_and_idle(t, archive, known, expected, idle_seconds):
    process = None
    try:
        t.write_settings((LETTER, t.one, 1, 0))
        process = t.start(LETTER)
        t.click_tray(1)
        left, top, _, _ = (int(v) for v in t.probe("bar").split())
        target = os.path.join(t.drive(LETTER), *known.split("/"))

        start = time.monotonic()
        code, out = t.run(os.path.join(t.build, "tests", "tools", "xdnd_drop"), left + 16, top + 16, archive)
        assert code == 0, "the drop was not taken: %s" % out.decode(errors="replace")
        while not readable(target, expected):
            assert time.monotonic() - start < 600, "%s never became readable" % known
            time.sleep(0.005)
        drop_to_visible = time.monotonic() - start
        log("drop to visible: %.3f s" % drop_to_visible)
        # The bar closes once the bind is complete (the probe's own start is included).
        probe = os.path.join(t.build, "tests-bin", "probe.exe")
        while t.run("wine", probe, "gone", "bar")[0] != 0:
            assert time.monotonic() - start < 600, "the drop bar stayed open"
        drop_to_closed = time.monotonic() - start

        # Whatever the drop left running (Wine's helpers, the shell's batch file) settles first.
        time.sleep(3)
        prefix = t.env["WINEPREFIX"]
        program = prefix_processes(prefix, b"Tembrook.exe")
        server = prefix_processes(prefix, b"wineserver")
        assert program, "no Wine process of Tembrook.exe found"
        hz = os.sysconf("SC_CLK_TCK")
        log("program processes %r have used %.2f s of CPU so far" %
            (program, sum(cpu_ticks(p) for p in program) / hz))
        before = [sum(cpu_ticks(p) for p in program), sum(cpu_ticks(p) for p in server)]
        wall = time.monotonic()
        time.sleep(idle_seconds)
        after = [sum(cpu_ticks(p) for p in program), sum(cpu_ticks(p) for p in server)]
        wall = time.monotonic() - wall
        idle = [100.0 * (a - b) / hz / wall for a, b in zip(after, before)]
        log("idle CPU over %.0f s: program %.2f %%, wineserver %.2f %%" % (wall, idle[0], idle[1]))

        t.probe("main", 0, e2e.WM_COMMAND, e2e.EXIT)
        assert process.wait(600) == 0, "the program did not end with 0"
        return drop_to_visible, drop_to_closed, idle[0], idle[1]
    finally:
        if process is not None and process.poll() is None:
            t.run("wine", "taskkill", "/f", "/im", "Tembrook.exe")
        if t.letters():
            t.run("wine", os.path.join(t.build, "out", "mapdrive.exe"), LETTER + ":", "/D")


def write_backs(t, archive, runs):
    copy = os.path.join(t.root, "probe.zip")
    shutil.copyfile(archive, copy)
    root = os.path.join(t.root, "probe-root")
    os.makedirs(root)
    probe = os.path.join(t.build, "tests-bin", "write_back_probe.exe")
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(["wine", probe, "Z:" + copy.replace("/", "\\"), "Z:" + root.replace("/", "\\"),
                               str(runs)], env=t.env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.STDOUT, timeout=3600).returncode
        out.seek(0)
        text = out.read().decode(errors="replace")
    assert code == 0, "write_back_probe failed (%d): %s" % (code, text)
    line = [l for l in text.splitlines() if l.startswith("bind_s=")]
    assert line, "write_back_probe said %r" % text
    values = dict(item.split("=", 1) for item in line[-1].split())
    log("write-backs: %s" % line[-1])
    return (float(values["bind_s"]), float(values["unchanged_tick_s"]),
            float(values["changed_tick_s"]), float(values["full_pack_s"]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--zip", required=True, help="the release zip")
    parser.add_argument("--corpus", help="a folder of files to pack (default: generated)")
    parser.add_argument("--idle-seconds", type=float, default=30)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix="tb-bench-program-")
    t = None
    try:
        t = e2e.Run(os.path.abspath(args.build), args.zip)
        assert LETTER not in t.letters(), "%s: is taken" % LETTER
        corpus = args.corpus
        if not corpus:
            corpus = os.path.join(scratch, "corpus")
            log("generating the corpus")
            generate_corpus(corpus)
        archive = os.path.join(scratch, "corpus.zip")
        log("packing the corpus")
        known, expected = zip_folder(corpus, archive)
        count = sum(len(names) for _, _, names in os.walk(corpus))
        size = sum(os.path.getsize(os.path.join(b, n)) for b, _, ns in os.walk(corpus) for n in ns)

        drop, closed, idle, idle_server = drop_and_idle(t, archive, known, expected, args.idle_seconds)
        bind, tick, changed_tick, pack = write_backs(t, archive, args.runs)
        print(json.dumps({"drop_to_visible_s": round(drop, 4), "idle_cpu_percent": round(idle, 3),
                          "unchanged_tick_s": round(tick, 5), "changed_tick_s": round(changed_tick, 4),
                          "full_pack_s": round(pack, 4),
                          "drop_to_bar_closed_s": round(closed, 4),
                          "idle_wineserver_cpu_percent": round(idle_server, 3),
                          "bind_s": round(bind, 4), "idle_seconds": args.idle_seconds,
                          "corpus_files": count, "corpus_bytes": size,
                          "archive_bytes": os.path.getsize(archive)}))
        return 0
    except AssertionError as failure:
        log("FAILED: %s" % failure)
        return 1
    finally:
        if t is not None:
            shutil.rmtree(t.root, ignore_errors=True)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
