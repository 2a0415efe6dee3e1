#!/usr/bin/env python3
"""End-to-end runs of the real Tembrook.exe under Wine and Xvfb.

Each scenario copies the installed-copy folder (build/out) into a folder of its own, writes a
settings file naming drives X: and Y: with archives, starts the program, acts on it as a user
would (clicks on the tray icon, a real file drop through XDND, the tray menu) or from outside
(the Windows probe), and checks what the program left behind: exit code, drive letters,
settings file, archives.

    shell_e2e.py --source DIR --build DIR --xdnd-drop PATH SCENARIO

Only the standard library is used. The letters X: and Y: are always unmapped at the end.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

LETTERS = "XY"
EXIT_COMMAND = 40002
WM_COMMAND = 0x0111


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Wine:
    """The project's Wine prefix and display, and the programs run in them."""

    def __init__(self, source, build, xdnd_drop):
        self.source = source
        self.build = build
        self.xdnd_drop = xdnd_drop
        self.probe_exe = os.path.join(build, "tests-bin", "shell_probe.exe")
        dump = subprocess.run(
            ["bash", "-c", '. "$0/scripts/wine-env.sh" && env -0', source],
            env=dict(os.environ, WINE_BUILD_DIR=build), check=True, capture_output=True)
        self.env = dict(item.split("=", 1) for item in dump.stdout.decode().split("\0") if "=" in item)
        display_file = os.path.join(build, "display")
        if not os.path.exists(display_file):
            raise Failure("no test display: start it with scripts/display.sh start " + build)
        with open(display_file) as f:
            self.env["DISPLAY"] = f.read().strip()
        # A wineserver that outlives the single programs, so each start is quick.
        subprocess.run(["setsid", "wineserver", "-p30"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.scratch = tempfile.mkdtemp(prefix="tb-e2e-out-")

    def close(self):
        shutil.rmtree(self.scratch, ignore_errors=True)

    def run(self, args, timeout=60):
        """Runs a Windows or native program; output goes through files, because Wine's
        helper processes inherit pipes and would keep them open."""
        out_path = os.path.join(self.scratch, "out")
        with open(out_path, "wb") as out:
            code = subprocess.run([str(a) for a in args], env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout).returncode
        with open(out_path, "rb") as f:
            return code, f.read()

    def probe(self, *args, timeout=60):
        code, out = self.run(["wine", self.probe_exe] + [str(a) for a in args], timeout)
        return code, out.decode("utf-8", "replace")

    def start(self, folder, log_name="program.log", arguments=()):
        log = open(os.path.join(folder, "..", log_name), "wb")
        process = subprocess.Popen(["wine", os.path.join(folder, "Tembrook.exe")] + list(arguments),
                                   cwd=folder,
                                   env=self.env, stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT)
        process.log = log
        return process

    def xdotool(self, *args):
        code, out = self.run(["xdotool"] + [str(a) for a in args], timeout=30)
        return code, out.decode()

    def letters(self):
        code, out = self.probe("letters")
        check(code == 0, "probe letters failed")
        return out.strip()

    def unmap(self, letter):
        self.run(["wine", os.path.join(self.build, "out", "mapdrive.exe"), letter + ":", "/D"])

    def mapping_link(self, letter):
        return os.path.join(self.env["WINEPREFIX"], "dosdevices", letter.lower() + ":")


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def make_zip(path, files):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in files.items():
            z.writestr(name, text)


def zip_contents(path):
    with zipfile.ZipFile(path) as z:
        return {i.filename: z.read(i).decode() for i in z.infolist() if not i.is_dir()}


def read_settings(path):
    """The settings file as [(section, [(key, value), ...]), ...] in file order."""
    sections = []
    with open(path, "rb") as f:
        for raw in f.read().decode("cp932").splitlines():
            line = raw.strip()
            if line.startswith("[") and line.endswith("]"):
                sections.append((line[1:-1], []))
            elif "=" in line and sections:
                key, value = line.split("=", 1)
                sections[-1][1].append((key, value))
    return sections


def bitmap_24bit(width, height):
    """A valid BMP file that is not the 8-bit, 256-colour kind the icon strip takes."""
    row = (width * 3 + 3) & ~3
    pixels = b"\x80" * (row * height)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


class Installation:
    """A copy of the program in a folder of its own, with archives and a settings file."""

    def __init__(self, wine, leave_out=()):
        self.wine = wine
        self.base = tempfile.mkdtemp(prefix="tb-e2e-")
        self.folder = os.path.join(self.base, "program")
        os.makedirs(self.folder)
        out = os.path.join(wine.build, "out")
        for name in os.listdir(out):
            if name not in leave_out and os.path.isfile(os.path.join(out, name)):
                shutil.copy2(os.path.join(out, name), self.folder)
        self.root = os.path.join(self.base, "root")
        os.makedirs(self.root)
        self.archives = os.path.join(self.base, "archives")
        os.makedirs(self.archives)
        self.one = self.archive("one.zip", {"a.txt": "one"})
        self.two = self.archive("two.zip", {"b.txt": "two"})
        self.three = self.archive("three.zip", {"c.txt": "three", "sub/d.txt": "deep"})
        self.settings = os.path.join(self.folder, "Tembrook.ini")

    def archive(self, name, files):
        path = os.path.join(self.archives, name)
        make_zip(path, files)
        return path

    def write_settings(self, drives):
        """drives: [(letter, archive path, interval, flags)]"""
        lines = ["[Temporally Folder]", "PATH=" + windows_path(self.root)]
        for letter, archive, interval, flags in drives:
            lines += ["[%s:]" % letter, "FILEPATH=" + windows_path(archive),
                      "UPTIME=%d" % interval, "FLAG=%d" % flags]
        with open(self.settings, "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("cp932"))

    def settings_bytes(self):
        with open(self.settings, "rb") as f:
            return f.read()

    def drive_folder(self, letter):
        return os.path.join(self.root, "Drive", letter)

    def remove(self):
        shutil.rmtree(self.base, ignore_errors=True)


def wait_exit(process, seconds):
    try:
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        raise Failure("the program did not end within %d s" % seconds)


def main_window(wine):
    code, out = wine.probe("main", 30000)
    check(code == 0, "the main window did not appear")
    return out.strip()


def expect_box(wine, text, owner):
    code, out = wine.probe("box", 30000)
    check(code == 0, "no message box appeared (expected %r)" % text)
    shown, _, owner_line = out.rstrip("\n").rpartition("\n")
    check(shown == text, "message box says %r, expected %r" % (shown, text))
    check(owner_line == "owner=" + owner, "message box %s, expected owner=%s" % (owner_line, owner))


def tray_icon_center(wine):
    """The centre of our icon in Wine's stand-alone tray window (the only icon there)."""
    deadline = time.time() + 20
    while time.time() < deadline:
        code, out = wine.xdotool("search", "--onlyvisible", "--name", "Wine System Tray")
        if code == 0 and out.split():
            window = out.split()[0]
            code, geometry = wine.xdotool("getwindowgeometry", "--shell", window)
            values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
            x, y = int(values["X"]), int(values["Y"])
            height = int(values["HEIGHT"])
            return x + height // 2, y + height // 2
        time.sleep(0.2)
    raise Failure("the tray icon window did not appear")


def click(wine, x, y, button):
    code, _ = wine.xdotool("mousemove", "--sync", x, y, "click", button)
    check(code == 0, "xdotool click failed")


def expect_letters(wine, present):
    deadline = time.time() + 10
    while True:
        letters = wine.letters()
        shown = "".join(l for l in LETTERS if l in letters)
        if shown == present:
            return
        if time.time() > deadline:
            raise Failure("letters %r present, expected %r" % (shown, present))
        time.sleep(0.2)


def read_through_letter(wine, path):
    code, out = wine.probe("read", path)
    check(code == 0, "cannot read %s" % path)
    return out


def expect_settings(inst, drives):
    expected = [("Temporally Folder", [("PATH", windows_path(inst.root))])]
    for letter, archive, interval, flags in drives:
        expected.append(("%s:" % letter, [("FILEPATH", windows_path(archive)),
                                          ("UPTIME", str(interval)), ("FLAG", str(flags))]))
    actual = read_settings(inst.settings)
    check(actual == expected, "settings file %r, expected %r" % (actual, expected))


def exit_through_tray_menu(wine, tray):
    click(wine, tray[0], tray[1], 3)
    code, out = wine.probe("menu", 10000)
    check(code == 0, "the tray menu did not open")
    left, top, right, bottom = (int(v) for v in out.split())
    # The last entry, Exit, sits at the bottom of the menu.
    click(wine, (left + right) // 2, bottom - 9, 1)


# Scenarios ---------------------------------------------------------------------------------

def drop_and_exit(wine):
    """Start-up restores two drives; a click on the tray icon opens the drop bar; a real
    drop on the second icon replaces Y:'s archive; a change made through Y: is packed into
    the new archive when Exit is chosen from the tray menu. Arguments on the command line
    change nothing."""
    inst = Installation(wine)
    try:
        inst.write_settings([("X", inst.one, 1, 1), ("Y", inst.two, 1, 1)])
        process = wine.start(inst.folder, arguments=["/settings", "Y:", inst.three])
        main_window(wine)
        expect_letters(wine, "XY")
        check(read_through_letter(wine, "X:\\a.txt") == "one", "X: does not show one.zip")
        check(read_through_letter(wine, "Y:\\b.txt") == "two", "Y: does not show two.zip")

        tray = tray_icon_center(wine)
        click(wine, tray[0], tray[1], 1)
        code, out = wine.probe("bar", 10000)
        check(code == 0, "the drop bar did not open")
        x, y, width, height, topmost = (int(v) for v in out.split())
        code, out = wine.probe("workarea")
        left, top, right, bottom = (int(v) for v in out.split())
        check((x, y, width, height) == (right - 64, bottom - 32, 64, 32),
              "drop bar at %r, work area %r" % ((x, y, width, height), (left, top, right, bottom)))
        check(topmost == 1, "the drop bar is not topmost")

        code, out = wine.run([wine.xdnd_drop, x + 48, y + 16, inst.three])
        check(code == 0, "the drop was not taken: %s" % out.decode(errors="replace"))
        code, _ = wine.probe("nobar", 30000)
        check(code == 0, "the drop bar stayed open after the drop")
        check(read_through_letter(wine, "Y:\\c.txt") == "three", "Y: does not show three.zip")
        check(read_through_letter(wine, "Y:\\sub\\d.txt") == "deep", "Y: lacks sub\\d.txt")
        check(wine.probe("exists", "Y:\\b.txt")[0] == 1, "two.zip's file is still on Y:")
        check(read_through_letter(wine, "X:\\a.txt") == "one", "X: changed")

        code, _ = wine.probe("write", "Y:\\c.txt", "changed through the drive")
        check(code == 0, "cannot write through Y:")

        exit_through_tray_menu(wine, tray)
        code = wait_exit(process, 60)
        check(code == 0, "exit code %d" % code)
        expect_letters(wine, "")
        for letter in LETTERS:
            check(not os.path.lexists(wine.mapping_link(letter)), "%s: is still mapped" % letter)
            check(os.listdir(inst.drive_folder(letter)) == [], "%s:'s folder not emptied" % letter)
        expect_settings(inst, [("X", inst.one, 1, 1), ("Y", inst.three, 1, 1)])
        check(zip_contents(inst.three) == {"c.txt": "changed through the drive",
                                           "sub/d.txt": "deep"},
              "three.zip holds %r" % zip_contents(inst.three))
        check(zip_contents(inst.two) == {"b.txt": "two"}, "two.zip changed")
    finally:
        inst.remove()


def second_instance(wine):
    """A second start while the program runs says so and ends, touching neither the drives
    nor the settings file."""
    inst = Installation(wine)
    try:
        inst.write_settings([("X", inst.one, 1, 1), ("Y", inst.two, 1, 1)])
        first = wine.start(inst.folder)
        main = main_window(wine)
        expect_letters(wine, "XY")
        before = inst.settings_bytes()

        second = wine.start(inst.folder, "second.log")
        expect_box(wine, "Tembrookは既に起動しています。", "none")
        check(wait_exit(second, 30) == 0, "the second instance did not end with 0")
        check(inst.settings_bytes() == before, "the second instance changed the settings file")
        expect_letters(wine, "XY")
        check(read_through_letter(wine, "X:\\a.txt") == "one", "X: changed")
        check(first.poll() is None, "the first instance ended")
        check(main_window(wine) == main, "the first instance's window changed")

        check(wine.probe("post", main, WM_COMMAND, EXIT_COMMAND, 0)[0] == 0, "post failed")
        check(wait_exit(first, 60) == 0, "the first instance did not end with 0")
        expect_letters(wine, "")
        expect_settings(inst, [("X", inst.one, 1, 1), ("Y", inst.two, 1, 1)])
    finally:
        inst.remove()


def session_end(wine):
    """The end of the session writes back, saves and unmaps at once, without a message box;
    the later exit finds nothing left to do."""
    inst = Installation(wine)
    try:
        inst.write_settings([("X", inst.one, 1, 1), ("Y", inst.two, 5, 0)])
        process = wine.start(inst.folder)
        main = main_window(wine)
        expect_letters(wine, "XY")
        check(wine.probe("write", "X:\\a.txt", "edited before log-off")[0] == 0, "write failed")
        os.remove(inst.settings)

        code, out = wine.run(["wine", "wineboot", "--end-session"], timeout=60)
        check(code == 0, "wineboot --end-session failed: %r" % out)
        expect_letters(wine, "")
        expect_settings(inst, [("X", inst.one, 1, 1), ("Y", inst.two, 5, 0)])
        check(zip_contents(inst.one) == {"a.txt": "edited before log-off"},
              "one.zip holds %r" % zip_contents(inst.one))

        saved = inst.settings_bytes()
        if process.poll() is None:
            wine.probe("post", main, WM_COMMAND, EXIT_COMMAND, 0)
            check(wait_exit(process, 60) == 0, "exit code after the session end")
        check(inst.settings_bytes() == saved, "the exit rewrote the settings file again")
    finally:
        inst.remove()


def no_library(wine):
    """Without the archive library the program ends at once and silently; the settings file
    stays as it was."""
    inst = Installation(wine, leave_out=("Vessiko.dll",))
    try:
        inst.write_settings([("X", inst.one, 1, 1), ("Y", inst.two, 1, 1)])
        before = inst.settings_bytes()
        process = wine.start(inst.folder)
        # A message box would keep the program from ending.
        check(wait_exit(process, 30) == 0, "exit code not 0")
        check(inst.settings_bytes() == before, "the settings file changed")
        expect_letters(wine, "")
    finally:
        inst.remove()


def failed_bitmap(wine, inst, message):
    inst.write_settings([("X", inst.one, 1, 1), ("Y", inst.two, 1, 0)])
    process = wine.start(inst.folder)
    expect_letters(wine, "XY")
    check(wine.probe("write", "X:\\a.txt", "written back all the same")[0] == 0, "write failed")
    expect_box(wine, message, "main")
    check(wait_exit(process, 60) == 0, "exit code not 0")
    # The drives restored meanwhile were shut down as at a normal exit.
    expect_letters(wine, "")
    expect_settings(inst, [("X", inst.one, 1, 1), ("Y", inst.two, 1, 0)])
    check(zip_contents(inst.one) == {"a.txt": "written back all the same"}, "X: not written back")
    check(os.listdir(inst.drive_folder("X")) == [], "X:'s folder not emptied")


def no_drive_bitmap(wine):
    inst = Installation(wine, leave_out=("Drive.bmp",))
    try:
        failed_bitmap(wine, inst, "仮想ドライブ画像が見つかりません。")
    finally:
        inst.remove()


def unreadable_drive_bitmap(wine):
    inst = Installation(wine)
    try:
        with open(os.path.join(inst.folder, "Drive.bmp"), "wb") as f:
            f.write(bitmap_24bit(832, 32))
        failed_bitmap(wine, inst, "仮想ドライブ画像が読み出せません。")
    finally:
        inst.remove()


SCENARIOS = {f.__name__: f for f in (drop_and_exit, second_instance, session_end, no_library,
                                     no_drive_bitmap, unreadable_drive_bitmap)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--xdnd-drop", required=True)
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    try:
        wine = Wine(os.path.abspath(args.source), os.path.abspath(args.build), args.xdnd_drop)
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    for letter in LETTERS:
        if letter in wine.letters():
            wine.unmap(letter)
    check(not any(l in wine.letters() for l in LETTERS), "X: or Y: is taken before the test")
    try:
        SCENARIOS[args.scenario](wine)
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        # Whatever happened: no program left running, no letter left mapped.
        wine.run(["wine", "taskkill", "/f", "/im", "Tembrook.exe"], timeout=30)
        for letter in LETTERS:
            if letter in wine.letters():
                wine.unmap(letter)
        wine.close()
    print("passed: %s" % args.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
