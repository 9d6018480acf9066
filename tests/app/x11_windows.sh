#!/usr/bin/env bash
# The program's windows under a real window manager (Xvfb with openbox), driven by real clicks
# and keys: the main window centred by its outer size, the empty tree's focus shown from the
# start, the search window above the main window after finds, on its own once the main window
# is closed.
# Usage: x11_windows.sh HAKOMI [SCREENSHOT]. Exits 77 (skipped) when an X tool is missing.
set -euo pipefail
hakomi=$1
screenshot=${2:-}
. "$(dirname "$0")/../../scripts/x11-session.sh"
if missing=$(x11_missing); then
  echo "skipped: $missing is not installed (scripts/deps.sh test installs it)"
  exit 77
fi

fail() {
  echo "FAIL: $*" >&2
  [ -n "${x11_dir:-}" ] && cat "$x11_dir/program.log" >&2 2>/dev/null
  exit 1
}

x11_start 1024x768 96
x11_demo "$x11_dir/demo"
x11_program "$x11_dir/demo" "$hakomi"

main=$(x11_window '^箱のポムリは何だろな？$') || fail "the main window did not show"
first=$(x11_frame "$main")
# The outer frame centred in twips (15 a pixel at 96 dpi): the difference halved toward zero.
read -r _ _ w h <<<"$first"
centred() { awk -v t=$((($1 - $2) * 15 / 2)) 'BEGIN { printf "%d", (t < 0 ? -1 : 1) * int((t < 0 ? -t : t) / 15 + 0.5) }'; }
want="$(centred 1024 "$w") $(centred 768 "$h") $w $h"
[ "$first" = "$want" ] || fail "main window frame at $first, want $want"
sleep 1
[ "$(x11_frame "$main")" = "$want" ] || fail "the main window moved after it showed: $(x11_frame "$main")"
echo "main window frame (left top width height): $want"

# The empty tree has the focus and shows it from the start, in its top row (pixels at 96 dpi);
# Tab takes the focus, and the cue with it, to 参照先：.
top_row() { import -window "$main" -crop 561x24+16+32 "rgb:$1"; }
top_row "$x11_dir/focused.rgb"
cue_gone() { top_row "$x11_dir/unfocused.rgb" && ! cmp -s "$x11_dir/focused.rgb" "$x11_dir/unfocused.rgb"; }
xdotool key --clearmodifiers Tab
x11_until 5 cue_gone || fail "the tree shows no focus at start"

# A listing run: 参照先：, then Enter on OK, which has the focus.
x11_click "$main" $((240 + 855 / 2)) $((120 + 255 / 2))
chooser=$(x11_window '^参照先$') || fail "the chooser did not open"
xdotool key --clearmodifiers Return
x11_until 20 x11_gone '^参照先$' || fail "the chooser did not close"

# 検索, a search text and Enter. The run takes no input until it ends, which in a slow (sanitizer)
# build can be a while after the chooser closed: the click is repeated until the window opens.
search=
for _ in 1 2 3 4 5 6 7 8; do
  x11_click "$main" $((7800 + 855 / 2)) $((120 + 255 / 2))
  if x11_until 5 xdotool search --onlyvisible --name '^検索$'; then
    search=$(x11_window '^検索$')
    break
  fi
done
[ -n "$search" ] || fail "the search window did not open"
read -r sx sy _ _ < <(x11_geometry "$search")
[ "$sx $sy" = "$((6300 / 15)) $((4095 / 15))" ] || fail "search window at $sx $sy"
xprop -id "$search" _NET_WM_STATE | grep -q _NET_WM_STATE_SKIP_TASKBAR || fail "search window on the taskbar"
xdotool type --delay 20 pdf
xdotool key --clearmodifiers Return
is_active() { [ "$(x11_active)" = "$1" ]; }
ended() { ! kill -0 "$1" 2>/dev/null; }
x11_until 15 is_active "$main" || fail "the main window is not active after a find"
x11_above "$search" "$main" || fail "the main window covers the search window after a find: $(x11_stacking | tr '\n' ' ')"
[ -n "$screenshot" ] && x11_shot "$screenshot"
echo "stacking after finds (bottom first): $(x11_stacking | tr '\n' ' ')main=$main search=$search"

# The main window closes by Alt+F4; the search window stays, and the program with it.
xdotool key --clearmodifiers alt+F4
x11_until 15 x11_gone '^箱のポムリは何だろな？$' || fail "the main window did not close"
sleep 0.5
kill -0 "$x11_program_pid" 2>/dev/null || fail "the program ended with the main window"
x11_gone '^検索$' && fail "the search window closed with the main window"
# Its Cancel closes the last window, and the program ends.
x11_click "$search" $((4680 + 1215 / 2)) $((600 + 375 / 2))
x11_until 15 ended "$x11_program_pid" || fail "the program did not end after its last window"
wait "$x11_program_pid" || fail "the program ended with status $?"
echo "passed"
