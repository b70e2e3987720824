#!/usr/bin/env bash
# Builds Quorvix and starts it. Arguments go to the program: [port [camera type]], for example
#   scripts/run.sh                 the window; press Start
#   scripts/run.sh 1935 iPhone     listen on 1935 at once, camera type iPhone
# Without a display (no DISPLAY or WAYLAND_DISPLAY, e.g. over ssh) the program runs with Qt's
# offscreen platform as a headless relay to the virtual webcam, listening on the port given
# (default 1935). Ctrl-C or SIGTERM ends it cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build --parallel 2 --target quorvix

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
  if [ $# -eq 0 ]; then set -- 1935; fi
  echo "quorvix: no display found, so no window: running headless with Qt's offscreen platform," >&2
  echo "quorvix: listening for cameras on port $1 and feeding the virtual webcam; Ctrl-C ends it" >&2
fi
exec ./build/quorvix "$@"
