#!/bin/bash
# When the publisher leaves, the webcam goes back to the card at the same format.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

# blue.flv and ref.yuv come from app-card-returns.host.sh.
"$PROBE" stats "$OUT/ref.yuv" 1280x720 0 >"$OUT/ref.txt" || fail "reference stats"
blue="$(value mean_y <"$OUT/ref.txt") $(value mean_u <"$OUT/ref.txt") $(value mean_v <"$OUT/ref.txt")"
is_blue() { region_is "$1" "$2" "$3" 0 0 1280 720 "$blue" 3; }

start_quorvix
wait_picture 90 "card before the publisher" 1280x720 is_card
start_publisher blue
publisher=${bg_pids[-1]}
wait_picture 120 "the publisher's colour" 1280x720 is_blue
stop_pid "$publisher"
note "publisher gone"
wait_picture 60 "the card again" 1280x720 is_card
"$PROBE" fmt "$DEV" cap >"$OUT/fmt.txt" || fail "capture format"
[ "$(value size <"$OUT/fmt.txt")" = 1280x720 ] || fail "webcam size changed to $(value size <"$OUT/fmt.txt")"
kill -0 "${bg_pids[0]}" 2>/dev/null || fail "the program exited (see quorvix.log)"
