#!/usr/bin/env bash
# Builds the Debian package with CPack in a build tree of its own, inspects it with dpkg-deb
# and, with --install, installs it on this machine and starts the installed program.
#
#   tests/packaging/check-package.sh [--build-dir DIR] [--install] [--keep] [--strict-depends]
#
#   --build-dir DIR    build tree for the package (default: build-package in the source tree)
#   --install          install the package with dpkg -i (as root, or through sudo), complete
#                      missing dependencies with apt-get -f install, start /usr/bin/quorvix
#                      offscreen with a port on its command line and check that it ends
#                      cleanly; afterwards the package is removed again unless --keep is given
#                      or it was installed before the check
#   --keep             leave the package installed
#   --strict-depends   also require every library package the finished program links (Qt,
#                      FFmpeg, qrcodegen) in Depends, not only those the binary links today
#
# Environment: QUORVIX_JOBS (build jobs, default 2), QUORVIX_START_TIMEOUT_S (default 30).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$source_dir/build-package
do_install=0
keep=0
strict_depends=0
while [ $# -gt 0 ]; do
  case $1 in
  --build-dir)
    [ $# -ge 2 ] || { echo "--build-dir needs a folder" >&2; exit 2; }
    build_dir=$(realpath -m "$2")
    shift 2
    ;;
  --install) do_install=1; shift ;;
  --keep) keep=1; shift ;;
  --strict-depends) strict_depends=1; shift ;;
  *)
    sed -n '2,19s/^# \{0,1\}//p' "$0" >&2
    exit 2
    ;;
  esac
done

app_id=com.morlaid.Quorvix
start_timeout_s=${QUORVIX_START_TIMEOUT_S:-30}
# Library packages of the finished program (Debian 12 names); the card's font comes with them.
product_depends=(libqt5core5a libqt5gui5 libqt5widgets5 libqt5network5 libavformat59
  libavcodec59 libavfilter8 libavutil57 libswscale6 libswresample4 libqrcodegencpp1)

work=$(mktemp -d)
program_pid=""
installed_here=0
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

step() { echo "== $*"; }

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

