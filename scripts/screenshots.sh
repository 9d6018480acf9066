#!/usr/bin/env bash
# Retakes the README's screenshots (docs/*.png) under Xvfb with openbox, with the windows where
# the program puts them, driven by real clicks and keys.
# Usage: scripts/screenshots.sh [BUILD-DIR]   (default build-release, else build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-}
[ -n "$build" ] || { [ -x build-release/bin/hakomi ] && build=build-release || build=build; }
case $build in /*) ;; *) build=$PWD/$build ;; esac
hakomi=$build/bin/hakomi
[ -x "$hakomi" ] || { echo "no $hakomi: build first" >&2; exit 1; }
scripts/deps.sh test
. scripts/x11-session.sh
if missing=$(x11_missing); then
  echo "$missing is not installed" >&2
  exit 1
fi
docs=$PWD/docs

# The frame of a window, cut out of a picture of the whole screen.
crop_frame() {
  local x y w h
  read -r x y w h < <(x11_frame "$1")
  x11_shot "$x11_dir/screen.png"
  convert "$x11_dir/screen.png" -crop "${w}x${h}+${x}+${y}" +repage "$2"
}

x11_start 1024x768 96
demo=$x11_dir/demo
x11_demo "$demo"
x11_program "$demo" "$hakomi"
main=$(x11_window '^箱のポムリは何だろな？$')

# The chooser, opened on the demo folder, with OK focused.
x11_click "$main" $((240 + 855 / 2)) $((120 + 255 / 2))
chooser=$(x11_window '^参照先$')
sleep 0.5
crop_frame "$chooser" "$docs/screenshot-chooser.png"
xdotool key --clearmodifiers Return
x11_until 20 x11_gone '^参照先$'
sleep 0.5
crop_frame "$main" "$docs/screenshot-main.png"

# The search window after two finds, then after the last one.
x11_click "$main" $((7800 + 855 / 2)) $((120 + 255 / 2))
search=$(x11_window '^検索$')
xdotool type --delay 50 'pdf'
for _ in 1 2; do
  x11_click "$search" $((4680 + 1215 / 2)) $((120 + 375 / 2))
  sleep 0.5
done
x11_shot "$docs/screenshot-search.png"
x11_click "$search" $((4680 + 1215 / 2)) $((120 + 375 / 2))
x11_window '^Infomation$' >/dev/null
sleep 0.5
x11_shot "$docs/screenshot-search-ended.png"
xdotool key --clearmodifiers Return
echo "wrote docs/screenshot-{chooser,main,search,search-ended}.png"
