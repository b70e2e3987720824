# Helpers the jobs source inside the emulated machine ($VM_JOBDIR/lib.sh). Every wait is
# bounded; every process a job starts in the background is stopped by the exit trap.
# Program starts take 1-9 s under emulation, so the bounds are generous.

DEV=${DEV:-/dev/video10}
PROBE=${VM_PROBE:-$VM_JOBDIR/v4l2probe}
OUT=$VM_JOBDIR
bg_pids=()

note() { echo "[$(cut -d' ' -f1 /proc/uptime)] $*"; }
fail() {
  echo "FAIL: $*"
  exit 1
}

# value KEY < probe output: one "key=value" field.
value() { sed -n "s/^$1=//p" | head -n1; }

# Starts a command in the background, output to $OUT/<name>.log; stopped at exit.
start_bg() {
  local name=$1
  shift
  "$@" >"$OUT/$name.log" 2>&1 &
  bg_pids+=($!)
  note "started $name (pid $!)"
}

stop_all() {
  local p
  for p in "${bg_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${bg_pids[@]}"; do
    for _ in $(seq 1 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  bg_pids=()
}
trap stop_all EXIT

# wait_for SECONDS DESCRIPTION COMMAND...: retries COMMAND every 0.2 s until it succeeds.
wait_for() {
  local limit=$1 what=$2 end
  shift 2
  end=$(($(date +%s) + limit))
  until "$@" >/dev/null 2>&1; do
    [ "$(date +%s)" -lt "$end" ] || fail "no $what within ${limit} s"
    program_alive
    sleep 0.2
  done
  note "$what"
}

has_capture() { "$PROBE" caps "$DEV" | grep -qx 'capture=1'; }

# Reader output options: every picture as it comes (no frame-rate conversion, which would
# duplicate pictures), stamped in the driver's microseconds. In the default 1/30 s time base
# two pictures written less than a tick apart (the card's last and the stream's first, or
# emulation jitter) collide and the muxer refuses the second.
READER_OPTS=(-fps_mode passthrough -enc_time_base -1)

# capture FILE FRAMES [SECONDS] [extra ffmpeg output options...]: reads FRAMES pictures
# from $DEV as raw yuv420p. With exclusive_caps the node offers capture only after the
# writer's first frame, so the reader is retried until it gets its pictures.
capture() {
  local file=$1 frames=$2 limit=${3:-60} end
  shift 3 || shift $#
  end=$(($(date +%s) + limit))
  rm -f "$file"
  while :; do
    if timeout -k 2 30 ffmpeg -hide_banner -loglevel error -nostdin -y \
      -f v4l2 -i "$DEV" -frames:v "$frames" "${READER_OPTS[@]}" "$@" \
      -pix_fmt yuv420p -f rawvideo "$file" >>"$OUT/reader.log" 2>&1 &&
      [ -s "$file" ]; then
      note "captured $frames frame(s) into $(basename "$file")"
      return 0
    fi
    [ "$(date +%s)" -lt "$end" ] || fail "reader got no pictures within ${limit} s (see reader.log)"
    program_alive
    sleep 0.3
  done
}

# ---- the program inside the machine (jobs app-*.sh) ----
# Inside the machine no other test runs, so a fixed port is safe.
PORT=${PORT:-19350}

# start_quorvix [VAR=value...]: the program on $PORT for camera "Other", offscreen, with the
# webcam size from QUORVIX_VCAM_SIZE (default 1280x720) and the device found by itself. No
# update check (the machine has no network anyway).
start_quorvix() {
  [ -x "${QUORVIX:-}" ] || fail "no program given (QUORVIX)"
  start_bg quorvix env QT_QPA_PLATFORM=offscreen QUORVIX_MANIFEST_URL= "$@" "$QUORVIX" "$PORT" Other
  QUORVIX_PID=${bg_pids[-1]}
}

# Waits end early when the program under test has exited.
program_alive() {
  [ -z "${QUORVIX_PID:-}" ] || kill -0 "$QUORVIX_PID" 2>/dev/null ||
    fail "the program exited: $(tail -n 5 "$OUT/quorvix.log" | tr '\n' ' ')"
}

# start_publisher NAME: pushes clip NAME (encoded on the host, see host-lib.sh) to the program in real time, looping, the way a
# camera does (rtmp://host:port/@/@).
start_publisher() {
  start_bg "publisher-$1" ffmpeg -hide_banner -loglevel error -nostdin -y -re \
    -stream_loop -1 -i "$OUT/$1.flv" -c copy -f flv "rtmp://127.0.0.1:$PORT/@/@"
}

# stop_pid PID: stops one background process started by start_bg.
stop_pid() {
  kill -TERM "$1" 2>/dev/null || true
  for _ in $(seq 1 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# region_is FILE SIZE FRAME X Y W H "Y U V" TOLERANCE: the region's plane means are within
# TOLERANCE of the expected values.
region_is() {
  local file=$1 size=$2 frame=$3 x=$4 y=$5 w=$6 h=$7 want=$8 tol=$9 got
  "$PROBE" stats "$file" "$size" "$frame" "$x" "$y" "$w" "$h" >"$OUT/region.txt" || return 1
  got="$(value mean_y <"$OUT/region.txt") $(value mean_u <"$OUT/region.txt") $(value mean_v <"$OUT/region.txt")"
  echo "$got" >"$OUT/region.last"
  awk -v got="$got" -v want="$want" -v tol="$tol" 'BEGIN {
    split(got, g, " "); split(want, w, " ")
    for (i = 1; i <= 3; ++i) { d = g[i] - w[i]; if (d < 0) d = -d; if (d > tol) exit 1 }
  }'
}

# matches REF FILE SIZE FRAME MAX_MEAN_DIFF: frame FRAME of FILE differs from the reference
# picture by less than MAX_MEAN_DIFF on average over every byte of all three planes.
matches() {
  "$PROBE" cmp "$1" 0 "$2" "$4" "$3" >"$OUT/cmp.txt" || return 1
  cp "$OUT/cmp.txt" "$OUT/region.last"
  awk -v d="$(value mean_diff <"$OUT/cmp.txt")" -v limit="$5" 'BEGIN { exit !(d < limit) }'
}

# is_card FILE SIZE FRAME: the program's no-signal card, as vm_cardref renders it on the host
# for that size (card-SIZE.yuv, see host-lib.sh). The sink writes the same bytes the host
# renders, so the allowance only covers rendering differences between machines.
is_card() { matches "$OUT/card-$2.yuv" "$1" "$2" "$3" 0.5; }

# grab FILE [TIMEOUT_MS]: one picture from $DEV with a plain read(), saved raw. Much quicker
# under emulation than starting ffmpeg, so the waits poll with it; checks that count use
# ffmpeg (capture).
grab() { "$PROBE" read "$DEV" "${2:-3000}" "$1" >"$OUT/grab.txt" 2>&1; }

# wait_picture SECONDS WHAT SIZE CHECK...: reads one frame at a time until CHECK FILE SIZE 0
# succeeds on it (the picture switches when the program's stream state changes).
wait_picture() {
  local limit=$1 what=$2 size=$3 end
  shift 3
  end=$(($(date +%s) + limit))
  while :; do
    if grab "$OUT/probe-frame.yuv"; then
      [ "$(value size <"$OUT/grab.txt")" = "$size" ] ||
        fail "the webcam offers $(value size <"$OUT/grab.txt"), not $size"
      if "$@" "$OUT/probe-frame.yuv" "$size" 0; then
        note "$what"
        return 0
      fi
    fi
    [ "$(date +%s)" -lt "$end" ] ||
      fail "no $what within ${limit} s (last: $(tr '\n' ' ' <"$OUT/grab.txt"); $(tr '\n' ' ' 2>/dev/null <"$OUT/region.last"))"
    program_alive
    sleep 0.2
  done
}

frame_bytes() {
  local w=${1%x*} h=${1#*x}
  echo $((w * h * 3 / 2))
}
