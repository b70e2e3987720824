#!/usr/bin/env bash
# The committed icons must be what the drawing tool draws today, and the tool's check must
# notice a missing file, a picture of the wrong size, changed pixels and an edited SVG.
#
#   check-icons.sh <make_app_icon> <committed icons folder> <scratch folder>
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 <make_app_icon> <icons folder> <scratch folder>" >&2
  exit 2
fi
tool=$1 icons=$2 scratch=$3

"$tool" --check "$icons"

failures=0
# Runs the tool's check on a copy of the icons after applying one damage; it must fail.
expect_caught() {
  local what=$1
  shift
  rm -rf "$scratch"
  mkdir -p "$scratch"
  cp -r "$icons/." "$scratch/"
  "$@"
  if "$tool" --check "$scratch" >/dev/null 2>&1; then
    echo "FAIL: the icon check did not notice $what" >&2
    failures=$((failures + 1))
  fi
}
apps=$scratch/hicolor
expect_caught "a missing 32x32 icon" rm "$apps/32x32/apps/quorvix.png"
expect_caught "a 64x64 picture in the 48x48 folder" \
  cp "$apps/64x64/apps/quorvix.png" "$apps/48x48/apps/quorvix.png"
expect_caught "an edited SVG" sed -i 's/#ea700c/#ea700d/' "$apps/scalable/apps/quorvix.svg"
expect_caught "a red corner in the 64x64 icon" \
  ffmpeg -nostdin -loglevel error -y -i "$icons/hicolor/64x64/apps/quorvix.png" \
  -vf "format=rgba,drawbox=x=28:y=28:w=8:h=8:color=red:t=fill" "$apps/64x64/apps/quorvix.png"
rm -rf "$scratch"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "icon check catches every damage tried"
