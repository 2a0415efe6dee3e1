#!/usr/bin/env bash
# Renders the running program as a user meets it: the tray menu open, and the drop bar over
# the desktop, with two virtual drives X: and Y:. The real Tembrook.exe runs from a scratch
# copy of BUILD_DIR/out inside a Wine desktop window with a task bar, on a virtual display of
# its own; the clicks are real X clicks. The PNG files go to BUILD_DIR/screenshots.
#   screenshots-shell.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
export WINE_BUILD_DIR=$build
. "$here/wine-env.sh"

out=$build/screenshots
mkdir -p "$out"
width=800
height=600

xvfb_pid=
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tb-shots-XXXXXX")
# The mapped ones of X: and Y:, as Wine keeps them: links in the prefix's dosdevices folder.
letters() { for letter in X Y; do [ -L "$WINEPREFIX/dosdevices/${letter,,}:" ] && printf %s "$letter"; done; true; }
finish() {
  # Whatever happened: no letter left mapped, no Wine process bound to the display.
  for letter in X Y; do
    case $(letters) in *$letter*) wine "$build/out/mapdrive.exe" "$letter:" /D >/dev/null 2>&1 ;; esac
  done
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$scratch"
  return 0
}
trap finish EXIT
start_private_display "${width}x${height}" || { echo "screenshots-shell: cannot start Xvfb" >&2; exit 1; }
setsid wineserver -p30 </dev/null >/dev/null 2>&1 || true

# The program with two drives, each showing a small archive.
program=$scratch/program
mkdir -p "$program" "$scratch/root"
find "$build/out" -maxdepth 1 -type f ! -name Tembrook.ini -exec cp {} "$program" \;
python3 - "$scratch" <<'EOF'
import sys, zipfile
base = sys.argv[1]
for name, files in (("photos.zip", {"2024/夏.txt": "summer"}), ("docs.zip", {"readme.txt": "hi"})):
    with zipfile.ZipFile(base + "/" + name, "w", zipfile.ZIP_DEFLATED) as z:
        for entry, text in files.items():
            z.writestr(entry, text)
EOF
win() { winepath -w "$1" 2>/dev/null; }
printf '[Temporally Folder]\r\nPATH=%s\r\n[X:]\r\nFILEPATH=%s\r\nUPTIME=1\r\nFLAG=1\r\n[Y:]\r\nFILEPATH=%s\r\nUPTIME=1\r\nFLAG=1\r\n' \
  "$(win "$scratch/root")" "$(win "$scratch/photos.zip")" "$(win "$scratch/docs.zip")" \
  > "$program/Tembrook.ini"

case $(letters) in *X*|*Y*)
  echo "screenshots-shell: X: or Y: is in use in this prefix" >&2
  exit 1 ;;
esac
wine explorer "/desktop=tembrook-shell,${width}x$height" "$(win "$program/Tembrook.exe")" \
  </dev/null >/dev/null 2>&1 &
for _ in $(seq 100); do
  case $(letters) in *X*Y*) break ;; esac
  sleep 0.1
done
case $(letters) in *X*Y*) ;; *)
  echo "screenshots-shell: the program did not start" >&2
  exit 1 ;;
esac
sleep 2

# With one icon in the notification area, it sits at the right end of the task bar.
tray_x=$((width - 11))
tray_y=$((height - 11))
shot() {
  import -display "$DISPLAY" -window root "$out/$1"
  echo "screenshots-shell: $out/$1"
}

xdotool mousemove --sync "$tray_x" "$tray_y" click 3
sleep 1
shot shell_tray_menu.png
xdotool key Escape
xdotool mousemove --sync $((width / 2)) $((height / 2)) click 1
sleep 0.5

xdotool mousemove --sync "$tray_x" "$tray_y" click 1
sleep 1
shot shell_drop_bar.png
# A click on the bar closes it.
xdotool mousemove --sync $((width - 16)) $((height - 16)) click 1
sleep 3

# Exit, the menu's last entry, just above the cursor.
xdotool mousemove --sync "$tray_x" "$tray_y" click 3
sleep 1
xdotool mousemove --sync $((width - 40)) $((tray_y - 12)) click 1
for _ in $(seq 200); do
  case $(letters) in *X*|*Y*) sleep 0.1 ;; *) break ;; esac
done
case $(letters) in *X*|*Y*) echo "screenshots-shell: the program did not end" >&2; exit 1 ;; esac
