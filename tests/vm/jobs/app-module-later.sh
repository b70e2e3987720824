#!/bin/bash
# vm-module: job
# The program starts with no loopback device, says so, and picks the device up once the
# module is loaded.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

[ -e "$DEV" ] && fail "$DEV exists before the module is loaded"
start_quorvix
wait_for 90 "the program reports no device" grep -q "no v4l2loopback device found" "$OUT/quorvix.log"
/tmp/vm/load-v4l2loopback || fail "loading v4l2loopback"
note "module loaded"
wait_for 60 "the program found the new device" has_capture
wait_picture 60 "card frame on the late device" 1280x720 is_card
kill -0 "${bg_pids[0]}" 2>/dev/null || fail "the program exited (see quorvix.log)"
