#!/bin/bash
# What the real v4l2loopback driver does with the options users are told to load it with
# (devices=1 video_nr=10 card_label=Quorvix exclusive_caps=1), step by step, so the fake
# device in the output tests can behave the same way.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

# expect FILE KEY VALUE WHAT: one field of a probe output must have VALUE.
expect() {
  local got
  got=$(value "$2" <"$1")
  [ "$got" = "$3" ] || { sed 's/^/  | /' "$1"; fail "$4: $2 is '$got', expected '$3'"; }
}
probe() {
  local name=$1
  shift
  "$PROBE" "$@" >"$OUT/$name.txt" 2>&1 || true
}

note "fresh module: the node offers output only, no capture format yet"
probe caps0 caps "$DEV"
expect "$OUT/caps0.txt" driver "v4l2 loopback" "querycap"
expect "$OUT/caps0.txt" card Quorvix "querycap"
expect "$OUT/caps0.txt" capture 0 "before any writer"
expect "$OUT/caps0.txt" output 1 "before any writer"
probe fmtcap0 fmt "$DEV" cap
expect "$OUT/fmtcap0.txt" g_fmt EINVAL "capture format before any writer"
probe find0 find Quorvix
expect "$OUT/find0.txt" device "$DEV" "auto-detection by card name"

note "a writer that sets its format and STREAMONs, as the sink does, then waits"
start_bg w1 "$PROBE" write "$DEV" 1280x720 81 90 240 1800 --go "$OUT/w1.go" --streamon --go-write "$OUT/w1.write" \
  --until "$OUT/w1.stop" --resize 640x480 --close "$OUT/w1.close"
wait_for 20 "writer has its format" grep -qx opened=1 "$OUT/w1.log"
expect "$OUT/w1.log" s_fmt ok "output format on a fresh node"
expect "$OUT/w1.log" s_fmt_size 1280x720 "output format on a fresh node"
probe caps1 caps "$DEV"
expect "$OUT/caps1.txt" capture 0 "format set, no STREAMON, no frame yet"
expect "$OUT/caps1.txt" output 1 "format set, no STREAMON, no frame yet"

touch "$OUT/w1.go"
wait_for 20 "writer STREAMON" grep -q '^streamon=' "$OUT/w1.log"
expect "$OUT/w1.log" streamon ok "STREAMON(output) with write() I/O"
probe caps1b caps "$DEV"
expect "$OUT/caps1b.txt" capture 1 "STREAMON announces capture before any frame"
expect "$OUT/caps1b.txt" output 0 "STREAMON withdraws output (exclusive_caps)"
probe r0 read "$DEV" 1000
expect "$OUT/r0.txt" read timeout "reader after STREAMON, before the first frame"

touch "$OUT/w1.write"
wait_for 20 "first frame written" grep -qx first_written=1 "$OUT/w1.log"
probe caps2 caps "$DEV"
expect "$OUT/caps2.txt" capture 1 "after the first frame"
expect "$OUT/caps2.txt" output 0 "after the first frame (exclusive_caps)"
probe fmtcap2 fmt "$DEV" cap
expect "$OUT/fmtcap2.txt" size 1280x720 "capture format"
expect "$OUT/fmtcap2.txt" fourcc YU12 "capture format"
expect "$OUT/fmtcap2.txt" sizeimage 1382400 "capture format"
expect "$OUT/fmtcap2.txt" bytesperline 1280 "capture format"

note "a second writer while the first streams: its size is refused silently"
probe w2 write "$DEV" 640x480 16 128 128 0
expect "$OUT/w2.txt" s_fmt ok "second writer's S_FMT"
expect "$OUT/w2.txt" s_fmt_size 1280x720 "second writer's S_FMT (format locked)"

note "a real reader gets the writer's pixels unchanged"
capture "$OUT/r1.yuv" 3 60
[ "$(stat -c %s "$OUT/r1.yuv")" = $((3 * 1382400)) ] || fail "reader got $(stat -c %s "$OUT/r1.yuv") bytes, expected 3 frames of 1280x720"
for i in 0 2; do
  probe r1s$i stats "$OUT/r1.yuv" 1280x720 $i
  expect "$OUT/r1s$i.txt" min_y 81 "captured frame $i"
  expect "$OUT/r1s$i.txt" max_y 81 "captured frame $i"
  expect "$OUT/r1s$i.txt" mean_u 90 "captured frame $i"
  expect "$OUT/r1s$i.txt" mean_v 240 "captured frame $i"
done

note "the writer stops writing but keeps the node open"
touch "$OUT/w1.stop"
wait_for 20 "writer stopped writing" grep -q '^written=' "$OUT/w1.log"
expect "$OUT/w1.log" write_failed 0 "writes"
expect "$OUT/w1.log" resize ok "S_FMT of another size while streaming"
expect "$OUT/w1.log" resize_size 1280x720 "S_FMT of another size while streaming (format locked)"
probe r2 read "$DEV" 1500
expect "$OUT/r2.txt" read ok "a new reader while the writer is silent gets the last frame at once"
expect "$OUT/r2.txt" mean_y 81 "the last frame, repeated to a new reader"
expect "$OUT/r2.txt" mean_v 240 "the last frame, repeated to a new reader"
probe caps3 caps "$DEV"
expect "$OUT/caps3.txt" capture 1 "writer silent but open"

touch "$OUT/w1.close"
wait_for 20 "writer closed" grep -qx closed=1 "$OUT/w1.log"
probe caps4 caps "$DEV"
expect "$OUT/caps4.txt" capture 0 "after a STREAMON writer closed"
expect "$OUT/caps4.txt" output 1 "after a STREAMON writer closed"

note "a plain write() writer of another size (as ffmpeg's v4l2 output) then closes"
probe w3 write "$DEV" 640x480 200 60 60 3
expect "$OUT/w3.txt" s_fmt_size 640x480 "new size once the node is free"
expect "$OUT/w3.txt" written 3 "plain writer"
probe caps5 caps "$DEV"
expect "$OUT/caps5.txt" capture 0 "after a plain write() writer closed"
expect "$OUT/caps5.txt" output 0 "after a plain write() writer closed (driver leaves the node stuck)"
probe w4 write "$DEV" 640x480 16 128 128 1
expect "$OUT/w4.txt" s_fmt EINVAL "a new writer after a plain writer closed"

note "only reloading the module frees the node again"
/tmp/vm/busybox rmmod v4l2loopback || fail "rmmod v4l2loopback"
/tmp/vm/load-v4l2loopback || fail "reloading v4l2loopback"
wait_for 10 "node back" test -c "$DEV"
probe caps6 caps "$DEV"
expect "$OUT/caps6.txt" output 1 "after reloading the module"
note "driver behaviour as recorded"
