#!/bin/bash
# vm-module-options: devices=2 video_nr=9,10 card_label=Spare,Quorvix exclusive_caps=1,1
# With two loopback devices the program picks the one whose card name is the product's,
# not the first one, and leaves the other alone.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

"$PROBE" caps /dev/video9 >"$OUT/caps9.txt" || fail "no /dev/video9"
[ "$(value card <"$OUT/caps9.txt")" = Spare ] || fail "video9 card is $(value card <"$OUT/caps9.txt")"
start_quorvix
wait_for 90 "the program writes to $DEV (card Quorvix)" has_capture
wait_picture 60 "card frame on $DEV" 1280x720 is_card
"$PROBE" caps /dev/video9 >"$OUT/caps9b.txt" || fail "video9 vanished"
[ "$(value capture <"$OUT/caps9b.txt")" = 0 ] && [ "$(value output <"$OUT/caps9b.txt")" = 1 ] ||
  fail "the program touched /dev/video9: $(tr '\n' ' ' <"$OUT/caps9b.txt")"
kill -0 "${bg_pids[0]}" 2>/dev/null || fail "the program exited (see quorvix.log)"
