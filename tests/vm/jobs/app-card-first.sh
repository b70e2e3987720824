#!/bin/bash
# Before any camera publishes, readers of the webcam get the no-signal card at the
# configured size.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

start_quorvix
wait_for 90 "capture offered (the program wrote its first frame)" has_capture
"$PROBE" fmt "$DEV" cap >"$OUT/fmt.txt" || fail "capture format"
[ "$(value size <"$OUT/fmt.txt")" = 1280x720 ] || fail "webcam size $(value size <"$OUT/fmt.txt")"
[ "$(value fourcc <"$OUT/fmt.txt")" = YU12 ] || fail "webcam fourcc $(value fourcc <"$OUT/fmt.txt")"
capture "$OUT/card.yuv" 3 90
[ "$(stat -c %s "$OUT/card.yuv")" -eq $((3 * $(frame_bytes 1280x720))) ] || fail "reader got a partial read"
for i in 0 2; do is_card "$OUT/card.yuv" 1280x720 $i || fail "frame $i is not the card: $(tr '\n' ' ' <"$OUT/card.txt")"; done
kill -0 "${bg_pids[0]}" 2>/dev/null || fail "the program exited (see quorvix.log)"
