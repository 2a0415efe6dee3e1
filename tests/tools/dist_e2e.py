#!/usr/bin/env python3
"""The release zip unpacked into a fresh folder runs from there.

    dist_e2e.py --source DIR --build DIR --zip PATH

Checks the zip holds exactly the shipped files at its root and a readme Notepad shows right
(UTF-8 with a byte-order mark), unpacks it into a new folder outside the build tree, starts
Tembrook.exe from there under Wine, waits for its main window, sends it Exit and expects exit
code 0 and a settings file written beside it. Reuses the shell tests' Wine tooling.
"""
import argparse
import os
import shutil
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shell_e2e  # noqa: E402

SHIPPED = {"Tembrook.exe", "Vessiko.dll", "CDRV.BAT", "DDRV.BAT", "mapdrive.exe", "Drive.bmp",
           "Help.htm", "Readme.txt"}


def check_contents(path):
    with zipfile.ZipFile(path) as z:
        names = set(z.namelist())
        shell_e2e.check(names == SHIPPED, "the zip holds %r" % sorted(names))
        shell_e2e.check(z.testzip() is None, "a damaged member in the zip")
        readme = z.read("Readme.txt")
    shell_e2e.check(readme.startswith(b"\xef\xbb\xbf"), "Readme.txt has no UTF-8 byte-order mark")
    text = readme[3:].decode("utf-8")
    shell_e2e.check("Tembrook.exe" in text and "仮想ドライブ" in text, "Readme.txt says too little")
    shell_e2e.check("\n" not in text.replace("\r\n", ""), "Readme.txt has bare line feeds")


def run_unpacked(wine, path):
    base = tempfile.mkdtemp(prefix="tb-dist-")
    try:
        folder = os.path.join(base, "unpacked here")
        with zipfile.ZipFile(path) as z:
            z.extractall(folder)
        process = wine.start(folder)
        try:
            main = shell_e2e.main_window(wine)
            code, _ = wine.probe("post", main, shell_e2e.WM_COMMAND, shell_e2e.EXIT_COMMAND, 0)
            shell_e2e.check(code == 0, "could not post Exit to the main window")
            shell_e2e.check(shell_e2e.wait_exit(process, 60) == 0, "exit code not 0")
        finally:
            if process.poll() is None:
                wine.run(["wine", "taskkill", "/f", "/im", "Tembrook.exe"], timeout=30)
                process.wait(timeout=30)
            process.log.close()
        shell_e2e.check(os.path.exists(os.path.join(folder, "Tembrook.ini")),
                        "no settings file written beside the unpacked program")
    finally:
        shutil.rmtree(base, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--zip", required=True)
    args = parser.parse_args()
    wine = None
    try:
        check_contents(args.zip)
        wine = shell_e2e.Wine(os.path.abspath(args.source), os.path.abspath(args.build), "")
        run_unpacked(wine, args.zip)
    except shell_e2e.Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        if wine is not None:
            wine.close()
    print("passed: the release zip runs where it is unpacked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
