#!/usr/bin/env bash
# Installs the build into a staging root the way the Debian package does (prefix /usr) and
# checks the desktop integration there: every expected file and nothing else, the desktop
# entry and the AppStream data pass their validators, and the pieces agree with each other
# (Exec names the installed program, Icon an installed icon, the metainfo launches the
# installed entry and lists the project's version as a release), and the manual page renders
# without a warning, has its sections and names the project's version.
#
#   check-install.sh <build dir> <staging dir> <app id> <version>
#   check-install.sh --tree <root dir> <app id> <version>
# The second form checks a tree that is already populated, such as an unpacked .deb.
set -euo pipefail

usage() {
  echo "usage: $0 <build dir> <staging dir> <app id> <version>" >&2
  echo "       $0 --tree <root dir> <app id> <version>" >&2
  exit 2
}
[ $# -eq 4 ] || usage
if [ "$1" = "--tree" ]; then
  build="" stage=$2
else
  build=$1 stage=$2
fi
app_id=$3 version=$4
icon_sizes=(16 32 48 64 128 256)

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if [ -n "$build" ]; then
  rm -rf "$stage"
  DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
fi
[ -d "$stage/usr" ] || { echo "FAIL: $stage has no usr/ folder" >&2; exit 1; }

root=$stage/usr
desktop=share/applications/$app_id.desktop
metainfo=share/metainfo/$app_id.metainfo.xml
manpage=share/man/man1/quorvix.1.gz
expected=(bin/quorvix "$desktop" "$metainfo" "$manpage"
  share/icons/hicolor/scalable/apps/quorvix.svg)
for px in "${icon_sizes[@]}"; do
  expected+=("share/icons/hicolor/${px}x${px}/apps/quorvix.png")
done

# Exactly the expected files: a stray install rule would ship it in the package.
actual=$(cd "$stage" && find . -type f -o -type l | sed 's|^\./||' | sort)
wanted=$(printf 'usr/%s\n' "${expected[@]}" | sort)
if [ "$actual" != "$wanted" ]; then
  fail "installed files differ from the expected set:"
  diff <(echo "$wanted") <(echo "$actual") | sed -n 's/^[<>]/  &/p' >&2 || true
fi

[ -x "$root/bin/quorvix" ] || fail "bin/quorvix is not an executable file"

for px in "${icon_sizes[@]}"; do
  png=$root/share/icons/hicolor/${px}x${px}/apps/quorvix.png
  [ -f "$png" ] || continue
  # The theme looks icons up by folder; a picture of another size there is drawn blurred.
  file -b "$png" | grep -q "^PNG image data, $px x $px," ||
    fail "$png is not a $px x $px PNG: $(file -b "$png")"
done
svg=$root/share/icons/hicolor/scalable/apps/quorvix.svg
if [ -f "$svg" ]; then
  file -b "$svg" | grep -q "SVG" || fail "$svg is not SVG: $(file -b "$svg")"
fi

if [ -f "$root/$desktop" ]; then
  # Hints and warnings count as failures too: menus differ in what they forgive.
  if ! report=$(desktop-file-validate "$root/$desktop" 2>&1) || [ -n "$report" ]; then
    fail "desktop-file-validate rejects $desktop: $report"
  fi
  entry() { sed -n "s/^$1=//p" "$root/$desktop"; }
  exec_line=$(entry Exec)
  exec_prog=${exec_line%% *}
  [ -x "$root/bin/$exec_prog" ] || fail "Exec=$exec_line does not name an installed program"
  icon=$(entry Icon)
  [ -f "$root/share/icons/hicolor/48x48/apps/$icon.png" ] ||
    fail "Icon=$icon has no 48x48 icon in the hicolor theme"
  [ "$(entry Name)" = "Quorvix" ] || fail "Name is '$(entry Name)', not Quorvix"
  entry Categories | grep -q "^AudioVideo;" || fail "Categories do not start with AudioVideo"
fi

if [ -f "$root/$metainfo" ]; then
  # --strict: warnings and infos count, only pedantic hints pass.
  if ! report=$(appstreamcli validate --no-net --strict "$root/$metainfo" 2>&1); then
    fail "appstreamcli rejects $metainfo: $report"
  fi
  grep -q "@[A-Z_]*@" "$root/$metainfo" && fail "$metainfo has an unreplaced @VARIABLE@"
  grep -q "<id>$app_id</id>" "$root/$metainfo" || fail "$metainfo does not carry the id $app_id"
  grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$root/$metainfo" ||
    fail "$metainfo does not launch $app_id.desktop"
  grep -q "<release version=\"$version\"" "$root/$metainfo" ||
    fail "$metainfo lists no release $version (the project's version)"
  grep -q '<url type="homepage">https://[a-z0-9.-]*\.[a-z]*/</url>' "$root/$metainfo" ||
    fail "$metainfo has no https homepage with a host name"
fi

if [ -f "$root/$manpage" ]; then
  # -ww: every warning groff knows (unknown macros, bad escapes, lines that cannot be filled).
  if ! report=$(zcat "$root/$manpage" | groff -man -Tutf8 -ww -z 2>&1) || [ -n "$report" ]; then
    fail "groff warns about $manpage: $report"
  fi
  page=$(zcat "$root/$manpage" | groff -man -Tutf8 -P-cbou 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT FILES EXAMPLES; do
    grep -q "^$section\$" <<<"$page" || fail "$manpage has no $section section"
  done
  grep -q "Quorvix $version" <<<"$page" || fail "$manpage does not name version $version"
  grep -q '@[A-Z_]*@' <<<"$page" && fail "$manpage has an unreplaced @VARIABLE@"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install tree in $stage is complete and valid"
