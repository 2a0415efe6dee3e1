#!/usr/bin/env python3
"""End-to-end runs of the real Tembrook.exe under Wine and Xvfb:  e2e.py BUILD ZIP SCENARIO
The program, unpacked from the release zip into a fresh folder that also holds the archives and
drive folders, is worked as a user would (real tray clicks, real XDND drops) or from outside (probe)."""
import os, shutil, subprocess, sys, tempfile, time, zipfile

WM_ENDSESSION, WM_KEYDOWN, WM_COMMAND, BM_CLICK, SETTINGS, EXIT = 0x16, 0x100, 0x111, 0xF5, 40001, 40002
SHIPPED = "CDRV.BAT DDRV.BAT Drive.bmp Help.htm Readme.txt Tembrook.exe Vessiko.dll mapdrive.exe".split()
# The password dialog's first line ("%s" the drive), and the password of the encrypted fixtures.
ASKED, PASSWORD = "仮想ドライブ%s:に開く圧縮ファイルのパスワードを入力してください。", "tembrook"
ARCHIVES = {"one": {"a.txt": "one"}, "two": {"b.txt": "two"}, "three": {"c.txt": "three", "sub/d.txt": "deep"}}


def contents(path):
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as z:
            return {i.filename: z.read(i).decode() for i in z.infolist() if not i.is_dir()}
    return {os.path.relpath(os.path.join(d, n), path).replace(os.sep, "/"): open(os.path.join(d, n)).read()
            for d, _, names in os.walk(path) for n in names}


