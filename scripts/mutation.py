#!/usr/bin/env python3
"""Mutation run: applies each one-line mutant of scripts/mutants.txt to a copy of the
working tree, rebuilds, runs the tests labelled for it and records whether they caught it.

    python3 scripts/mutation.py [--build build] [--rev REV] [--only NAME,NAME]
                                [--list scripts/mutants.txt]

The copy (of the working tree, or with --rev of a commit) lives in BUILD/mutation/src with a
build tree of its own, so the working tree is never changed. A mutant is "killed" when a test of its labels fails, "survived" when they
all pass, "invalid" when it does not build, and "stale" when its original text is no longer
found exactly once (the code moved on: update the list). Results go to the screen and to
BUILD/mutation/results.tsv.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

# Never run for a mutant: they rebuild or fuzz the native core for minutes.
SLOW_TESTS = "vessiko_native_build|vessiko_fuzz_smoke"


def load_mutants(path):
    mutants = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            fields = [field.strip() for field in line.split(" | ")]
            if len(fields) != 5:
                sys.exit("%s:%d: want 'name | file | original | mutated | labels'" % (path, number))
            name, file, original, mutated, labels = fields
            unescape = lambda text: text.replace("\\n", "\n").replace("\\|", "|")
            mutants.append(dict(name=name, file=file, original=unescape(original),
                                mutated=unescape(mutated), labels=labels))
    return mutants


def sync_tree(repo, src, rev):
    """Copies the tracked and the new, not ignored, files of the working tree, or the files
    of a commit; a file whose content is already there is left alone, so that the build
    tree only rebuilds what changed."""
    modes = {}
    if rev:
        entries = subprocess.run(["git", "ls-tree", "-r", "-z", rev], cwd=repo, check=True,
                                 capture_output=True).stdout.decode().split("\0")
        for entry in filter(None, entries):
            meta, name = entry.split("\t", 1)
            modes[name] = 0o755 if meta.split()[0] == "100755" else 0o644
        wanted = set(modes)
    else:
        files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=repo,
                               check=True, capture_output=True).stdout.decode().split("\0")
        wanted = set(f for f in files if f and os.path.isfile(os.path.join(repo, f)))
    for f in wanted:
        if rev:
            content = subprocess.run(["git", "show", "%s:%s" % (rev, f)], cwd=repo, check=True,
                                     capture_output=True).stdout
        else:
            content = open(os.path.join(repo, f), "rb").read()
        target = os.path.join(src, f)
        if not (os.path.exists(target) and open(target, "rb").read() == content):
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as out:
                out.write(content)
        os.chmod(target, modes[f] if rev else os.stat(os.path.join(repo, f)).st_mode & 0o777)
    for root, dirs, names in os.walk(src):
        dirs[:] = [d for d in dirs if not (root == src and d in ("build", ".git"))]
        for name in names:
            relative = os.path.relpath(os.path.join(root, name), src)
            if relative not in wanted:
                os.remove(os.path.join(root, name))


def prefix_letters(src):
    """The drive letters of the copy's Wine prefix: name -> link target."""
    folder = os.path.join(src, "build", "wineprefix", "dosdevices")
    return {name: os.readlink(os.path.join(folder, name)) for name in os.listdir(folder)
            if os.path.islink(os.path.join(folder, name))}


def restore_letters(src, letters):
    """Puts the prefix's letters back as they were: a mutant may unmap C: itself (Wine then
    cannot start) or leave a letter mapped."""
    prefix = os.path.join(src, "build", "wineprefix")
    folder = os.path.join(prefix, "dosdevices")
    changed = False
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.islink(path) and letters.get(name) != os.readlink(path):
            os.remove(path)
            changed = True
    for name, target in letters.items():
        if not os.path.lexists(os.path.join(folder, name)):
            os.symlink(target, os.path.join(folder, name))
            changed = True
    if changed:
        # The running wineserver keeps the letters it knew; the next one reads them anew.
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix))
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=prefix))


def run(command, cwd, log, timeout=None):
    with open(log, "a") as out:
        out.write("\n$ %s\n" % " ".join(command))
        out.flush()
        try:
            return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return -1


