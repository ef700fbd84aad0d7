#!/usr/bin/env bash
# Pictures of the assistant as a user sees it, for looking at by hand: each page of the main
# window, the certificate pages in "详细信息" mode over made-up stores, the import and export
# dialogs, the certificate viewer, the encrypt dialog, the settings, the about box, a secure
# file's properties and the tray menu, under Xvfb with a tray (trayer) and the CJK fonts.
# Three sets: the usual look, at twice the scale (a high-density screen), and dark.
# Usage: scripts/screenshots.sh [OUTPUT_FOLDER]   (after ./scripts/run.sh or ./scripts/test.sh built it)
# The sets land in OUTPUT_FOLDER, OUTPUT_FOLDER/2x and OUTPUT_FOLDER/dark.
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
# The newest build there is.
program=
for candidate in build/release/program/OrvikDesk build/ci/program/OrvikDesk; do
  [ -x "$candidate" ] || continue
  if [ -z "$program" ] || [ "$candidate" -nt "$program" ]; then program=$candidate; fi
done
[ -n "$program" ] || { echo "build the program first" >&2; exit 1; }
ctl=$(dirname "$program")/orvikctl

# One set of pictures: FOLDER, the scale (1 or 2) and the colour scheme (light or dark).
session() {
  local dir=$1 s=$2 scheme=$3
  mkdir -p "$dir"
  local scratch
  scratch=$(mktemp -d)
  chmod 700 "$scratch"
  (
    export DISPLAY=:93 ORVIK_HOME="$scratch/home" HOME="$scratch" XDG_RUNTIME_DIR="$scratch"
    export QT_SCALE_FACTOR=$s ORVIK_COLOR_SCHEME=$scheme
    trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
    scripts/seed-demo-stores.sh "$ctl" >/dev/null
    local sw=$((1280 * s)) sh=$((800 * s))
    Xvfb "$DISPLAY" -screen 0 "${sw}x${sh}x24" >/dev/null 2>&1 &
    sleep 1
    trayer --edge top --align right --widthtype pixel --width 100 --height 24 >/dev/null 2>&1 &
    sleep 1
    [ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
    "$program" >"$scratch/desk.log" 2>&1 &
    sleep 6
    local window
    window=$(xdotool search --onlyvisible --name 'Orvik数字证书助手' | head -1)
    # Room for the columns; there is no window manager to do it.
    xdotool windowsize "$window" $((1000 * s)) $((640 * s))
    xdotool windowmove "$window" $((100 * s)) $((60 * s))
    sleep 1
    eval "$(xdotool getwindowgeometry --shell "$window")"
    shot() { import -window root "$dir/$1.png"; }
    # A point of the window, in the window's logical pixels.
    at() {
      local x=$1 y=$2
      shift 2
      xdotool mousemove $((X + x * s)) $((Y + y * s)) "$@"
    }
    # Item centres of the navigator bar, below the menu bar.
    local ys=(20 72 116 160 204 248) bar=20 # the menu bar's height
    nav() {
      at 18 $((bar + ys[$1])) click 1
      sleep 1
    }
    for i in 0 1 2 3 4 5; do
      nav "$i"
      shot "page$i"
    done
    # The certificate pages in the details view: "查看" of the menu bar, its fourth item.
    # (A menu opened by a click has no item active: the first Down reaches the first item.)
    for i in 1 2 3; do
      nav "$i"
      at 197 8 click 1
      sleep 0.5
      xdotool key Down Down Down Down Return
      sleep 1
      shot "page$i-details"
    done
    first_row() {
      at 100 101 click 1
      sleep 0.5
    }
    empty_space() { at 500 450; }
    # "导出..." of the first row, from "操作" of the menu bar: a picture of the dialog, then closed.
    export_first() {
      first_row
      at 140 8 click 1
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
    at 97 70 click --repeat 2 --delay 80 1
    sleep 2
    shot encrypt
    xdotool key Escape
    sleep 0.5
    at 85 8 click 1
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
    # The about box: "帮助(&H)" of the menu bar, its first item.
    at 254 8 click 1
    sleep 0.5
    xdotool key Down Return
    sleep 1
    shot about
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
    xdotool mousemove $((sw - 13)) 11 click 3
    sleep 1
    shot tray-menu
    xdotool key Escape
  )
  rm -rf "$scratch"
}

session "$out" 1 light
session "$out/2x" 2 light
session "$out/dark" 1 dark
echo "pictures in $out, $out/2x and $out/dark"