class Run:
    def __init__(self, build, zip_path):
        self.build, self.root = build, tempfile.mkdtemp(prefix="tb-e2e-")
        wine_env = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts/wine-env.sh")
        dump = subprocess.run(["bash", "-c", '. "$0" && env -0', wine_env], check=True,
                              env=dict(os.environ, WINE_BUILD_DIR=build), capture_output=True)
        self.env = dict(item.split("=", 1) for item in dump.stdout.decode().split("\0") if "=" in item)
        self.env["DISPLAY"] = open(os.path.join(build, "display")).read().strip()
        self.run("setsid", "wineserver", "-p30")  # outlives the single programs: quicker starts
        self.folder = os.path.join(self.root, "unpacked here")
        self.settings_file = os.path.join(self.folder, "Tembrook.ini")
        zipfile.ZipFile(zip_path).extractall(self.folder)
        assert sorted(os.listdir(self.folder)) == SHIPPED
        for name, files in ARCHIVES.items():
            setattr(self, name, os.path.join(self.root, name + ".zip"))
            with zipfile.ZipFile(getattr(self, name), "w") as z:
                for entry in files.items():
                    z.writestr(*entry)

    def run(self, *args):  # output through a file: Wine's helpers inherit pipes and keep them open
        with tempfile.TemporaryFile() as out:
            code = subprocess.run([str(a) for a in args], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=subprocess.STDOUT, timeout=90).returncode
            out.seek(0)
            return code, out.read()

    def probe(self, *args):
        code, out = self.run("wine", os.path.join(self.build, "tests-bin", "probe.exe"), *args)
        assert code == 0, "probe %r failed" % (args,)
        return out.decode("cp932").replace("\r\n", "\n")

    def start(self, letters=None):
        """The program started; with letters, once it has restored them and made its window."""
        process = subprocess.Popen(["wine", "Tembrook.exe"], cwd=self.folder, env=self.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if letters is not None:
            self.probe("main")
            self.expect_letters(letters)
        return process

    def drive(self, letter, *names):
        return os.path.join(self.env["WINEPREFIX"], "dosdevices", letter.lower() + ":", *names)

    def letters(self):
        return "".join(letter for letter in "XY" if os.path.lexists(self.drive(letter)))

    def expect_letters(self, present):
        deadline = time.time() + 10
        while self.letters() != present:
            assert time.time() < deadline, "letters %r mapped, expected %r" % (self.letters(), present)
            time.sleep(0.2)

    def settings(self, drives):  # drives: (letter, archive, interval, flags)
        lines = ["[Temporally Folder]", "PATH=Z:" + self.root.replace("/", "\\")]
        for letter, archive, interval, flags in drives:
            lines += ["[%s:]" % letter, "FILEPATH=Z:" + archive.replace("/", "\\"), "UPTIME=%d" % interval,
                      "FLAG=%d" % flags]
        return "\r\n".join(lines + [""]).encode("cp932")

    def write_settings(self, *drives):
        open(self.settings_file, "wb").write(self.settings(drives))

    def click(self, button, *where):
        # The pointer is moved away first: a synchronous move to where it already is never ends.
        assert self.run("xdotool", "mousemove", 0, 0, *where, "click", button)[0] == 0

    def click_tray(self, button, aside=0):
        """Clicks our icon, the only one in Wine's stand-alone tray window, aside pixels from its middle."""
        out = self.run("xdotool", "search", "--sync", "--onlyvisible", "--name", "Wine System Tray",
                       "getwindowgeometry", "--shell")[1].decode()
        g = {key: int(value) for key, value in (line.split("=") for line in out.split())}
        self.click(button, "mousemove", "--sync", g["X"] + g["HEIGHT"] // 2 + aside, g["Y"] + g["HEIGHT"] // 2)

    def drop(self, x_in_bar, archive):
        left, top, _, _ = (int(v) for v in self.probe("bar").split())
        assert self.run(self.build + "/tests/tools/xdnd_drop", left + x_in_bar, top + 16, archive)[0] == 0
        self.probe("gone", "bar")  # a second bar would stay open

    def finish(self, process, drives, command=None):
        """After the command, the program ends with 0, no letter mapped, drive folders empty, drives saved."""
        if command is not None:
            self.probe("main", 0, WM_COMMAND, command)
        assert process.wait(60) == 0
        self.expect_letters("")
        assert all(os.listdir(os.path.join(self.root, "Drive", drive[0])) == [] for drive in drives)
        assert open(self.settings_file, "rb").read() == self.settings(drives)


def drop_replaces_archive_and_exit_writes_back(t):
    t.write_settings(("X", t.one, 1, 1), ("Y", t.two, 1, 1))
    process = t.start("XY")
    assert contents(t.drive("Y")) == {"b.txt": "two"}
    t.click_tray(1)
    t.probe("bar")
    t.click_tray(1, -6)  # opens no second bar; aside, or it would be a double click
    t.drop(48, t.three)
    assert contents(t.drive("Y")) == {"c.txt": "three", "sub/d.txt": "deep"}
    open(t.drive("Y", "c.txt"), "w").write("changed through the drive")
    t.click_tray(3)
    left, _, right, bottom = (int(v) for v in t.probe("menu").split())
    t.click(1, "mousemove", "--sync", (left + right) // 2, bottom - 9)  # Exit, the menu's last entry
    t.finish(process, [("X", t.one, 1, 1), ("Y", t.three, 1, 1)])
    assert contents(t.three) == {"c.txt": "changed through the drive", "sub/d.txt": "deep"}
    assert contents(t.two) == {"b.txt": "two"}


def second_instance_touches_nothing(t):
    t.write_settings(("X", t.one, 1, 1), ("Y", t.two, 1, 1))
    first = t.start("XY")
    before = open(t.settings_file, "rb").read()
    second = t.start()
    assert t.probe("box") == "owner=none\nTembrookは既に起動しています。"
    assert second.wait(60) == 0 and first.poll() is None and t.letters() == "XY"
    assert open(t.settings_file, "rb").read() == before
    t.finish(first, [("X", t.one, 1, 1), ("Y", t.two, 1, 1)], EXIT)


def session_end_shuts_down_unless_cancelled(t):
    drives = [("X", t.one, 1, 1), ("Y", t.two, 5, 0)]
    t.write_settings(*drives)
    process = t.start("XY")
    open(t.drive("X", "a.txt"), "w").write("edited before log-off")
    os.remove(t.settings_file)
    t.probe("send", "main", 0, WM_ENDSESSION, 0)
    assert t.letters() == "XY" and not os.path.exists(t.settings_file), "a cancelled session end shut down"
    assert t.run("wine", "wineboot", "--end-session")[0] == 0
    t.finish(process, drives)  # a message box would hold the program up
    assert contents(t.one) == {"a.txt": "edited before log-off"}


def broken_start(t, file, content, message):
    drives = [("X", t.one, 1, 1), ("Y", t.two, 1, 0)]
    t.write_settings(*drives)
    os.remove(os.path.join(t.folder, file))
    if content is not None:
        open(os.path.join(t.folder, file), "wb").write(content)
    process = t.start(message and "XY")
    if message is None:  # a message box would keep it from ending
        assert process.wait(30) == 0 and open(t.settings_file, "rb").read() == t.settings(drives)
        assert t.letters() == ""
        return
    open(t.drive("X", "a.txt"), "w").write("written back all the same")
    assert t.probe("box") == "owner=main\n" + message
    t.finish(process, drives)
    assert contents(t.one) == {"a.txt": "written back all the same"}


def dialogs_drive_comes_back_with_its_options(t):
    t.write_settings()
    process = t.start("")
    # Settings; Home, then Down to X:'s row; create; the options: write back, on a timer of 1 + 4
    # minutes (the options dialog would not hand posted keys to the up-down control); OK twice.
    for step in (("main", 0, WM_COMMAND, SETTINGS), ("settings", 1001, WM_KEYDOWN, 0x24),
                 ("settings", 1001, WM_KEYDOWN, 0x28, ord("X") - ord("A")), ("settings", 1003, BM_CLICK, 0),
                 ("settings", 1005, BM_CLICK, 0), ("send", "options", 1011, BM_CLICK, 0),
                 ("send", "options", 1012, BM_CLICK, 0), ("send", "options", 1015, WM_KEYDOWN, 0x26, 4),
                 ("options", 1019, BM_CLICK, 0), ("settings", 1007, BM_CLICK, 0), ("gone", "settings")):
        t.probe(*step)
    t.click_tray(1)
    t.drop(16, t.one)
    assert contents(t.drive("X")) == {"a.txt": "one"}
    open(t.drive("X", "a.txt"), "w").write("changed on the drive")
    t.finish(process, [("X", t.one, 5, 3)], EXIT)
    assert contents(t.one) == {"a.txt": "changed on the drive"}
    process = t.start("X")
    assert contents(t.drive("X")) == {"a.txt": "changed on the drive"}
    t.finish(process, [("X", t.one, 5, 3)], EXIT)


def killed(t, where):
    """Ended by force (a crash, the task manager, a power cut) at a point, then started again:
    after an Exit the change is in the archive, no half file in it, no temporary file beside it."""
    big = {"f%03d.bin" % i: os.urandom(300_000).hex() for i in range(60)}  # slow to pack and extract
    with zipfile.ZipFile(t.one, "w") as z:
        for entry in big.items():
            z.writestr(*entry)
    want, drives = dict(big), [("X", t.one, 1, 1)]
    t.write_settings(*drives)
    process = t.start()
    folder = os.path.join(t.root, "Drive", "X")
    if where == "extracting":  # some files of the archive out, not all
        while not (os.path.isdir(folder) and 0 < len(os.listdir(folder)) < len(big)):
            assert process.poll() is None
    else:
        t.probe("main")  # made once the drives are restored and extracted
        open(t.drive("X", "f000.bin"), "w").write("changed")
        open(t.drive("X", "new.txt"), "w").write("added")
        want.update({"f000.bin": "changed", "new.txt": "added"})
        if where == "packing":  # the exit's write-back has begun its temporary file
            t.probe("main", 0, WM_COMMAND, EXIT)
            while not [n for n in os.listdir(t.root) if ".vessiko-" in n]:
                assert process.poll() is None
    process.kill()
    process.wait()
    if where == "mapping gone":
        t.run("wine", os.path.join(t.folder, "mapdrive.exe"), "X:", "/D")
    t.finish(t.start("X"), drives, EXIT)
    assert contents(t.one) == want and not [n for n in os.listdir(t.root) if n.endswith(".tmp")]


def failed_timed_write_back_tells_once(t):
    drives = [("X", t.one, 1, 3)]  # written back every minute
    t.write_settings(*drives)
    process = t.start("X")
    open(t.drive("X", "a.txt"), "w").write("waits in the folder")
    t.probe("hold", "Z:" + t.one.replace("/", "\\"), 75000)  # until after the first tick
    assert "FLAG=515" in open(t.settings_file, encoding="cp932").read()  # marked, and saved so
    t.finish(process, drives, EXIT)
    assert contents(t.one) == {"a.txt": "waits in the folder"}


def refused_drops_keep_the_drive(t):
    """Archives the library cannot open, dropped onto Y: with a change: each is named with its reason,
    and the drive keeps its archive, its change and the settings file."""
    drives = [("X", t.one, 1, 1), ("Y", t.two, 1, 1)]
    t.write_settings(*drives)
    process = t.start("XY")
    open(t.drive("Y", "b.txt"), "w").write("changed, kept")
    before = open(t.settings_file, "rb").read()
    fixtures = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "vessiko")
    password, method = "パスワードで保護されています。", "対応していない圧縮方式です（PPMd + x86）。"
    for index, (name, reason) in enumerate([  # no reason: the password is asked for, and cancelled
            ("infozip-zipcrypto.zip", None), ("7zz-aes256.zip", None),
            ("7zz-password.7z", password), ("7zz-encrypted-names.7z", password),
            ("7zz-ppmd-x86.7z", method)]):
        path = os.path.normpath(os.path.join(fixtures, name))
        t.click_tray(1, -6 * (index % 2))  # never twice on one spot: no double click
        left, top, _, _ = (int(v) for v in t.probe("bar").split())
        assert t.run(t.build + "/tests/tools/xdnd_drop", left + 48, top + 16, path)[0] == 0
        if reason is None:
            shown = t.probe("answer", "")
            assert shown == "owner=bar\n%s\n%s\n" % (ASKED % "Y", "Z:" + path.replace("/", "\\")), shown
        else:
            shown = t.probe("box")
            assert shown == "owner=none\n%sを開けませんでした。仮想ドライブY:はそのままです。\n%s" % (
                "Z:" + path.replace("/", "\\"), reason), shown
        t.probe("gone", "bar")
        assert contents(t.drive("Y")) == {"b.txt": "changed, kept"}
        assert open(t.settings_file, "rb").read() == before
    t.finish(process, drives, EXIT)
    assert contents(t.two) == {"b.txt": "changed, kept"}


def password_zip_opens_and_goes_back_encrypted(t):
    """An encrypted ZIP dropped onto Y: asks for its password (again after a wrong one), is edited, and
    goes back at the exit encrypted with the same password; the password is written nowhere."""
    drives = [("Y", t.two, 1, 1)]
    t.write_settings(*drives)
    process = t.start("Y")
    fixtures = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "vessiko")
    secret = os.path.join(t.root, "secret.zip")
    shutil.copyfile(os.path.join(fixtures, "infozip-zipcrypto.zip"), secret)
    t.click_tray(1)
    left, top, _, _ = (int(v) for v in t.probe("bar").split())
    assert t.run(t.build + "/tests/tools/xdnd_drop", left + 16, top + 16, secret)[0] == 0
    asked = "owner=bar\n%s\nZ:%s\n" % (ASKED % "Y", secret.replace("/", "\\"))
    assert t.probe("answer", "Wrong-Pw") == asked
    shown = t.probe("answer", PASSWORD)
    assert shown == asked + "パスワードが違います。もう一度入力してください。", shown
    t.probe("gone", "bar")
    open(t.drive("Y", "readme.txt"), "w").write("edited under a password")
    drives = [("Y", secret, 1, 1)]
    t.finish(process, drives, EXIT)
    assert t.run("unzip", "-P", PASSWORD, "-tq", secret)[0] == 0
    assert t.run("7zz", "t", "-p" + PASSWORD, secret)[0] == 0
    assert t.run("unzip", "-P", PASSWORD, "-p", secret, "readme.txt")[1] == b"edited under a password"
    with zipfile.ZipFile(secret) as z:
        assert all(i.flag_bits & 1 for i in z.infolist() if not i.is_dir()), "an entry in the clear"
    for folder, _, names in os.walk(t.root):
        for name in names:
            data = open(os.path.join(folder, name), "rb").read()
            assert PASSWORD.encode() not in data and b"Wrong-Pw" not in data, os.path.join(folder, name)


SCENARIOS = {f.__name__: f for f in (
    drop_replaces_archive_and_exit_writes_back, second_instance_touches_nothing,
    session_end_shuts_down_unless_cancelled, dialogs_drive_comes_back_with_its_options,
    failed_timed_write_back_tells_once, refused_drops_keep_the_drive,
    password_zip_opens_and_goes_back_encrypted)}
for where in ("mapping left", "mapping gone", "packing", "extracting"):
    SCENARIOS["killed_" + where.replace(" ", "_")] = lambda t, where=where: killed(t, where)
# A file of the copy replaced (None: removed), and the box shown. Without the library the program ends
# at once, silently, touching nothing; without a usable Drive.bmp it says so and shuts down as at an exit.
for name, broken in {"no_library_ends_silently": ("Vessiko.dll", None, None),
                     "no_drive_bitmap": ("Drive.bmp", None, "仮想ドライブ画像が見つかりません。"),
                     "unreadable_drive_bitmap": ("Drive.bmp", b"BM\0\0", "仮想ドライブ画像が読み出せません。")}.items():
    SCENARIOS[name] = lambda t, broken=broken: broken_start(t, *broken)

if __name__ == "__main__":
    run = Run(os.path.abspath(sys.argv[1]), sys.argv[2])
    try:
        assert run.letters() == "", "X: or Y: is taken before the test"
        SCENARIOS[sys.argv[3]](run)
    finally:  # whatever happened: no program left running, no letter left mapped
        run.run("wine", "taskkill", "/f", "/im", "Tembrook.exe")
        for letter in run.letters():
            run.run("wine", os.path.join(run.build, "out", "mapdrive.exe"), letter + ":", "/D")
        shutil.rmtree(run.root, ignore_errors=True)
