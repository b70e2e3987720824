#!/bin/bash
# vm-module: job
# The program starts with no loopback device, says so, and picks the device up once the
# module is loaded. On that device, a 640x480 webcam, a 1920x1080 publisher is scaled to fit
# with black bars above and below, and a reader that started on the card never sees a format
# change.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

size=640x480
# bars.flv (1920x1080), ref.yuv (letterboxed 640x480) and card-640x480.yuv come from the
# .host.sh companion.
is_bars() { matches "$OUT/ref.yuv" "$1" "$2" "$3" 1; }
black="16 128 128"

[ -e "$DEV" ] && fail "$DEV exists before the module is loaded"
start_quorvix QUORVIX_VCAM_SIZE=$size
wait_for 90 "the program reports no device" grep -q "no v4l2loopback device found" "$OUT/quorvix.log"
/tmp/vm/load-v4l2loopback || fail "loading v4l2loopback"
note "module loaded"
wait_for 60 "the program found the new device" has_capture
wait_picture 60 "card frame on the late device" $size is_card
[ "$(grep -c "no v4l2loopback device found" "$OUT/quorvix.log")" = 1 ] ||
  fail "the missing device was reported more than once"

# One reader runs across the switch from the card to the stream.
start_bg long-reader ffmpeg -hide_banner -loglevel error -nostdin -y -f v4l2 -i "$DEV" \
  -frames:v 100000 "${READER_OPTS[@]}" -pix_fmt yuv420p -f rawvideo "$OUT/long.yuv"
reader=${bg_pids[-1]}
wait_for 60 "long reader running" test -s "$OUT/long.yuv"
start_publisher bars
wait_picture 120 "the publisher's picture, letterboxed" $size is_bars
for band in "0 0 640 56" "0 424 640 56"; do
  # shellcheck disable=SC2086
  region_is "$OUT/probe-frame.yuv" $size 0 $band "$black" 1 ||
    fail "bar $band is not black: $(cat "$OUT/region.last")"
done
"$PROBE" fmt "$DEV" cap >"$OUT/fmt.txt" || fail "capture format"
[ "$(value size <"$OUT/fmt.txt")" = $size ] || fail "webcam size changed to $(value size <"$OUT/fmt.txt")"
# The long reader, too, has reached the stream: its last whole picture is the bars.
long_reader_on_stream() {
  local n=$(($(stat -c %s "$OUT/long.yuv") / $(frame_bytes $size)))
  [ "$n" -ge 1 ] && is_bars "$OUT/long.yuv" $size $((n - 1))
}
wait_for 60 "the long reader reads the stream" long_reader_on_stream

kill -0 "$reader" 2>/dev/null || fail "the long reader ended (format change?): $(cat "$OUT/long-reader.log")"
stop_pid "$reader"
[ -s "$OUT/long-reader.log" ] && fail "the long reader reported: $(head -c 400 "$OUT/long-reader.log")"
bytes=$(stat -c %s "$OUT/long.yuv")
fb=$(frame_bytes $size)
[ $((bytes % fb)) -eq 0 ] || fail "the long reader's stream is not whole $size frames ($bytes bytes)"
frames=$((bytes / fb))
is_card "$OUT/long.yuv" $size 0 || fail "the long reader did not start on the card: $(tr '\n' ' ' <"$OUT/cmp.txt")"
is_bars "$OUT/long.yuv" $size $((frames - 1)) ||
  fail "the long reader's last frame is not the stream: $(tr '\n' ' ' <"$OUT/cmp.txt")"
note "one reader saw $frames frames, card then stream, one format"
program_alive
