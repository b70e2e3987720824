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
    sleep 0.2
  done
  note "$what"
}

has_capture() { "$PROBE" caps "$DEV" | grep -qx 'capture=1'; }

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
      -f v4l2 -i "$DEV" -frames:v "$frames" -fps_mode passthrough "$@" \
      -pix_fmt yuv420p -f rawvideo "$file" >>"$OUT/reader.log" 2>&1 &&
      [ -s "$file" ]; then
      note "captured $frames frame(s) into $(basename "$file")"
      return 0
    fi
    [ "$(date +%s)" -lt "$end" ] || fail "reader got no pictures within ${limit} s (see reader.log)"
    sleep 0.3
  done
}
