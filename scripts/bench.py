#!/usr/bin/env python3
"""Times the archive library beside the Linux archivers, side by side in one run.

    bench.py --source DIR --build DIR [--runs N] [--scale F] [--corpus NAME] [--tool NAME]
             [--format zip|7z]     (--corpus, --tool and --format may be repeated)

Makes deterministic corpora under BUILD/bench/corpora (made once and reused while their
recipe is unchanged), then extracts and packs zip and 7z with vessiko-native (the library's
core built for Linux), vessiko-wine (Vessiko.dll under Wine, what a user gets), bsdtar, 7zz
and Info-ZIP, each run repeated. Prints medians, ratios to the best peer and archive sizes,
and writes BUILD/bench-results.json. The program-level figures come from
scripts/bench-program.sh when it exists. Standard library only.
"""
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

RECIPE_VERSION = 1
# 2021-03-04 05:06:08 UTC: one fixed time for every generated file.
FIXED_TIME = 1614834368
PEERS = ("bsdtar", "7zz", "infozip")
TOOLS = ("vessiko-native", "vessiko-wine") + PEERS


class Failure(Exception):
    pass


# ---- Corpora --------------------------------------------------------------------------------

WORDS = ("the of and to in is that for it as with be on not this are by or from at an which "
         "buffer size length count index offset value result error status flags mode state "
         "handle file path name entry archive stream block header data table list node tree "
         "window message thread process memory device driver request reply option config "
         "returns pointer structure function macro type field member string number character "
         "when if must may should only each every first last next previous before after "
         "allocate release open close read write seek flush lock unlock wait signal create "
         "destroy initialize finalize compare copy move append insert remove find match parse "
         "format encode decode compress expand verify check update reset clear set get").split()
TYPES = ("int", "unsigned int", "long", "size_t", "ssize_t", "uint32_t", "uint64_t", "char *",
         "const char *", "void *", "struct node *", "double", "bool")


def identifier(rng):
    parts = rng.randint(1, 3)
    return "_".join(rng.choice(WORDS) for _ in range(parts))


def line_pool(seed, count):
    """Lines of C headers and documentation, the material every text file is made of."""
    rng = random.Random(seed)
    lines = []
    for _ in range(count):
        kind = rng.random()
        if kind < 0.25:
            lines.append("#define %s_%s 0x%04x\n" % (identifier(rng).upper(), rng.choice(WORDS).upper(),
                                                       rng.randrange(65536)))
        elif kind < 0.5:
            args = ", ".join("%s %s" % (rng.choice(TYPES), identifier(rng))
                             for _ in range(rng.randint(0, 4)))
            lines.append("extern %s %s(%s);\n" % (rng.choice(TYPES), identifier(rng), args or "void"))
        elif kind < 0.65:
            lines.append("    %s %s;%s\n" % (rng.choice(TYPES), identifier(rng),
                                             "  /* %s */" % " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 7)))
                                             if rng.random() < 0.5 else ""))
        elif kind < 0.75:
            lines.append(rng.choice(("{\n", "};\n", "\n", "#endif\n", "struct %s {\n" % identifier(rng),
                                     "typedef struct %s %s_t;\n" % ((identifier(rng),) * 2))))
        else:
            sentence = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14)))
            lines.append(" * %s.\n" % sentence.capitalize() if rng.random() < 0.6 else
                         "%s.\n" % sentence.capitalize())
    return [l.encode("ascii") for l in lines]


def text_bytes(rng, pool, size):
    """About size bytes of text, cut at size."""
    chunk = []
    total = 0
    while total < size:
        picked = rng.choices(pool, k=64)
        chunk.extend(picked)
        total += sum(len(l) for l in picked)
    return b"".join(chunk)[:size]


def small_files_plan(scale):
    """(relative path, size) of many small text files: headers and docs in a deep tree."""
    rng = random.Random(1340)
    files = int(13404 * scale) or 1
    # About 20 KB on average, most smaller, a few up to a few hundred KB: 268 MB in all.
    target = int(268_000_000 * scale)
    sizes = [max(40, int(rng.lognormvariate(9.25, 1.05))) for _ in range(files)]
    factor = target / sum(sizes)
    sizes = [max(40, int(s * factor)) for s in sizes]
    plan = []
    for i, size in enumerate(sizes):
        top = rng.choice(("include", "include", "include", "doc", "src"))
        depth = rng.randint(1, 3)
        folders = [top] + ["%s%d" % (rng.choice(WORDS), rng.randrange(30)) for _ in range(depth)]
        extension = {"include": ".h", "doc": rng.choice((".txt", ".md", ".html")), "src": ".h"}[top]
        plan.append(("/".join(folders) + "/%s_%05d%s" % (identifier(rng), i, extension), size))
    return plan


