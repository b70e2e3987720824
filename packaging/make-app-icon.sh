#!/usr/bin/env bash
# Redraws the application icon (every hicolor size and the SVG) into packaging/icons.
set -euo pipefail
cd "$(dirname "$0")/.."
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build --target make_app_icon
./build/make_app_icon packaging/icons