def build(src, log):
    if run(["cmake", "--build", "build", "-j%d" % os.cpu_count()], src, log) != 0:
        return False
    # The core built for Linux, which the native checks run, takes the mutant too.
    native = os.path.join(src, "build", "native")
    return not os.path.isdir(native) or run(
        ["cmake", "--build", native, "--target", "vessiko-native", "-j%d" % os.cpu_count()],
        src, log) == 0


def test(src, labels, log):
    """0 when every test of the labels passed; otherwise the name of the first failure."""
    command = ["ctest", "-L", labels, "-E", SLOW_TESTS, "--stop-on-failure", "--timeout", "180"]
    start = os.path.getsize(log) if os.path.exists(log) else 0
    if run(command, os.path.join(src, "build"), log) == 0:
        return 0
    with open(log, errors="replace") as f:
        f.seek(start)
        for line in f:
            if "***Failed" in line or "***Timeout" in line or "***Exception" in line:
                return line.split(":", 1)[1].split()[0] if ":" in line else line.strip()
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--list", default=os.path.join(os.path.dirname(__file__), "mutants.txt"))
    parser.add_argument("--only", default="")
    parser.add_argument("--rev", default="", help="mutate this commit, not the working tree")
    parser.add_argument("--labels", default="", help="run these labels for every mutant")
    args = parser.parse_args()
    repo = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
    build_dir = os.path.abspath(os.path.join(repo, args.build))
    work = os.path.join(build_dir, "mutation")
    src = os.path.join(work, "src")
    log = os.path.join(work, "log.txt")
    os.makedirs(src, exist_ok=True)
    open(log, "w").close()

    mutants = load_mutants(args.list)  # the list of the working tree, whatever --rev says
    if args.only:
        names = set(args.only.split(","))
        mutants = [m for m in mutants if m["name"] in names]
    if args.labels:
        for m in mutants:
            m["labels"] = args.labels

    sync_tree(repo, src, args.rev)
    env = dict(os.environ, TEMBROOK_DEPS_CACHE=os.path.join(build_dir, "deps"))
    with open(log, "a") as out:
        if subprocess.run(["make", "build", "BUILD=build"], cwd=src, env=env, stdout=out,
                          stderr=subprocess.STDOUT).returncode != 0:
            sys.exit("mutation: the unchanged tree does not build; see %s" % log)
    labels = "|".join(sorted(set("|".join(m["labels"] for m in mutants).split("|"))))
    if "native" in labels.split("|") and run(["bash", "scripts/fuzz.sh", "build", "build"],
                                             src, log) != 0:
        sys.exit("mutation: the core does not build for Linux; see %s" % log)
    failed = test(src, labels, log)
    if failed != 0:
        sys.exit("mutation: the unchanged tree fails %s; see %s" % (failed, log))
    letters = prefix_letters(src)

    results = []
    for m in mutants:
        path = os.path.join(src, m["file"])
        text = open(path, encoding="utf-8").read()
        started = time.time()
        if text.count(m["original"]) != 1:
            status, by = "stale", ""
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text.replace(m["original"], m["mutated"]))
            try:
                if not build(src, log):
                    status, by = "invalid", ""
                else:
                    by = test(src, m["labels"], log)
                    # A run that failed without a failing test (the tests could not even be
                    # listed) says nothing about the mutant.
                    status = "survived" if by == 0 else "killed" if by else "error"
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
                restore_letters(src, letters)
        results.append((m["name"], status, by or ""))
        print("%-40s %-9s %s (%.0f s)" % (m["name"], status, by or "", time.time() - started),
              flush=True)

    build(src, log)
    with open(os.path.join(work, "results.tsv"), "w") as f:
        for row in results:
            f.write("\t".join(row) + "\n")
    counts = {s: sum(1 for r in results if r[1] == s) for s in
              ("killed", "survived", "invalid", "stale", "error")}
    print("mutation: %(killed)d killed, %(survived)d survived, %(invalid)d invalid, "
          "%(stale)d stale, %(error)d error" % counts)


if __name__ == "__main__":
    main()
