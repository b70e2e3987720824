#!/bin/bash
# A 1280x720 publisher's pictures reach the webcam reader with their content intact.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

# bars.flv and ref.yuv come from app-publisher-720p.host.sh.
# The decoded bars differ from the source only by the encoder's loss.
looks_like_ref() {
  "$PROBE" cmp "$OUT/ref.yuv" 0 "$1" "$3" "$2" >"$OUT/cmp.txt" || return 1
  cp "$OUT/cmp.txt" "$OUT/region.last"
  awk -v d="$(value mean_diff <"$OUT/cmp.txt")" 'BEGIN { exit !(d < 3) }'
}

start_quorvix
wait_picture 90 "card before the publisher" 1280x720 is_card
start_publisher bars
wait_picture 120 "the publisher's bars on the webcam" 1280x720 looks_like_ref
capture "$OUT/live.yuv" 5 60
for i in 0 4; do looks_like_ref "$OUT/live.yuv" 1280x720 $i || fail "frame $i: $(tr '\n' ' ' <"$OUT/cmp.txt")"; done
kill -0 "${bg_pids[0]}" 2>/dev/null || fail "the program exited (see quorvix.log)"