cleanup() {
  if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
    kill -KILL "$program_pid" 2>/dev/null || true
    wait "$program_pid" 2>/dev/null || true
  fi
  if [ "$installed_here" -eq 1 ] && [ "$keep" -eq 0 ]; then
    "${sudo_cmd[@]}" dpkg -r quorvix >/dev/null || echo "warning: could not remove quorvix" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT

build_package() {
  step "building the package in $build_dir"
  local generator=()
  if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
  if [ -f "$build_dir/CMakeCache.txt" ]; then generator=(); fi
  # The package is the plain optimised build; tests and benchmarks are not part of it.
  cmake -S "$source_dir" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVIX_BUILD_TESTS=OFF -DQUORVIX_BUILD_BENCH=OFF -DQUORVIX_SANITIZE=OFF \
    -DQUORVIX_TSAN=OFF >/dev/null
  cmake --build "$build_dir" --parallel "${QUORVIX_JOBS:-2}"
  rm -rf "$build_dir/packages"
  (cd "$build_dir" && cpack -G DEB -B "$build_dir/packages" >/dev/null)
  local debs=("$build_dir"/packages/*.deb)
  if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: cpack made no single .deb" >&2
    exit 1
  fi
  deb=${debs[0]}
  echo "package: $deb"
}

field() { dpkg-deb -f "$deb" "$1"; }

# True when the relation list $1 ("a (>= 1), b | c") names package $2 as a whole entry or
# as the first of alternatives, with or without a version.
names_package() {
  local items item
  IFS=',' read -ra items <<<"$1"
  for item in "${items[@]}"; do
    item=${item%%|*}
    item=${item%%(*}
    item=${item// /}
    [ "$item" = "$2" ] && return 0
  done
  return 1
}

inspect_package() {
  step "inspecting $(basename "$deb")"
  [ "$(field Package)" = quorvix ] || fail "Package is '$(field Package)'"
  local version
  version=$(sed -n 's/^project(Quorvix VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
  [ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
  [ "$(field Section)" = video ] || fail "Section is '$(field Section)'"
  [ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "Architecture is '$(field Architecture)'"
  field Maintainer | grep -Eq '^[^<]+ <[^@ ]+@[^> ]+>$' ||
    fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
  [ "$(basename "$deb")" = "quorvix_${version}_$(dpkg --print-architecture).deb" ] ||
    fail "file name $(basename "$deb") is not Debian's name_version_arch.deb"

  local depends recommends
  depends=$(field Depends)
  recommends=$(field Recommends)
  echo "Depends: $depends"
  echo "Recommends: $recommends"
  names_package "$recommends" v4l2loopback-dkms || fail "Recommends lacks v4l2loopback-dkms"
  names_package "$depends" v4l2loopback-dkms && fail "v4l2loopback-dkms must not be a hard dependency"
  names_package "$depends" fonts-liberation || fail "Depends lacks fonts-liberation"

  mkdir -p "$work/tree"
  dpkg-deb -x "$deb" "$work/tree"
  "$source_dir/tests/packaging/check-install.sh" --tree "$work/tree" "$app_id" "$version" ||
    fail "the package's files do not pass the install checks"

  local bin=$work/tree/usr/bin/quorvix
  file -b "$bin" | grep -q ", stripped" || fail "usr/bin/quorvix is not stripped: $(file -b "$bin")"
  # Every library the program loads must come from a package Depends names; resolve each
  # one on this machine and ask dpkg who owns it.
  local lib path owner
  while read -r lib; do
    path=$(ldd "$bin" | awk -v l="$lib" '$1 == l { print $3 }')
    if [ -z "$path" ] || [ "$path" = "not" ]; then
      fail "library $lib of usr/bin/quorvix is not found on this machine"
      continue
    fi
    # dpkg knows a library by the path its package ships, which on a merged-/usr system
    # may be either the path ldd prints or the resolved one.
    owner=$(dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1 || true)
    if [ -z "$owner" ]; then
      owner=$(dpkg -S "$(realpath "$path")" 2>/dev/null | head -1 | cut -d: -f1 || true)
    fi
    if [ -z "$owner" ]; then
      fail "no package owns $path ($lib)"
    elif ! names_package "$depends" "$owner"; then
      fail "Depends lacks $owner, which provides $lib"
    fi
  done < <(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')

  local pkg missing=()
  for pkg in "${product_depends[@]}"; do
    names_package "$depends" "$pkg" || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    if [ "$strict_depends" -eq 1 ]; then
      fail "Depends lacks ${missing[*]}"
    else
      echo "note: the program does not link ${missing[*]} yet (--strict-depends requires them)"
    fi
  fi
}

install_package() {
  step "installing $(basename "$deb")"
  if dpkg-query -W -f='${Status}' quorvix 2>/dev/null | grep -q "install ok installed"; then
    echo "quorvix was installed before this check; it stays installed afterwards"
  else
    installed_here=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if ! "${sudo_cmd[@]}" dpkg -i "$deb"; then
    echo "dpkg -i left dependencies open; completing them with apt-get -f install"
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -f install -y -q ||
      { "${sudo_cmd[@]}" apt-get update -q &&
        "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -f install -y -q; }
  fi
  dpkg-query -W -f='${Status} ${Version}\n' quorvix | grep -q "^install ok installed $(field Version)$" ||
    { echo "FAIL: quorvix $(field Version) is not installed" >&2; exit 1; }
  [ -x /usr/bin/quorvix ] || { echo "FAIL: /usr/bin/quorvix is missing" >&2; exit 1; }
  if ldd /usr/bin/quorvix | grep -q "not found"; then
    fail "the installed program misses libraries: $(ldd /usr/bin/quorvix | grep 'not found')"
  fi
}

free_port() {
  local port tries=0
  while [ $tries -lt 200 ]; do
    port=$((20000 + RANDOM % 20000))
    # A refused connection means nobody listens there.
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
    tries=$((tries + 1))
  done
  echo "no free port found" >&2
  return 1
}

# Waits up to $2 seconds for process $1 to end; false when it is still running.
wait_for_exit() {
  local pid=$1 deadline=$((SECONDS + $2))
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# Asks the started program to close and waits for it; returns its exit status (124 when it
# had to be stopped by force). The program still ends by itself straight after start-up, so
# closing means waiting for that. Once it keeps running with a window, close it here (and
# run a publisher to the port first), keeping the bounded waits.
close_installed_program() {
  local pid=$1
  if ! wait_for_exit "$pid" "$start_timeout_s"; then
    echo "FAIL: the installed program did not end within ${start_timeout_s}s" >&2
    kill -TERM "$pid" 2>/dev/null || true
    wait_for_exit "$pid" 5 || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    return 124
  fi
  local rc=0
  wait "$pid" || rc=$?
  return $rc
}

# Starts the installed program as the menu entry would, but offscreen, with its own
# settings store and a port on the command line; it must end with status 0 and print no
# sanitizer report.
start_installed_program() {
  local port=$1 log=$work/quorvix-run.log rc=0
  step "starting /usr/bin/quorvix $port offscreen"
  mkdir -p "$work/config" "$work/data" "$work/runtime"
  chmod 700 "$work/runtime"
  QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data \
    XDG_RUNTIME_DIR=$work/runtime /usr/bin/quorvix "$port" >"$log" 2>&1 &
  program_pid=$!
  close_installed_program "$program_pid" || rc=$?
  program_pid=""
  sed 's/^/  | /' "$log"
  [ $rc -eq 0 ] || fail "the installed program exited with status $rc"
  grep -Eq "Sanitizer|runtime error:" "$log" && fail "the installed program printed a sanitizer report"
  return 0
}

build_package
inspect_package
if [ "$do_install" -eq 1 ]; then
  install_package
  start_installed_program "$(free_port)"
fi

if [ "$failures" -ne 0 ]; then
  echo "check-package: $failures check(s) failed" >&2
  exit 1
fi
echo "check-package: $(basename "$deb") is good$([ "$do_install" -eq 1 ] && echo ", installs and starts")"
