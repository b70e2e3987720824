#!/usr/bin/env bash
# Takes a screenshot of the running main window on a virtual X server (xvfb-run) and writes it
# to docs/screenshot.png (or the path given as the first argument); the QR window
# (qr-android.png), the webcam set-up window (webcam-setup.png), the settings dialog
# (settings.png) and the main window's webcam list (webcams.png) go beside it, drawn by the
# layout test with the program's style. The program runs with an
# empty settings store of its own and without the update check, so the picture shows what a
# first start shows. Needs xvfb, xauth and ffmpeg (x11grab); xwininfo (x11-utils) finds the
# window, otherwise the window's initial place and size are taken.
#   QUORVIX_BUILD_DIR   build directory to use (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshot.png}
build=${QUORVIX_BUILD_DIR:-build}

if [ ! -x "$build/quorvix" ] || [ ! -x "$build/tests/layout/tst_layout" ]; then
  generator=()
  if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
  cmake --build "$build" --parallel 2 --target quorvix tst_layout
fi

# The window's title carries the version the build was made with.
version=$(sed -n 's/.*kProductVersion = "\(.*\)";.*/\1/p' "$build/generated/app/Version.h")
[ -n "$version" ] || { echo "screenshot: no version in $build/generated/app/Version.h" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$(dirname "$out")" "$work/config" "$work/data" "$work/runtime"
chmod 700 "$work/runtime"

export QUORVIX_PROGRAM="$PWD/$build/quorvix" QUORVIX_SHOT="$work/shot.png" QUORVIX_WORK="$work"
export QUORVIX_TITLE="Quorvix (ver $version)"
xvfb-run -a -s "-screen 0 640x400x24" bash -c '
  set -euo pipefail
  XDG_CONFIG_HOME=$QUORVIX_WORK/config XDG_DATA_HOME=$QUORVIX_WORK/data \
    XDG_RUNTIME_DIR=$QUORVIX_WORK/runtime QUORVIX_MANIFEST_URL= \
    "$QUORVIX_PROGRAM" >"$QUORVIX_WORK/program.log" 2>&1 &
  pid=$!
  title=$QUORVIX_TITLE
  geometry=""
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || { cat "$QUORVIX_WORK/program.log" >&2; exit 1; }
    if command -v xwininfo >/dev/null 2>&1; then
      info=$(xwininfo -name "$title" 2>/dev/null || true)
      if [ -n "$info" ] && echo "$info" | grep -q "Map State: IsViewable"; then
        x=$(echo "$info" | awk "/Absolute upper-left X/ {print \$NF}")
        y=$(echo "$info" | awk "/Absolute upper-left Y/ {print \$NF}")
        w=$(echo "$info" | awk "/Width:/ {print \$NF}")
        h=$(echo "$info" | awk "/Height:/ {print \$NF}")
        geometry="$x $y $w $h"
        break
      fi
    elif grep -q "Stream State" "$QUORVIX_WORK/program.log"; then
      geometry="0 0 379 222"
      break
    fi
    sleep 0.1
  done
  [ -n "$geometry" ] || { echo "screenshot: the window did not appear" >&2; kill -TERM "$pid"; exit 1; }
  set -- $geometry
  # Let the first paint finish.
  sleep 1
  ffmpeg -hide_banner -loglevel error -y -f x11grab -draw_mouse 0 -video_size "${3}x${4}" \
    -i "${DISPLAY}+${1},${2}" -frames:v 1 "$QUORVIX_SHOT"
  kill -TERM "$pid"
  wait "$pid"
'
mv "$work/shot.png" "$out"
echo "screenshot: wrote $out"

shots=$(dirname "$out")
QT_QPA_PLATFORM=offscreen QUORVIX_SCREENSHOT_DIR="$shots" XDG_CONFIG_HOME="$work/config" \
  XDG_DATA_HOME="$work/data" QUORVIX_MANIFEST_URL= "$build/tests/layout/tst_layout" \
  "textsShowWhole:QR: Android, SRT off, default font" \
  "textsShowWhole:webcam set-up: module installed, default font" \
  "textsShowWhole:settings: defaults, default font" \
  "textsShowWhole:main window: three cameras, two webcams, default font" >"$work/layout.log" 2>&1 ||
  { cat "$work/layout.log" >&2; exit 1; }
echo "screenshot: wrote $shots/qr-android.png, $shots/webcam-setup.png, $shots/settings.png and $shots/webcams.png"
