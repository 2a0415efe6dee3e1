#!/usr/bin/env python3
"""End-to-end run of the settings and drive options dialogs in the real Tembrook.exe.

A drive is created in Settings, an archive is dropped on it through the drop bar, its
options are set to write back on a timer, the program exits and starts again: the drive,
its archive and its options must come back. Only M: is used, and it is always unmapped at
the end.

    dialogs_e2e.py --source DIR --build DIR --xdnd-drop PATH

The Wine set-up, the program's installed copy, the tray icon and the real file drop come
from the shell's end-to-end tooling (shell_e2e.py beside this file).
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shell_e2e as e2e  # noqa: E402
from shell_e2e import Failure, check  # noqa: E402

LETTER = "M"
REFLECT_TO_ARCHIVE = 0x0001
TIMED_UPDATE = 0x0002

# Control ids of the two dialogs.
CREATE, OPTIONS, OK = 1003, 1005, 1007
REFLECT, TIMED, OPTIONS_OK, OPTIONS_CANCEL = 1011, 1012, 1019, 1020
CANCEL = 1006


class Driver:
    """The Windows side: dialog_driver.exe in the tests' folder."""

    def __init__(self, wine):
        self.wine = wine
        self.exe = os.path.join(wine.build, "tests-bin", "dialog_driver.exe")

    def __call__(self, *args):
        code, out = self.wine.run(["wine", self.exe] + [str(a) for a in args], timeout=90)
        text = out.decode("utf-8", "replace")
        check(code == 0, "dialog_driver %s failed (%d): %s" % (" ".join(map(str, args)), code, text))
        return text

    def options_state(self):
        return dict(line.split("=", 1) for line in self("options-state").splitlines() if "=" in line)


def expect_letter(wine, present):
    deadline = e2e.time.time() + 10
    while (LETTER in wine.letters()) != present:
        check(e2e.time.time() < deadline, "%s: %s" % (LETTER, "missing" if present else "still mapped"))
        e2e.time.sleep(0.2)


def settings_drop_options_restart(wine):
    driver = Driver(wine)
    inst = e2e.Installation(wine)
    try:
        # A settings file with the root and no drive.
        inst.write_settings([])
        process = wine.start(inst.folder)
        e2e.main_window(wine)
        check(LETTER not in wine.letters(), "%s: present before it was created" % LETTER)

        # Settings: mark M: as a virtual drive and apply.
        driver("open-settings", LETTER)
        driver("settings-click", CREATE)
        driver("settings-click", OK)
        expect_letter(wine, True)
        check(os.path.isdir(inst.drive_folder(LETTER)), "no drive folder for %s:" % LETTER)

        # Drop an archive on the drive's icon, the only one on the bar.
        tray = e2e.tray_icon_center(wine)
        e2e.click(wine, tray[0], tray[1], 1)
        code, out = wine.probe("bar", 10000)
        check(code == 0, "the drop bar did not open")
        x, y, width, height, _ = (int(v) for v in out.split())
        check((width, height) == (32, 32), "drop bar of %dx%d for one drive" % (width, height))
        code, out = wine.run([wine.xdnd_drop, x + 16, y + 16, inst.one])
        check(code == 0, "the drop was not taken: %s" % out.decode(errors="replace"))
        check(wine.probe("nobar", 30000)[0] == 0, "the drop bar stayed open")
        check(e2e.read_through_letter(wine, LETTER + ":\\a.txt") == "one",
              "%s: does not show one.zip" % LETTER)

        # Options: reflect changes, on a timer of 1 + 4 minutes.
        driver("open-settings", LETTER)
        driver("settings-click", OPTIONS)
        state = driver.options_state()
        check(state["noreflect"] == "1" and state["timed"] == "0 disabled",
              "a new drive's options: %r" % state)
        check(state["path"] == e2e.windows_path(inst.one), "options show path %r" % state["path"])
        check(state["group"] == LETTER + ":の情報", "options group %r" % state["group"])
        driver("options-click", REFLECT, TIMED)
        driver("options-turn", 4)
        check(driver.options_state()["interval"] == "5", "the interval did not follow the turns")
        driver("options-click", OPTIONS_OK)
        driver("settings-click", OK)

        check(wine.probe("write", LETTER + ":\\a.txt", "changed on the drive")[0] == 0,
              "cannot write through %s:" % LETTER)
        driver("exit")
        check(e2e.wait_exit(process, 60) == 0, "the first run did not end with 0")
        expect_letter(wine, False)
        drive = [(LETTER, inst.one, 5, REFLECT_TO_ARCHIVE | TIMED_UPDATE)]
        e2e.expect_settings(inst, drive)
        check(e2e.zip_contents(inst.one) == {"a.txt": "changed on the drive"},
              "one.zip holds %r" % e2e.zip_contents(inst.one))

        # The next start brings the drive, its archive and its options back.
        process = wine.start(inst.folder, "second.log")
        e2e.main_window(wine)
        expect_letter(wine, True)
        check(e2e.read_through_letter(wine, LETTER + ":\\a.txt") == "changed on the drive",
              "%s: does not show its archive after the restart" % LETTER)
        driver("open-settings", LETTER)
        driver("settings-click", OPTIONS)
        state = driver.options_state()
        expected = {"noreflect": "0", "reflect": "1", "timed": "1", "onchange": "0",
                    "repack": "0", "keep": "0", "interval": "5"}
        check(all(state[k] == v for k, v in expected.items()), "restored options: %r" % state)
        driver("options-click", OPTIONS_CANCEL)
        driver("settings-click", CANCEL)
        driver("exit")
        check(e2e.wait_exit(process, 60) == 0, "the second run did not end with 0")
        expect_letter(wine, False)
        e2e.expect_settings(inst, drive)
    finally:
        inst.remove()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--xdnd-drop", required=True)
    args = parser.parse_args()
    wine = e2e.Wine(os.path.abspath(args.source), os.path.abspath(args.build), args.xdnd_drop)
    if LETTER in wine.letters():
        wine.unmap(LETTER)
    check(LETTER not in wine.letters(), "%s: is taken before the test" % LETTER)
    try:
        settings_drop_options_restart(wine)
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        wine.run(["wine", "taskkill", "/f", "/im", "Tembrook.exe"], timeout=30)
        if LETTER in wine.letters():
            wine.unmap(LETTER)
        wine.close()
    print("passed: settings, drop, options, restart")
    return 0


if __name__ == "__main__":
    sys.exit(main())
