#!/usr/bin/env bash
# Builds Quorvix and starts it. Arguments go to the program: [port [camera type]].
set -euo pipefail
cd "$(dirname "$0")/.."

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build --parallel 2 --target quorvix

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # No desktop session: run as a headless relay to the virtual webcam.
  export QT_QPA_PLATFORM=offscreen
  if [ $# -eq 0 ]; then set -- 1935; fi
  echo "quorvix: no display found; running without a window, listening on port $1" >&2
fi
exec ./build/quorvix "$@"
