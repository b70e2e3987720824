#!/usr/bin/env bash
# Builds the Debian package with CPack in a build tree of its own, inspects it with dpkg-deb
# and, with --install, installs it on this machine and starts the installed program.
#
#   tests/packaging/check-package.sh [--build-dir DIR] [--install] [--keep]
#
#   --build-dir DIR    build tree for the package (default: build-package in the source tree)
#   --install          install the package with dpkg -i (as root, or through sudo), complete
#                      missing dependencies with apt-get -f install, start /usr/bin/quorvix
#                      offscreen with a port on its command line, publish a short stream to
#                      it with ffmpeg, close it with SIGTERM and require a clean end (status 0,
#                      nothing left running, no sanitizer report); afterwards the package is
#                      removed again unless --keep is given or it was installed before
#   --keep             leave the package installed
#
# Depends must name the library packages of Qt, FFmpeg and qrcodegen the program links.
# Environment: QUORVIX_JOBS (build jobs, default 2), QUORVIX_START_TIMEOUT_S (wait for the
# port to listen, default 30), QUORVIX_CLOSE_TIMEOUT_S (wait for the end after SIGTERM,
# default 15).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$source_dir/build-package
do_install=0
keep=0
while [ $# -gt 0 ]; do
  case $1 in
  --build-dir)
    [ $# -ge 2 ] || { echo "--build-dir needs a folder" >&2; exit 2; }
    build_dir=$(realpath -m "$2")
    shift 2
    ;;
  --install) do_install=1; shift ;;
  --keep) keep=1; shift ;;
  *)
    sed -n '2,21s/^# \{0,1\}//p' "$0" >&2
    exit 2
    ;;
  esac
done

app_id=com.morlaid.Quorvix
start_timeout_s=${QUORVIX_START_TIMEOUT_S:-30}
close_timeout_s=${QUORVIX_CLOSE_TIMEOUT_S:-15}
# Library packages the program links (Debian 12 names).
product_depends=(libqt5core5a libqt5gui5 libqt5widgets5 libqt5network5 libavformat59
  libavcodec59 libavutil57 libswscale6 libswresample4 libqrcodegencpp1)

work=$(mktemp -d)
program_pid=""
publisher_pid=""
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
  if [ -n "$publisher_pid" ] && kill -0 "$publisher_pid" 2>/dev/null; then
    kill -KILL "$publisher_pid" 2>/dev/null || true
    wait "$publisher_pid" 2>/dev/null || true
  fi
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
    # ldd prints "name => path (address)", but the dynamic loader itself as "path (address)".
    path=$(ldd "$bin" | awk -v l="$lib" '$1 == l { print $3 }
      $1 ~ "^/" && $2 != "=>" { n = split($1, part, "/"); if (part[n] == l) print $1 }')
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

  # The program links all of them; a name missing here means a library dropped out of the
  # link or was renamed by a Debian transition.
  local pkg missing=()
  for pkg in "${product_depends[@]}"; do
    names_package "$depends" "$pkg" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] || fail "Depends lacks ${missing[*]}"
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

