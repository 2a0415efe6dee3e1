#!/usr/bin/env python3
"""Times the archive library beside the Linux archivers, side by side in one run.

    bench.py --source DIR --build DIR [--runs N] [--scale F] [--corpus NAME] [--tool NAME]
             [--format zip|7z] [--reverse]   (--corpus, --tool and --format may be repeated)

Makes deterministic corpora under BUILD/bench/corpora (made once and reused while their
recipe is unchanged), then packs, updates (one file changed, packed over the tool's own
archive: ours through its update path, Info-ZIP as zip -u, 7zz as 7zz u) and extracts zip
and 7z with vessiko-native (the library's core built for Linux), vessiko-wine (Vessiko.dll
under Wine, what a user gets), bsdtar, 7zz and Info-ZIP.

Fair by construction: the tools take turns run by run (A B C, B C A, ...; --reverse turns
the order round), every run writes into a new file or folder, outputs are removed only
outside the timed windows, and every timed window starts after a sync and a short settle.
Prints min, median and max per row, ratios to the best peer and archive sizes, and writes
BUILD/bench-results.json. The program-level figures come from
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

    def update_command(self, tool, fmt, corpus, archive):
        """Packing the corpus over an existing archive of it."""
        if tool in ("vessiko-native", "vessiko-wine"):
            return self.pack_command(tool, fmt, corpus, archive)
        if tool == "7zz":
            return ["7zz", "u", "-bd", "-bso0", "-bsp0", "-t" + fmt, "-mx5", "-mmt2", archive,
                    "*"], corpus
        if tool == "infozip" and fmt == "zip":
            return ["zip", "-6", "-r", "-u", "-q", archive, "."], corpus
        return None, None

    def warm_command(self, tool, fmt, root, archive, changed):
        """Packs root over archive, changes one file, and packs again in the same process: the
        second pack, timed by the tool itself, has the record the first one left."""
        if tool == "vessiko-native":
            change = ("cp '%s' '%s.new' && echo 'edited by the bench' >> '%s.new' && "
                      "mv '%s.new' '%s'" % ((changed,) * 5))
            return [self.native, "warm-pack", archive, root, fmt, change], None
        if tool == "vessiko-wine":
            return self.wine("warm-pack", windows_path(archive), windows_path(root),
                             "0" if fmt == "zip" else "1", windows_path(changed)), None
        return None, None

    @staticmethod
    def timed_only(command, cwd, env, reported=False):
        """The command's seconds; reported: as it prints them itself, on its last line."""
        start = time.monotonic()
        done = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        elapsed = time.monotonic() - start
        if done.returncode != 0:
            raise Failure("%s failed with %d: %s" % (" ".join(command[:4]), done.returncode,
                                                     done.stderr.decode(errors="replace")[-400:]))
        return float(done.stdout.decode().split()[-1]) if reported else elapsed


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


# ---- The run --------------------------------------------------------------------------------

def settle():
    """Lets the disk finish what came before a timed window: removals and writes."""
    subprocess.run(["sync"])
    time.sleep(0.5)


def first_file(folder):
    """The file the bench changes: the first of the first folder that holds files."""
    for dirpath, _, files in sorted(os.walk(folder)):
        if files:
            return os.path.join(dirpath, sorted(files)[0])
    return None


