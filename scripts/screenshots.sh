#!/usr/bin/env bash
# Pictures of the assistant as a user sees it, for looking at by hand: each page of the main
# window, the about box and the tray menu, under Xvfb with a tray (trayer) and the CJK fonts.
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

scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$scratch"' EXIT
chmod 700 "$scratch"
export DISPLAY=:93 ORVIK_HOME="$scratch/home" HOME="$scratch" XDG_RUNTIME_DIR="$scratch"
Xvfb "$DISPLAY" -screen 0 1280x800x24 >/dev/null 2>&1 &
sleep 1
trayer --edge top --align right --widthtype pixel --width 100 --height 24 >/dev/null 2>&1 &
sleep 1
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
"$program" >"$scratch/desk.log" 2>&1 &
sleep 6
window=$(xdotool search --onlyvisible --name 'Orvik数字证书助手' | head -1)
eval "$(xdotool getwindowgeometry --shell "$window")"
# Item centres of the navigator bar, below the menu bar.
ys=(20 72 116 160 204 248)
bar=20  # the menu bar's height
for i in 0 1 2 3 4 5; do
  xdotool mousemove $((X + 18)) $((Y + bar + ys[i])) click 1
  sleep 1
  import -window root "$out/page$i.png"
done
xdotool mousemove 1267 11 click 3
sleep 1
import -window root "$out/tray-menu.png"
xdotool key Escape
echo "pictures in $out"
