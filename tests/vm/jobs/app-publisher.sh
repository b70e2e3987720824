#!/bin/bash
# A 1280x720 publisher's pictures reach the webcam reader with their content intact; when the
# publisher leaves, the webcam goes back to the card at the same format.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

size=1280x720
# bars.flv, ref.yuv and card-1280x720.yuv come from app-publisher.host.sh. The decoded bars
# differ from the source only by the encoder's loss, which is tiny on flat bars.
is_bars() { matches "$OUT/ref.yuv" "$1" "$2" "$3" 1; }

start_quorvix
wait_picture 90 "card before the publisher" $size is_card
start_publisher bars
publisher=${bg_pids[-1]}
wait_picture 120 "the publisher's bars on the webcam" $size is_bars
capture "$OUT/live.yuv" 5 60
[ "$(stat -c %s "$OUT/live.yuv")" -eq $((5 * $(frame_bytes $size))) ] || fail "reader got a partial read"
for i in 0 1 2 3 4; do
  is_bars "$OUT/live.yuv" $size $i || fail "frame $i: $(tr '\n' ' ' <"$OUT/cmp.txt")"
done
note "five frames of the bars read, last $(tr '\n' ' ' <"$OUT/cmp.txt")"

stop_pid "$publisher"
note "publisher gone"
wait_picture 60 "the card again" $size is_card
capture "$OUT/after.yuv" 2 60
for i in 0 1; do
  is_card "$OUT/after.yuv" $size $i || fail "frame $i after the publisher left: $(tr '\n' ' ' <"$OUT/cmp.txt")"
done
"$PROBE" fmt "$DEV" cap >"$OUT/fmt.txt" || fail "capture format"
[ "$(value size <"$OUT/fmt.txt")" = $size ] || fail "webcam size changed to $(value size <"$OUT/fmt.txt")"
program_alive
