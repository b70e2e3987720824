#!/bin/bash
# A real writer and a real reader through the driver: ffmpeg writes still colour bars to the
# node, ffmpeg reads them back, and every captured frame must equal the bars ffmpeg produces
# without the driver in between, byte for byte.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

size=1280x720
frame_bytes=$((1280 * 720 * 3 / 2))
src="smptehdbars=size=$size:rate=30"

# ref.yuv: the same bars made on the host without the driver (driver-roundtrip.host.sh).
"$PROBE" stats "$OUT/ref.yuv" "$size" 0 >"$OUT/ref.txt" || fail "reference stats"
range=$(($(value max_y <"$OUT/ref.txt") - $(value min_y <"$OUT/ref.txt")))
[ "$range" -gt 100 ] || fail "reference frame is flat (Y range $range)"

note "writer: ffmpeg to $DEV; it does not wait for a reader"
start_bg writer ffmpeg -hide_banner -loglevel error -nostdin -y -re -f lavfi -i "$src" \
  -t 120 -pix_fmt yuv420p -f v4l2 "$DEV"
wait_for 60 "capture offered (first frame written)" has_capture

"$PROBE" fmt "$DEV" cap >"$OUT/fmt.txt" || fail "capture format"
[ "$(value size <"$OUT/fmt.txt")" = "$size" ] || fail "capture size $(value size <"$OUT/fmt.txt")"
[ "$(value fourcc <"$OUT/fmt.txt")" = YU12 ] || fail "capture fourcc $(value fourcc <"$OUT/fmt.txt")"

note "reader: ffmpeg from $DEV"
capture "$OUT/got.yuv" 5 90
got=$(stat -c %s "$OUT/got.yuv")
[ "$got" -eq $((5 * frame_bytes)) ] || fail "reader got $got bytes, expected 5 frames of $size"
for i in 0 1 2 3 4; do
  "$PROBE" cmp "$OUT/ref.yuv" 0 "$OUT/got.yuv" $i "$size" >"$OUT/cmp$i.txt" || fail "compare frame $i"
  [ "$(value max_diff <"$OUT/cmp$i.txt")" = 0 ] ||
    fail "captured frame $i differs from the reference: $(tr '\n' ' ' <"$OUT/cmp$i.txt")"
done
kill -0 "${bg_pids[0]}" 2>/dev/null || fail "the writer ended early (see writer.log)"
note "5 frames read back identical to the reference"
