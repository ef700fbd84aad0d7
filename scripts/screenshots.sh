#!/usr/bin/env bash
# Pictures of the assistant as a user sees it, for looking at by hand: each page of the main
# window, the certificate pages in "详细信息" mode over made-up stores, the import and export
# dialogs, the certificate viewer, the encrypt dialog, the settings, a secure file's properties
# and the tray menu, under Xvfb with a tray (trayer) and the CJK fonts.
# Usage: scripts/screenshots.sh [OUTPUT_FOLDER]   (after ./scripts/run.sh or ./scripts/test.sh built it)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-screenshots}
mkdir -p "$out"
need=()
for p in imagemagick xdotool trayer; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then
  sudo=$([ "$(id -u)" -eq 0 ] && echo "" || echo sudo)
  $sudo apt-get install -y -q "${need[@]}"
fi
program=
for candidate in build/release/program/OrvikDesk build/ci/program/OrvikDesk; do
  [ -x "$candidate" ] && { program=$candidate; break; }
done
[ -n "$program" ] || { echo "build the program first" >&2; exit 1; }
ctl=$(dirname "$program")/orvikctl

scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$scratch"' EXIT
chmod 700 "$scratch"
export DISPLAY=:93 ORVIK_HOME="$scratch/home" HOME="$scratch" XDG_RUNTIME_DIR="$scratch"
scripts/seed-demo-stores.sh "$ctl" >/dev/null
Xvfb "$DISPLAY" -screen 0 1280x800x24 >/dev/null 2>&1 &
sleep 1
trayer --edge top --align right --widthtype pixel --width 100 --height 24 >/dev/null 2>&1 &
sleep 1
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
"$program" >"$scratch/desk.log" 2>&1 &
sleep 6
window=$(xdotool search --onlyvisible --name 'Orvik数字证书助手' | head -1)
# Room for the columns; there is no window manager to do it.
xdotool windowsize "$window" 1000 640
xdotool windowmove "$window" 100 60
sleep 1
eval "$(xdotool getwindowgeometry --shell "$window")"
shot() { import -window root "$out/$1.png"; }
# Item centres of the navigator bar, below the menu bar.
ys=(20 72 116 160 204 248)
bar=20  # the menu bar's height
nav() { xdotool mousemove $((X + 18)) $((Y + bar + ys[$1])) click 1; sleep 1; }
for i in 0 1 2 3 4 5; do
  nav "$i"
  shot "page$i"
done
# The certificate pages in the details view: "查看" of the menu bar, its fourth item.
# (A menu opened by a click has no item active: the first Down reaches the first item.)
for i in 1 2 3; do
  nav "$i"
  xdotool mousemove $((X + 197)) $((Y + 8)) click 1
  sleep 0.5
  xdotool key Down Down Down Down Return
  sleep 1
  shot "page$i-details"
done
first_row() { xdotool mousemove $((X + 100)) $((Y + 101)) click 1; sleep 0.5; }
empty_space() { xdotool mousemove $((X + 500)) $((Y + 450)); }
# "导出..." of the first row, from "操作" of the menu bar: a picture of the dialog, then closed.
export_first() {
  first_row
  xdotool mousemove $((X + 140)) $((Y + 8)) click 1
  sleep 0.5
  xdotool key Down Down Return
  sleep 1
  shot "$1"
  xdotool key Escape
  sleep 0.5
}
# The viewer of the first authority: Enter on its row.
first_row
xdotool key Return
sleep 2
shot viewer
xdotool key Escape
sleep 0.5
# "导出..." of an authority.
export_first export-der
# The personal page's import (the empty space's menu) and export dialogs.
nav 1
empty_space
xdotool click 3
sleep 0.5
xdotool key Down Return
sleep 1
shot import-pfx
xdotool key Escape
sleep 0.5
export_first export-pfx
# The other people's page: "导入" → "从文件导入...".
nav 2
empty_space
xdotool click 3
sleep 0.5
xdotool key Down Right Return
sleep 1
shot import-cer
xdotool key Escape
sleep 0.5
# The file page's encrypt dialog, and the settings from the menu bar's "工具".
nav 5
xdotool mousemove $((X + 97)) $((Y + 70)) click --repeat 2 --delay 80 1
sleep 2
shot encrypt
xdotool key Escape
sleep 0.5
xdotool mousemove $((X + 85)) $((Y + 8)) click 1
sleep 0.5
xdotool key Down Down Return
sleep 1.5
shot configuration
# Its last tab: the browsers and mail programs that use the personal store's module.
xdotool key ctrl+Tab ctrl+Tab ctrl+Tab ctrl+Tab
sleep 1
shot configuration-programs
xdotool key Escape
sleep 0.5
# A secure file for the first personal certificate, and its properties ("/P").
printf 'a secure file for the pictures\n' >"$scratch/report.doc"
"$ctl" encrypt "$scratch/report.doc" "$scratch/report.ovk" --self "$("$ctl" list --store MY | head -1 | cut -f1)" >/dev/null
"$program" /P "$scratch/report.ovk" >/dev/null 2>&1 &
sleep 3
shot properties
xdotool key Return
sleep 0.5
xdotool mousemove 1267 11 click 3
sleep 1
shot tray-menu
xdotool key Escape
echo "pictures in $out"