def large_files_plan(scale):
    size = int(48_000_000 * scale) or 1
    return [("large/log_%d.txt" % i, size) for i in range(3)] + [("large/table.csv", size)]


def incompressible_plan(scale):
    size = int(32_000_000 * scale) or 1
    return [("random/blob_%d.bin" % i, size) for i in range(3)]


CORPORA = {
    "small-files": (small_files_plan, "text"),
    "large-files": (large_files_plan, "text"),
    "incompressible": (incompressible_plan, "random"),
}


def make_corpus(root, name, scale):
    plan_of, content = CORPORA[name]
    plan = plan_of(scale)
    folder = os.path.join(root, name)
    stamp = os.path.join(root, name + ".ready")
    recipe = json.dumps({"version": RECIPE_VERSION, "scale": scale})
    if os.path.isdir(folder) and os.path.exists(stamp):
        with open(stamp) as f:
            if f.read() == recipe:
                return folder, len(plan), sum(size for _, size in plan)
    shutil.rmtree(folder, ignore_errors=True)
    pool = line_pool(7, 40000)
    rng = random.Random("%s-content" % name)
    print("making corpus %s: %d files, %.1f MB" % (name, len(plan), sum(s for _, s in plan) / 1e6),
          flush=True)
    for path, size in plan:
        full = os.path.join(folder, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            if content == "random":
                left = size
                while left > 0:
                    n = min(left, 1 << 22)
                    f.write(rng.randbytes(n))
                    left -= n
            else:
                left = size
                while left > 0:
                    n = min(left, 1 << 22)
                    f.write(text_bytes(rng, pool, n))
                    left -= n
        os.utime(full, (FIXED_TIME, FIXED_TIME))
    for dirpath, _, _ in os.walk(folder, topdown=False):
        os.utime(dirpath, (FIXED_TIME, FIXED_TIME))
    with open(stamp, "w") as f:
        f.write(recipe)
    return folder, len(plan), sum(size for _, size in plan)


def count_files(folder):
    return sum(len(files) for _, _, files in os.walk(folder))


# ---- Tools ----------------------------------------------------------------------------------

class Runner:
    def __init__(self, source, build):
        self.source = source
        self.build = build
        self.native = os.path.join(build, "native", "vessiko-native")
        self.cli = os.path.join(build, "tests-bin", "vessiko_cli.exe")
        self.wine_run = os.path.join(source, "scripts", "wine-run.sh")
        self.env = dict(os.environ, WINE_BUILD_DIR=build)

    def available(self, tool):
        if tool == "vessiko-native":
            return os.access(self.native, os.X_OK)
        if tool == "vessiko-wine":
            return os.path.exists(self.cli) and shutil.which("wine") is not None
        if tool == "infozip":
            return shutil.which("zip") is not None and shutil.which("unzip") is not None
        return shutil.which(tool) is not None

    def wine(self, *args):
        return ["bash", self.wine_run, self.cli] + list(args)

    def pack_command(self, tool, fmt, corpus, archive):
        if tool == "vessiko-native":
            return [self.native, "pack", archive, corpus, fmt], None
        if tool == "vessiko-wine":
            return self.wine("pack", windows_path(archive), windows_path(corpus),
                             "0" if fmt == "zip" else "1"), None
        if tool == "bsdtar":
            return ["bsdtar", "--format", "zip" if fmt == "zip" else "7zip", "-cf", archive,
                    "-C", corpus, "."], None
        if tool == "7zz":
            return ["7zz", "a", "-bd", "-bso0", "-bsp0", "-t" + fmt, "-mx5", "-mmt2", archive,
                    "*"], corpus
        if tool == "infozip" and fmt == "zip":
            return ["zip", "-6", "-r", "-q", archive, "."], corpus
        return None, None

    def extract_command(self, tool, archive, target):
        if tool == "vessiko-native":
            return [self.native, "extract", archive, target]
        if tool == "vessiko-wine":
            return self.wine("extract", windows_path(archive), windows_path(target))
        if tool == "bsdtar":
            return ["bsdtar", "-xf", archive, "-C", target]
        if tool == "7zz":
            return ["7zz", "x", "-bd", "-bso0", "-bsp0", "-y", "-o" + target, archive]
        if tool == "infozip" and archive.endswith(".zip"):
            return ["unzip", "-q", archive, "-d", target]
        return None

    def timed(self, command, cwd=None):
        subprocess.run(["sync"])
        start = time.monotonic()
        done = subprocess.run(command, cwd=cwd, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        elapsed = time.monotonic() - start
        if done.returncode != 0:
            raise Failure("%s failed with %d: %s" % (" ".join(command[:4]), done.returncode,
                                                     done.stderr.decode(errors="replace")[-400:]))
        return elapsed


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


# ---- The run --------------------------------------------------------------------------------

def bench(args):
    source = os.path.abspath(args.source)
    build = os.path.abspath(args.build)
    work = os.path.join(build, "bench")
    corpora_root = os.path.join(work, "corpora")
    scratch = os.path.join(work, "scratch")
    os.makedirs(corpora_root, exist_ok=True)
    runner = Runner(source, build)
    tools = [t for t in (args.tool or TOOLS) if runner.available(t)]
    missing = [t for t in (args.tool or TOOLS) if t not in tools]
    if missing:
        print("not available, left out: %s" % ", ".join(missing))

    corpora = []
    results = []
    for name in args.corpus or list(CORPORA):
        folder, files, size = make_corpus(corpora_root, name, args.scale)
        corpora.append({"name": name, "files": files, "bytes": size})
        remove(scratch)
        os.makedirs(scratch)
        # Every extractor reads the same archives: Info-ZIP's zip and 7zz's 7z.
        references = {"zip": os.path.join(scratch, "reference.zip"),
                      "7z": os.path.join(scratch, "reference.7z")}
        formats = args.format or ("zip", "7z")
        if "zip" in formats:
            subprocess.run(["zip", "-6", "-r", "-q", references["zip"], "."], cwd=folder,
                           check=True)
        if "7z" in formats:
            subprocess.run(["7zz", "a", "-bd", "-bso0", "-bsp0", "-t7z", "-mx5", "-mmt2",
                            references["7z"], "*"], cwd=folder, check=True)
        for fmt in formats:
            for tool in tools:
                archive = os.path.join(scratch, "packed-%s.%s" % (tool, fmt))
                command, cwd = runner.pack_command(tool, fmt, folder, archive)
                if command is None:
                    continue
                times = []
                for _ in range(args.runs):
                    remove(archive)
                    times.append(runner.timed(command, cwd))
                size_out = os.path.getsize(archive)
                remove(archive)
                results.append({"corpus": name, "op": "pack", "format": fmt, "tool": tool,
                                "median_s": round(statistics.median(times), 3), "runs": len(times),
                                "times_s": [round(t, 3) for t in times],
                                "archive_bytes": size_out})
                print("  pack    %-14s %-4s %-10s %7.2f s  %12d bytes" %
                      (name, fmt, tool, statistics.median(times), size_out), flush=True)
            for tool in tools:
                command = None
                target = os.path.join(scratch, "out-" + tool)
                command = runner.extract_command(tool, references[fmt], target)
                if command is None:
                    continue
                times = []
                for run in range(args.runs):
                    remove(target)
                    os.makedirs(target)
                    times.append(runner.timed(command))
                    if run == 0 and count_files(target) != files:
                        raise Failure("%s extracted %d files of %d from %s" %
                                      (tool, count_files(target), files, references[fmt]))
                remove(target)
                results.append({"corpus": name, "op": "extract", "format": fmt, "tool": tool,
                                "median_s": round(statistics.median(times), 3), "runs": len(times),
                                "times_s": [round(t, 3) for t in times]})
                print("  extract %-14s %-4s %-10s %7.2f s" %
                      (name, fmt, tool, statistics.median(times)), flush=True)
        if "zip" in formats:
            results.extend(update_one_zip(runner, tools, name, folder, scratch, args.runs))
        remove(scratch)
    return corpora, results


def update_one_zip(runner, tools, name, corpus, scratch, runs):
    """update-one: packing over an archive of the corpus after one file changed. Each tool
    updates an archive it packed itself; the tools take turns run by run."""
    tree = os.path.join(scratch, "update-tree")
    shutil.copytree(corpus, tree)
    changed = os.path.join(tree, sorted(os.path.relpath(os.path.join(d, f), tree)
                                        for d, _, fs in os.walk(tree) for f in fs)[0])
    with open(changed, "rb") as f:
        original = f.read()
    commands = {}
    for tool in tools:
        base = os.path.join(scratch, "update-base-%s.zip" % tool)
        archive = os.path.join(scratch, "update-%s.zip" % tool)
        if tool == "infozip":
            pack = ["zip", "-6", "-r", "-q", base, "."]
            command = ["zip", "-6", "-r", "-q", "-u", archive, "."]
        elif tool in ("vessiko-native", "vessiko-wine"):
            pack = runner.pack_command(tool, "zip", tree, base)[0]
            command = runner.pack_command(tool, "zip", tree, archive)[0]
        else:
            continue
        runner.timed(pack, tree)
        commands[tool] = (base, archive, command, [])
    for run in range(runs):
        with open(changed, "wb") as f:
            f.write(original + b"changed in run %d\n" % run)
        for tool, (base, archive, command, times) in commands.items():
            shutil.copyfile(base, archive)
            times.append(runner.timed(command, tree))
    rows = []
    for tool, (base, archive, command, times) in commands.items():
        rows.append({"corpus": name, "op": "update-one", "format": "zip", "tool": tool,
                     "median_s": round(statistics.median(times), 3), "runs": len(times),
                     "times_s": [round(t, 3) for t in times],
                     "archive_bytes": os.path.getsize(archive)})
        print("  update-one %-11s zip  %-10s %7.2f s  %12d bytes" %
              (name, tool, statistics.median(times), os.path.getsize(archive)), flush=True)
    remove(tree)
    return rows


def add_ratios(results):
    """Each result's time (and size) against the best peer's for the same corpus, op and format."""
    for r in results:
        peers = [p for p in results if p["tool"] in PEERS and
                 (p["corpus"], p["op"], p["format"]) == (r["corpus"], r["op"], r["format"])]
        if peers:
            best = min(peers, key=lambda p: p["median_s"])
            r["best_peer"] = best["tool"]
            r["ratio_to_best_peer"] = round(r["median_s"] / best["median_s"], 3) if best["median_s"] else None
        infozip = [p for p in peers if p["tool"] == "infozip" and "archive_bytes" in p]
        if "archive_bytes" in r and infozip:
            r["size_to_infozip"] = round(r["archive_bytes"] / infozip[0]["archive_bytes"], 4)


def print_table(results):
    print()
    print("%-15s %-8s %-4s %-15s %9s %8s %-8s %13s %8s" %
          ("corpus", "op", "fmt", "tool", "median s", "x best", "best", "archive bytes", "x zip -6"))
    for r in results:
        print("%-15s %-8s %-4s %-15s %9.3f %8s %-8s %13s %8s" % (
            r["corpus"], r["op"], r["format"], r["tool"], r["median_s"],
            "%.2f" % r["ratio_to_best_peer"] if r.get("ratio_to_best_peer") is not None else "-",
            r.get("best_peer", "-"),
            r.get("archive_bytes", "-"),
            "%.3f" % r["size_to_infozip"] if "size_to_infozip" in r else "-"))
    # The goals: on the small files, zip, both operations within 0.6 of the best peer's
    # time, and the packed zip at most 1.01 of Info-ZIP's size.
    for r in results:
        if (r["corpus"], r["format"], r["tool"]) == ("small-files", "zip", "vessiko-native") \
                and r["op"] in ("pack", "extract") and r.get("ratio_to_best_peer") is not None:
            met = r["ratio_to_best_peer"] <= 0.6 and r.get("size_to_infozip", 0) <= 1.01
            print("goal %-7s zip small-files: %.2f x best peer%s  %s" % (
                r["op"], r["ratio_to_best_peer"],
                ", %.3f x Info-ZIP's size" % r["size_to_infozip"] if "size_to_infozip" in r else "",
                "met" if met else "NOT met"))


def program_figures(source, build):
    figures = {"drop_to_visible_s": None, "idle_cpu_percent": None, "unchanged_tick_s": None,
               "full_pack_s": None}
    script = os.path.join(source, "scripts", "bench-program.sh")
    if not os.path.exists(script):
        print("scripts/bench-program.sh not found: program figures left empty")
        return figures
    done = subprocess.run(["bash", script, build], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=sys.stderr)
    try:
        text = done.stdout.decode().strip()
        reported = json.loads(text[text.index("{"):text.rindex("}") + 1])
    except ValueError:
        print("bench-program.sh gave no JSON object (exit %d): program figures left empty" %
              done.returncode)
        return figures
    figures.update({k: reported.get(k) for k in figures})
    figures.update({k: v for k, v in reported.items() if k not in figures})
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--scale", type=float, default=1.0,
                        help="corpus size factor (1.0: 13,404 small files, 268 MB)")
    parser.add_argument("--corpus", action="append", choices=sorted(CORPORA))
    parser.add_argument("--tool", action="append", choices=TOOLS)
    parser.add_argument("--format", action="append", choices=("zip", "7z"))
    parser.add_argument("--no-program", action="store_true",
                        help="leave out the program-level figures")
    args = parser.parse_args()
    if args.runs < 1 or args.scale <= 0:
        parser.error("--runs must be at least 1 and --scale positive")
    try:
        corpora, results = bench(args)
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    add_ratios(results)
    print_table(results)
    program = ({"drop_to_visible_s": None, "idle_cpu_percent": None, "unchanged_tick_s": None,
                "full_pack_s": None} if args.no_program
               else program_figures(os.path.abspath(args.source), os.path.abspath(args.build)))
    document = {"corpora": corpora, "results": results, "program": program,
                "machine": {"cpus": os.cpu_count(), "runs": args.runs, "scale": args.scale}}
    out = os.path.join(os.path.abspath(args.build), "bench-results.json")
    with open(out + ".tmp", "w") as f:
        json.dump(document, f, indent=2)
        f.write("\n")
    os.replace(out + ".tmp", out)
    print("\nprogram: %s" % json.dumps(program))
    print("written: %s" % out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
