#!/bin/bash
# The webcam set to YUYV in the settings: the device offers YUYV 1280x720 to readers, and a
# publisher's flat colour comes out as exactly its Y, U and V in every Y0 U Y1 V group.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

size=1280x720
# The settings store as the dialog writes it, in a folder of the job's own.
export XDG_CONFIG_HOME=$OUT/config
mkdir -p "$XDG_CONFIG_HOME/Morlaid"
printf '[General]\nWEBCAM_SIZE=1280x720\nWEBCAM_FORMAT=YUYV\n' >"$XDG_CONFIG_HOME/Morlaid/Quorvix.conf"

# The colour's Y, U and V as the reference frame (ref.yuv, yuv420p, from the host) holds them.
ysize=$((1280 * 720))
want_y=$(od -An -tu1 -j 0 -N1 "$OUT/ref.yuv" | tr -d ' ')
want_u=$(od -An -tu1 -j $ysize -N1 "$OUT/ref.yuv" | tr -d ' ')
want_v=$(od -An -tu1 -j $((ysize * 5 / 4)) -N1 "$OUT/ref.yuv" | tr -d ' ')
note "the colour is Y $want_y U $want_u V $want_v"

start_quorvix XDG_CONFIG_HOME="$XDG_CONFIG_HOME"
wait_for 90 "a webcam offering capture" has_capture
"$PROBE" fmt "$DEV" cap >"$OUT/fmt.txt" || fail "capture format"
[ "$(value fourcc <"$OUT/fmt.txt")" = YUYV ] || fail "webcam offers $(value fourcc <"$OUT/fmt.txt"), not YUYV"
[ "$(value size <"$OUT/fmt.txt")" = $size ] || fail "webcam size is $(value size <"$OUT/fmt.txt")"
[ "$(value bytesperline <"$OUT/fmt.txt")" = 2560 ] || fail "row length $(value bytesperline <"$OUT/fmt.txt")"
note "the webcam offers YUYV $size"

start_publisher flat
# is_flat FILE: every group of the first picture in FILE is Y U Y V of the colour.
is_flat() {
  python3 - "$1" "$want_y" "$want_u" "$want_v" >"$OUT/flat.txt" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
y, u, v = (int(a) for a in sys.argv[2:5])
frame = data[:1280 * 720 * 2]
want = bytes([y, u, y, v]) * (1280 * 720 // 2)
wrong = sum(1 for a, b in zip(frame, want) if a != b)
print("bytes=%d wrong=%d first=%s" % (len(frame), wrong, list(frame[:4])))
sys.exit(0 if len(frame) == len(want) and wrong == 0 else 1)
PY
}
end=$(($(date +%s) + 120))
while :; do
  rm -f "$OUT/yuyv.raw"
  if timeout -k 2 30 ffmpeg -hide_banner -loglevel error -nostdin -y -f v4l2 -input_format yuyv422 \
    -i "$DEV" -frames:v 1 -c:v rawvideo -f rawvideo "$OUT/yuyv.raw" >>"$OUT/reader.log" 2>&1 &&
    is_flat "$OUT/yuyv.raw"; then
    break
  fi
  [ "$(date +%s)" -lt "$end" ] || fail "no exact colour within 120 s: $(cat "$OUT/flat.txt" 2>/dev/null)"
  program_alive
  sleep 0.3
done
note "the publisher's colour read back exactly as YUYV: $(cat "$OUT/flat.txt")"
program_alive
