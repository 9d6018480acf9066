#!/usr/bin/env bash
# Closing the main window in the middle of a run on a slow file share ends the program at once.
# The program lists a folder on bench/share.c, which answers every request after a delay; its
# main window is closed by real input (Alt+F4 to the window manager) once while the scan reads
# folders and archives ahead, and once while the tree fills. Each time the program must be gone
# within a bound, with a clean exit, and nothing of it left in flight: the share unmounts at once.
# Usage: x11_close_on_share.sh HAKOMI SHARE.C [BOUND], BOUND in seconds (2); the share's delay
# a request is HAKOMI_SHARE_DELAY_MS (100). Exits 77 (skipped), with the reason, where an X tool
# or FUSE is missing or the share cannot be mounted here.
set -euo pipefail
hakomi=$1
share_c=$2
delay_ms=${HAKOMI_SHARE_DELAY_MS:-100}
# Seconds from the close to the end of the program; a whole run takes several times as long.
bound=${3:-2}
. "$(dirname "$0")/../../scripts/x11-session.sh"

skip() {
  echo "skipped: $*"
  exit 77
}
if missing=$(x11_missing); then
  skip "$missing is not installed (scripts/deps.sh test installs it)"
fi
[ -e /dev/fuse ] || skip "/dev/fuse is missing"
command -v fusermount3 >/dev/null || skip "fusermount3 is not installed (Debian package fuse3)"
pkg-config --exists fuse3 || skip "libfuse3 is not installed (Debian package libfuse3-dev)"

work=$(mktemp -d)
point=$work/share
share_pid=
unmount() {
  if mountpoint -q "$point"; then
    fusermount3 -u "$point" 2>/dev/null || fusermount3 -uz "$point" 2>/dev/null
  fi
  [ -n "$share_pid" ] && kill "$share_pid" 2>/dev/null && wait "$share_pid" 2>/dev/null
  share_pid=
}
# Whatever happens, nothing stays mounted: the program ends first, then the share. No step's
# status ends the cleanup early.
cleanup() {
  set +e
  x11_stop
  unmount
  mountpoint -q "$point" 2>/dev/null || rm -rf --one-file-system "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -n "${x11_dir:-}" ] && cat "$x11_dir/program.log" >&2 2>/dev/null
  cat "$work/share.log" >&2 2>/dev/null
  exit 1
}

cc -O2 -o "$work/share-fs" "$share_c" $(pkg-config --cflags --libs fuse3) ||
  fail "bench/share.c does not build"

# 400 folders of 2 archives: at 100 ms a request the scan takes a few seconds, more than the
# read-ahead threads need to read that many folders at once, and the whole run more.
mkdir "$work/corpus" "$point"
python3 - "$work/corpus" <<'PY'
import os, sys, zipfile
root = sys.argv[1]
for f in range(400):
    folder = os.path.join(root, f"棚{f // 20:02}", f"箱{f:03}")
    os.makedirs(folder)
    for a in range(2):
        with zipfile.ZipFile(os.path.join(folder, f"書庫{a}.zip"), "w") as z:
            for e in range(10):
                z.writestr(f"中身{e:02}.txt", b"x" * e)
PY

# A fresh mount for each round, so that each starts cold.
mount_share() {
  "$work/share-fs" --delay-ms "$delay_ms" --threads 256 "$work/corpus" "$point" \
    >"$work/share.log" 2>&1 &
  share_pid=$!
  until [ "$(stat -c %d "$point")" != "$(stat -c %d "$work")" ]; do
    kill -0 "$share_pid" 2>/dev/null ||
      skip "the share does not mount here: $(tr '\n' ' ' <"$work/share.log")"
    sleep 0.05
  done
}

# The program holds both a folder and an archive on the share open: the scan goes on, and the
# archives it found are being read ahead.
scanning() {
  local open
  open=$(ls -l "/proc/$x11_program_pid/fd" 2>/dev/null | grep -F " -> $point" | sed 's/.* -> //')
  grep -q '\.zip$' <<<"$open" && grep -qv '\.zip$' <<<"$open"
}
# Colours in a part of the main window (pixels: width height left top).
colours() { import -window "$main" -crop "$1x$2+$3+$4" +repage -format %k info: 2>/dev/null; }
# The tree shows nodes: below its first row (which an empty tree may show as current) it holds
# more than the background's colour.
filling() { [ "$(colours 500 200 24 64)" -gt 2 ]; }
# The run goes on: its progress bar shows (its right part, which a short folder path in the
# label below it does not reach).
running() { [ "$(colours 100 17 300 8)" -gt 1 ]; }
ended() { ! kill -0 "$x11_program_pid" 2>/dev/null; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# close_round WHEN PREDICATE: starts the program on a fresh share, closes its main window once
# PREDICATE holds, and checks that the program ends within the bound and leaves the share free.
close_round() {
  local when=$1 wait_for=$2
  mount_share
  x11_program "$x11_dir" "$hakomi" "$point"
  local began=$EPOCHREALTIME
  main=$(x11_window '^箱のポムリは何だろな？$') || fail "the main window did not show"
  x11_until 60 "$wait_for" || fail "the run never reached the point to close it ($when)"
  running || fail "the run ended before the close ($when)"
  local closed=$EPOCHREALTIME
  xdotool key --clearmodifiers alt+F4
  x11_until 30 ended || fail "the program did not end within 30 s after the close ($when)"
  local gone=$EPOCHREALTIME status=0
  wait "$x11_program_pid" || status=$?
  unset 'x11_pids[-1]' # the program, started last, is reaped
  [ "$status" = 0 ] || fail "the program ended with status $status ($when)"
  local took
  took=$(seconds "$closed" "$gone")
  echo "closed $(seconds "$began" "$closed") s after the start, $when: the program ended" \
    "$took s after the close (${delay_ms} ms a request)"
  awk -v t="$took" -v b="$bound" 'BEGIN { exit !(t <= b) }' ||
    fail "the program took $took s to end after the close ($when), over $bound s"
  # Nothing of the program is left in flight: the share unmounts and ends cleanly. The kernel may
  # take a moment to let go of files closed at the program's exit (seen once at 500 ms a request).
  x11_until 2 fusermount3 -u "$point" ||
    fail "the share could not be unmounted within 2 s after the program ended ($when)"
  echo "  the share unmounted $(seconds "$gone" "$EPOCHREALTIME") s after the program ended"
  x11_until 10 eval '! kill -0 $share_pid' || fail "the share did not end after its unmount"
  wait "$share_pid" || fail "the share ended with status $?"
  share_pid=
}

x11_start 1024x768 96
trap cleanup EXIT # in place of the session's own, which it calls
close_round "while the scan walks and archives are read ahead" scanning
close_round "while the tree fills" filling
echo "passed"
