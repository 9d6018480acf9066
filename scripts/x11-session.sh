# A real X display with a window manager, for checks and screenshots: Xvfb with openbox, driven
# by real input through the XTEST extension. Sourced; everything it starts stops on exit.

x11_tools=(Xvfb openbox xprop xwininfo xdotool import convert python3)

# Says which tool is missing, if any.
x11_missing() {
  local t
  for t in "${x11_tools[@]}"; do
    command -v "$t" >/dev/null || { echo "$t"; return 0; }
  done
  return 1
}

x11_pids=()
x11_stop() {
  local p
  for ((i = ${#x11_pids[@]} - 1; i >= 0; i--)); do
    p=${x11_pids[i]}
    # A status from the signal must not end a script under set -e before the rest are stopped.
    kill "$p" 2>/dev/null && { wait "$p" 2>/dev/null || true; }
  done
  x11_pids=()
  [ -n "${x11_dir:-}" ] && rm -rf "$x11_dir"
  return 0
}

# Polls a command until it succeeds, for at most SECONDS.
x11_until() {
  local seconds=$1
  shift
  local end=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.1
  done
}

# x11_start WIDTHxHEIGHT DPI: a screen of that size with openbox running on it.
x11_start() {
  x11_dir=$(mktemp -d)
  trap x11_stop EXIT
  mkdir -m 700 "$x11_dir/run"
  Xvfb -screen 0 "${1}x24" -dpi "$2" -nolisten tcp -displayfd 3 3>"$x11_dir/display" \
    >"$x11_dir/xvfb.log" 2>&1 &
  x11_pids+=($!)
  x11_until 10 test -s "$x11_dir/display" || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(head -n 1 "$x11_dir/display")"
  export XDG_RUNTIME_DIR=$x11_dir/run XDG_CONFIG_HOME=$x11_dir/config XDG_CACHE_HOME=$x11_dir/cache
  export LC_ALL=C.UTF-8
  openbox --sm-disable >"$x11_dir/openbox.log" 2>&1 &
  x11_pids+=($!)
  x11_until 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
    { echo "openbox did not start" >&2; return 1; }
}

# x11_program FOLDER COMMAND...: starts the program in that folder; its pid in x11_program_pid.
x11_program() {
  local folder=$1
  shift
  # Under the address sanitizer, full stacks for the leak check at exit: the one through Qt's
  # D-Bus module, which the suppressions name, has no frame pointers to unwind by.
  local asan=${ASAN_OPTIONS:-}
  [ -n "$asan" ] && asan=$asan:fast_unwind_on_malloc=0
  (cd "$folder" && exec env ${asan:+ASAN_OPTIONS=$asan} QT_QPA_PLATFORM=xcb "$@") \
    >"$x11_dir/program.log" 2>&1 &
  x11_program_pid=$!
  x11_pids+=($x11_program_pid)
}

# x11_window TITLE-REGEX: the id of the visible window with that title, once it shows.
x11_window() {
  local id
  id=$(timeout 30 xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n 1) || true
  [ -n "$id" ] || { echo "no window $1" >&2; return 1; }
  echo "$id"
}

x11_gone() { ! xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }

# x11_geometry ID: the client area's left top width height on the screen.
x11_geometry() {
  xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF} END {print x, y, w, h}'
}

# x11_extents ID: the frame's left right top bottom, as the window manager gives them.
x11_extents() {
  xprop -id "$1" -notype _NET_FRAME_EXTENTS | sed -n 's/.*= *//p' | tr -d ,
}

# x11_frame ID: the outer frame's left top width height.
x11_frame() {
  local x y w h l r t b
  read -r x y w h < <(x11_geometry "$1")
  read -r l r t b < <(x11_extents "$1")
  echo $((x - l)) $((y - t)) $((w + l + r)) $((h + t + b))
}

# x11_click ID TWIPS-X TWIPS-Y: a real click at that point of the client area (96 dpi: 15
# twips a pixel).
x11_click() {
  xdotool mousemove --sync --window "$1" $(($2 / 15)) $(($3 / 15)) click 1
}

# The root's list of client windows, bottom first, as decimal ids.
x11_stacking() {
  local id
  for id in $(xprop -root -notype _NET_CLIENT_LIST_STACKING | sed 's/.*#//' | tr -d ,); do
    printf '%d\n' "$id"
  done
}

x11_active() { printf '%d\n' "$(xprop -root -notype _NET_ACTIVE_WINDOW | sed 's/.*# *//;s/,.*//')"; }

# x11_above UPPER LOWER: whether UPPER is stacked above LOWER.
x11_above() {
  local order
  order=$(x11_stacking)
  local u l
  u=$(grep -nx "$1" <<<"$order" | cut -d: -f1)
  l=$(grep -nx "$2" <<<"$order" | cut -d: -f1)
  [ -n "$u" ] && [ -n "$l" ] && [ "$u" -gt "$l" ]
}

x11_shot() { import -window root "$1"; }

# x11_demo FOLDER: a few archives to list: Japanese names, a folder, one file that is no archive.
x11_demo() {
  mkdir -p "$1/写真"
  python3 - "$1" <<'PY'
import sys, zipfile
root = sys.argv[1]
def make(path, names):
    with zipfile.ZipFile(path, "w") as z:
        for n in names:
            z.writestr(n, b"" if n.endswith("/") else b"x")
make(root + "/写真/旅行.zip", ["京都/", "京都/金閣寺.jpg", "京都/清水寺.jpg", "東京タワー.jpg", "京都駅の地図.png"])
make(root + "/資料.zip", ["カタログ2023.pdf", "ｶﾀﾛｸﾞ旧版.pdf", "製品カタログ/", "製品カタログ/表紙.png", "見積書.xlsx", "ＲＥＡＤＭＥ.txt"])
open(root + "/壊れた.zip", "wb").write(b"PK\x03\x04 this is not an archive")
PY
}
