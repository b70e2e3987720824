#!/bin/bash
# A 1920x1080 publisher on a 640x480 webcam: the picture is scaled to fit with black bars
# above and below, and a reader that started on the card never sees a format change.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

size=640x480
# bars.flv (1920x1080) and ref.yuv (letterboxed 640x480) come from the .host.sh companion.
looks_like_ref() {
  "$PROBE" cmp "$OUT/ref.yuv" 0 "$1" "$3" "$2" >"$OUT/cmp.txt" || return 1
  cp "$OUT/cmp.txt" "$OUT/region.last"
  awk -v d="$(value mean_diff <"$OUT/cmp.txt")" 'BEGIN { exit !(d < 4) }'
}
black="16 128 128"

start_quorvix QUORVIX_VCAM_SIZE=$size
wait_picture 90 "card before the publisher" $size is_card

# One reader runs across the switch from the card to the stream.
start_bg long-reader ffmpeg -hide_banner -loglevel error -nostdin -y -f v4l2 -i "$DEV" \
  -frames:v 100000 -fps_mode passthrough -pix_fmt yuv420p -f rawvideo "$OUT/long.yuv"
reader=${bg_pids[-1]}
wait_for 60 "long reader running" test -s "$OUT/long.yuv"
start_publisher bars
wait_picture 120 "the publisher's picture, letterboxed" $size looks_like_ref
for band in "0 0 640 56" "0 424 640 56"; do
  # shellcheck disable=SC2086
  region_is "$OUT/probe-frame.yuv" $size 0 $band "$black" 2 ||
    fail "bar $band is not black: $(cat "$OUT/region.last")"
done
"$PROBE" fmt "$DEV" cap >"$OUT/fmt.txt" || fail "capture format"
[ "$(value size <"$OUT/fmt.txt")" = $size ] || fail "webcam size changed to $(value size <"$OUT/fmt.txt")"

kill -0 "$reader" 2>/dev/null || fail "the long reader ended (format change?): $(cat "$OUT/long-reader.log")"
stop_pid "$reader"
[ -s "$OUT/long-reader.log" ] && fail "the long reader reported: $(head -c 400 "$OUT/long-reader.log")"
bytes=$(stat -c %s "$OUT/long.yuv")
fb=$(frame_bytes $size)
[ $((bytes % fb)) -eq 0 ] || fail "the long reader's stream is not whole $size frames ($bytes bytes)"
frames=$((bytes / fb))
is_card "$OUT/long.yuv" $size 0 || fail "the long reader did not start on the card"
looks_like_ref "$OUT/long.yuv" $size $((frames - 1)) ||
  fail "the long reader's last frame is not the stream: $(tr '\n' ' ' <"$OUT/cmp.txt")"
note "one reader saw $frames frames, card then stream, one format"