# True while some socket listens on TCP port $1 (IPv4 or IPv6), read from /proc so that
# looking does not connect to the program.
port_listens() {
  local hex
  hex=$(printf ':%04X' "$1")
  awk -v port="$hex" 'FNR > 1 && $4 == "0A" && substr($2, length($2) - 4) == port { found = 1 }
    END { exit !found }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# Waits up to $3 seconds for port $2 to listen while process $1 runs.
wait_until_listening() {
  local pid=$1 port=$2 deadline=$((SECONDS + $3))
  until port_listens "$port"; do
    kill -0 "$pid" 2>/dev/null || return 1
    [ $SECONDS -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# Processes of session $1 (the program runs in a session of its own).
session_processes() { ps -o pid= -s "$1" 2>/dev/null | tr -d ' ' || true; }

# Starts publishing four seconds of a synthetic camera stream to port $1 in the background.
start_publisher() {
  ffmpeg -hide_banner -nostdin -loglevel warning -re \
    -f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -c:v libx264 -preset ultrafast -tune zerolatency -g 30 -pix_fmt yuv420p -c:a aac -t 4 \
    -f flv "rtmp://127.0.0.1:$1/@/@" >"$work/publisher.log" 2>&1 &
  publisher_pid=$!
}

# Waits up to $2 seconds for the text $1 in the program's log $3 while process $4 runs.
wait_for_log() {
  local deadline=$((SECONDS + $2))
  until grep -qF "$1" "$3"; do
    kill -0 "$4" 2>/dev/null || return 1
    [ $SECONDS -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# Starts the installed program as the menu entry would, but offscreen, with its own settings
# store, no update check, no webcam device and a port on its command line; publishes a
# stream to it and, once the stream is decoded, closes it with SIGTERM as a desktop session
# does at logout. It must end within the bound with status 0, leave no process behind and
# print no sanitizer report.
start_installed_program() {
  local port=$1 log=$work/quorvix-run.log rc=0 left
  step "starting /usr/bin/quorvix $port offscreen"
  command -v ffmpeg >/dev/null || { fail "the ffmpeg command-line tool is needed to publish"; return 0; }
  mkdir -p "$work/config" "$work/data" "$work/runtime"
  chmod 700 "$work/runtime"
  # A session of its own, so that anything it might leave behind can be found. The script
  # runs without job control, so setsid does not fork and $! is the program itself.
  QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data \
    XDG_RUNTIME_DIR=$work/runtime QUORVIX_MANIFEST_URL='' QUORVIX_VCAM_DEVICE=/nonexistent/x \
    setsid /usr/bin/quorvix "$port" >"$log" 2>&1 &
  program_pid=$!

  if ! wait_until_listening "$program_pid" "$port" "$start_timeout_s"; then
    fail "the installed program did not listen on port $port within ${start_timeout_s}s"
  else
    echo "listening on $port; publishing"
    start_publisher "$port"
    # Closed while the camera still sends, the hardest moment for a clean end.
    if ! wait_for_log 'Stream State: "1280x720 30fps"' "$start_timeout_s" "$log" "$program_pid"; then
      fail "the installed program did not report the published stream"
      sed 's/^/  publisher | /' "$work/publisher.log"
    fi
  fi

  local publishing=no
  [ -n "$publisher_pid" ] && kill -0 "$publisher_pid" 2>/dev/null && publishing=yes
  step "closing it with SIGTERM (publisher still sending: $publishing)"
  local closing_since
  closing_since=$(date +%s%N)
  kill -TERM "$program_pid" 2>/dev/null || true
  if wait_for_exit "$program_pid" "$close_timeout_s"; then
    wait "$program_pid" || rc=$?
    echo "ended $((($(date +%s%N) - closing_since) / 1000000)) ms after SIGTERM with status $rc"
  else
    fail "the installed program did not end within ${close_timeout_s}s of SIGTERM"
    kill -KILL "$program_pid" 2>/dev/null || true
    wait "$program_pid" 2>/dev/null || true
    rc=124
  fi
  # The publisher ends with its four seconds or when the program closes the connection.
  if [ -n "$publisher_pid" ]; then
    if ! wait_for_exit "$publisher_pid" 15; then
      fail "the publisher did not end"
      kill -KILL "$publisher_pid" 2>/dev/null || true
    fi
    wait "$publisher_pid" 2>/dev/null || true
    publisher_pid=""
  fi
  left=$(session_processes "$program_pid")
  if [ -n "$left" ]; then
    fail "processes left behind: $(echo "$left" | tr '\n' ' ')"
    # shellcheck disable=SC2086
    kill -KILL $left 2>/dev/null || true
  fi
  program_pid=""
  port_listens "$port" && fail "port $port still listens after the end"
  sed 's/^/  | /' "$log"
  [ $rc -eq 0 ] || fail "the installed program exited with status $rc"
  grep -Eq "Sanitizer|runtime error:" "$log" && fail "the installed program printed a sanitizer report"
  grep -q "QThread: Destroyed while thread is still running" "$log" &&
    fail "the installed program ended with a thread still running"
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
echo "check-package: $(basename "$deb") is good$([ "$do_install" -eq 1 ] && echo ", installs, takes a stream and closes cleanly")"