def changed_copy(corpus, target):
    """A copy of the corpus (hard links) with one file changed, as a user's edit leaves it."""
    remove(target)
    subprocess.run(["cp", "-al", corpus, target], check=True)
    path = first_file(target)
    if path is not None:
        with open(path, "rb") as f:
            data = f.read()
        os.remove(path)  # never write through the link into the corpus
        with open(path, "wb") as f:
            f.write(data[:len(data) // 2] + b"edited by the bench\n" + data[len(data) // 2:])


def interleaved(args, tools, prepare, command_of, check=None, reported=False):
    """Times each tool's command run by run, the tools taking turns (their order turning by
    one place each run, or reversed with --reverse), so that none profits from its place.
    prepare(tool, run) makes the run's inputs and names its output outside the timed window;
    returns {tool: [seconds]} and each tool's last output."""
    times = {tool: [] for tool in tools}
    outputs = {}
    for run in range(args.runs):
        order = tools[run % len(tools):] + tools[:run % len(tools)]
        if args.reverse:
            order = order[::-1]
        for tool in order:
            output = prepare(tool, run)
            command, cwd = command_of(tool, output)
            settle()
            times[tool].append(Runner.timed_only(command, cwd, args.env, reported))
            if check is not None and run == 0:
                check(tool, output)
            if tool in outputs and outputs[tool] != output:
                remove(outputs[tool])
            outputs[tool] = output
    return times, outputs


def label(r):
    """The tool as the tables name it: a warm record's rows apart from the cold ones."""
    return r["tool"] + (" warm" if r.get("warm") else "")


def row(name, op, fmt, tool, times, **more):
    result = {"corpus": name, "op": op, "format": fmt, "tool": tool,
              "median_s": round(statistics.median(times), 3),
              "min_s": round(min(times), 3), "max_s": round(max(times), 3),
              "runs": len(times), "times_s": [round(t, 3) for t in times]}
    result.update(more)
    print("  %-10s %-14s %-4s %-19s %7.2f s (%.2f-%.2f)%s" % (
        op, name, fmt, label(result), result["median_s"], result["min_s"], result["max_s"],
        "  %d bytes" % more["archive_bytes"] if "archive_bytes" in more else ""), flush=True)
    return result


def bench(args):
    source = os.path.abspath(args.source)
    build = os.path.abspath(args.build)
    work = os.path.join(build, "bench")
    corpora_root = os.path.join(work, "corpora")
    scratch = os.path.join(work, "scratch")
    os.makedirs(corpora_root, exist_ok=True)
    runner = Runner(source, build)
    args.env = runner.env
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
        edited = os.path.join(scratch, "edited")
        changed_copy(folder, edited)
        for fmt in formats:
            packers = [t for t in tools if runner.pack_command(t, fmt, folder, "x")[0]]
            name_of = lambda tool, run, what: os.path.join(
                scratch, "%s-%s-%d.%s" % (what, tool, run, fmt))

            def pack_prepare(tool, run):
                return name_of(tool, run, "packed")

            times, outputs = interleaved(
                args, packers, pack_prepare,
                lambda tool, out: runner.pack_command(tool, fmt, folder, out))
            for tool in packers:
                results.append(row(name, "pack", fmt, tool, times[tool],
                                   archive_bytes=os.path.getsize(outputs[tool])))

            # One file changed, then packed over the tool's own archive of the corpus.
            updaters = [t for t in packers if runner.update_command(t, fmt, edited, "x")[0]]
            bases = {tool: outputs[tool] for tool in updaters}

            def update_prepare(tool, run):
                copy = name_of(tool, run, "updated")
                shutil.copyfile(bases[tool], copy)
                return copy

            times, updated = interleaved(
                args, updaters, update_prepare,
                lambda tool, out: runner.update_command(tool, fmt, edited, out))
            for tool in updaters:
                results.append(row(name, "update-one", fmt, tool, times[tool],
                                   archive_bytes=os.path.getsize(updated[tool])))

            # The same with a warm record: the pack after a previous one in the same process,
            # every timed write-back's case. The tool times its second pack itself.
            warmers = [t for t in updaters if runner.warm_command(t, fmt, "x", "x", "x")[0]]
            warm_root = os.path.join(scratch, "warm-root")

            def warm_prepare(tool, run):
                remove(warm_root)
                subprocess.run(["cp", "-al", folder, warm_root], check=True)
                copy = name_of(tool, run, "warm")
                shutil.copyfile(bases[tool], copy)
                return copy

            times, warmed = interleaved(
                args, warmers, warm_prepare,
                lambda tool, out: runner.warm_command(tool, fmt, warm_root, out,
                                                      first_file(warm_root)),
                reported=True)
            for tool in warmers:
                results.append(row(name, "update-one", fmt, tool, times[tool], warm=True,
                                   archive_bytes=os.path.getsize(warmed[tool])))
            updated.update({"warm-" + tool: path for tool, path in warmed.items()})
            remove(warm_root)
            for path in list(outputs.values()) + list(updated.values()):
                remove(path)

            extractors = [t for t in tools if runner.extract_command(t, references[fmt], "x")]

            def extract_prepare(tool, run):
                target = os.path.join(scratch, "out-%s-%d" % (tool, run))
                os.makedirs(target)
                return target

            def extracted_all(tool, target):
                if count_files(target) != files:
                    raise Failure("%s extracted %d files of %d from %s" %
                                  (tool, count_files(target), files, references[fmt]))

            times, targets = interleaved(
                args, extractors, extract_prepare,
                lambda tool, target: (runner.extract_command(tool, references[fmt], target), None),
                extracted_all)
            for tool in extractors:
                results.append(row(name, "extract", fmt, tool, times[tool]))
            for target in targets.values():
                remove(target)
        remove(scratch)
    return corpora, results


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
    print("%-13s %-10s %-4s %-19s %8s %8s %8s %7s %-8s %13s %8s" %
          ("corpus", "op", "fmt", "tool", "min s", "median s", "max s", "x best", "best",
           "archive bytes", "x zip -6"))
    for r in results:
        print("%-13s %-10s %-4s %-19s %8.3f %8.3f %8.3f %7s %-8s %13s %8s" % (
            r["corpus"], r["op"], r["format"], label(r), r["min_s"], r["median_s"], r["max_s"],
            "%.2f" % r["ratio_to_best_peer"] if r.get("ratio_to_best_peer") is not None else "-",
            r.get("best_peer", "-"),
            r.get("archive_bytes", "-"),
            "%.3f" % r["size_to_infozip"] if "size_to_infozip" in r else "-"))
    print_goals(results)


# The goals on the small files: (op, format, our tool, the tool compared with or "best
# peer", the largest time ratio, the largest size ratio or None).
GOALS = (
    ("pack", "zip", "vessiko-native", "best peer", 0.6, None),
    ("extract", "zip", "vessiko-native", "best peer", 0.6, None),
    ("update-one", "zip", "vessiko-native", "infozip", 0.5, None),
    ("update-one", "7z", "vessiko-native", "7zz", 0.1, None),
    ("update-one", "zip", "vessiko-native warm", "infozip", 0.7, None),
    ("update-one", "zip", "vessiko-wine warm", "vessiko-wine", 0.25, None),
    ("pack", "7z", "vessiko-native", "7zz", 0.7, 1.03),
    ("extract", "zip", "vessiko-wine", "vessiko-native", 4.0, None),
)


def print_goals(results):
    found = {(r["corpus"], r["op"], r["format"], label(r)): r for r in results}
    for op, fmt, ours, other, most, most_size in GOALS:
        mine = found.get(("small-files", op, fmt, ours))
        if other == "best peer":
            peer = mine and mine.get("best_peer") and \
                found.get(("small-files", op, fmt, mine["best_peer"]))
        else:
            peer = found.get(("small-files", op, fmt, other))
        if not mine or not peer or not peer["median_s"]:
            continue
        ratio = mine["median_s"] / peer["median_s"]
        size = (mine["archive_bytes"] / peer["archive_bytes"]
                if most_size and "archive_bytes" in mine and "archive_bytes" in peer else None)
        met = ratio <= most and (size is None or size <= most_size)
        print("goal %-10s %-3s %-14s %.2f x %s (at most %.2f)%s  %s" % (
            op, fmt, ours, ratio, peer["tool"], most,
            ", %.3f x its size (at most %.2f)" % (size, most_size) if size is not None else "",
            "met" if met else "NOT met"))


def program_figures(source, build):
    figures = {"drop_to_visible_s": None, "idle_cpu_percent": None, "unchanged_tick_s": None,
               "changed_tick_s": None, "full_pack_s": None}
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
    parser.add_argument("--reverse", action="store_true",
                        help="the tools take their turns in reverse order")
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
                "changed_tick_s": None, "full_pack_s": None} if args.no_program
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
