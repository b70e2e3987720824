#!/bin/bash
# vm-module-options: devices=2 video_nr=9,10 card_label=Spare,Quorvix exclusive_caps=1,1
# With two loopback devices the program picks the one whose card name is the product's, not
# the first one, and leaves the other alone. Before any camera publishes, a reader of the
# webcam gets the no-signal card, whole and unchanged, at the configured format. SIGTERM ends
# the program cleanly and leaves the node free for its next start.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

size=1280x720
"$PROBE" caps /dev/video9 >"$OUT/caps9.txt" || fail "no /dev/video9"
[ "$(value card <"$OUT/caps9.txt")" = Spare ] || fail "video9 card is $(value card <"$OUT/caps9.txt")"
start_quorvix
wait_for 90 "the program writes to $DEV (card Quorvix)" has_capture
grep -q "virtual camera started: $DEV $size I420" "$OUT/quorvix.log" ||
  fail "the program did not report $DEV: $(grep VCAM "$OUT/quorvix.log" | tr '\n' ' ')"

"$PROBE" fmt "$DEV" cap >"$OUT/fmt.txt" || fail "capture format"
[ "$(value size <"$OUT/fmt.txt")" = $size ] || fail "webcam size $(value size <"$OUT/fmt.txt")"
[ "$(value fourcc <"$OUT/fmt.txt")" = YU12 ] || fail "webcam fourcc $(value fourcc <"$OUT/fmt.txt")"

# card-1280x720.yuv comes from app-autodetect-card.host.sh.
capture "$OUT/card.yuv" 3 90
[ "$(stat -c %s "$OUT/card.yuv")" -eq $((3 * $(frame_bytes $size))) ] || fail "reader got a partial read"
for i in 0 1 2; do
  is_card "$OUT/card.yuv" $size $i || fail "frame $i is not the card: $(tr '\n' ' ' <"$OUT/cmp.txt")"
done
note "three card frames read, $(tr '\n' ' ' <"$OUT/cmp.txt")"

"$PROBE" caps /dev/video9 >"$OUT/caps9b.txt" || fail "video9 vanished"
[ "$(value capture <"$OUT/caps9b.txt")" = 0 ] && [ "$(value output <"$OUT/caps9b.txt")" = 1 ] ||
  fail "the program touched /dev/video9: $(tr '\n' ' ' <"$OUT/caps9b.txt")"
program_alive

note "SIGTERM: the program ends cleanly and gives the node back"
pid=$QUORVIX_PID
QUORVIX_PID=
kill -TERM "$pid"
wait_for 60 "the program ended" sh -c "! kill -0 $pid"
wait "$pid"
status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status: $(tail -n 5 "$OUT/quorvix.log" | tr '\n' ' ')"
"$PROBE" caps "$DEV" >"$OUT/caps-after.txt" || fail "caps after the program ended"
[ "$(value output <"$OUT/caps-after.txt")" = 1 ] && [ "$(value capture <"$OUT/caps-after.txt")" = 0 ] ||
  fail "the node is not free after the program ended: $(tr '\n' ' ' <"$OUT/caps-after.txt")"
mv "$OUT/quorvix.log" "$OUT/quorvix-first.log"
start_quorvix
wait_for 90 "the restarted program writes to $DEV" has_capture
wait_picture 60 "card frame from the restarted program" $size is_card
program_alive
