#!/bin/bash
# vm-module: job
# Each camera its own webcam, on the real driver with two devices "Quorvix 1" and "Quorvix 2":
# two cameras of different colours each show on their own webcam; one leaves, its webcam shows
# the card and the other goes on. With the setting off, one webcam: the newest camera's.
set -u
# shellcheck source=tests/vm/jobs/lib.sh
. "$VM_JOBDIR/lib.sh"

size=1280x720
first=/dev/video10
second=/dev/video11
# The labels have a space: the kernel takes the quoted list (insmod joins the words again).
/tmp/vm/load-v4l2loopback devices=2 video_nr=10,11 'card_label="Quorvix 1,Quorvix 2"' \
  exclusive_caps=1,1 || fail "v4l2loopback did not load"
"$PROBE" caps $first | grep -qx 'card=Quorvix 1' || fail "$first is not Quorvix 1"
"$PROBE" caps $second | grep -qx 'card=Quorvix 2' || fail "$second is not Quorvix 2"

# Flat colours as limited-range Y U V.
is_red() { region_is "$1" "$2" "$3" 320 180 640 360 "81 90 240" 12; }
is_blue() { region_is "$1" "$2" "$3" 320 180 640 360 "41 240 110" 12; }
# on DEVICE: the waits below read that device.
on() { DEV=$1; }

config=$OUT/config
mkdir -p "$config/Morlaid"
printf '[General]\nEACH_CAMERA_OWN_WEBCAM=true\n' >"$config/Morlaid/Quorvix.conf"
start_quorvix XDG_CONFIG_HOME="$config"
on $first; wait_picture 90 "the card on Quorvix 1" $size is_card
on $second; wait_picture 120 "the card on Quorvix 2" $size is_card

start_publisher red
red=${bg_pids[-1]}
on $first; wait_picture 120 "the red camera on Quorvix 1" $size is_red
start_publisher blue
blue=${bg_pids[-1]}
on $second; wait_picture 120 "the blue camera on Quorvix 2" $size is_blue
on $first; wait_picture 10 "red still on Quorvix 1" $size is_red

stop_pid "$red"
note "red camera gone"
on $first; wait_picture 120 "the card again on Quorvix 1" $size is_card
on $second; capture "$OUT/blue.yuv" 3 120
for i in 0 1 2; do
  is_blue "$OUT/blue.yuv" $size $i || fail "Quorvix 2 frame $i: $(cat "$OUT/region.last")"
done
note "Quorvix 2 goes on with blue"
stop_pid "$blue"
stop_pid "$QUORVIX_PID"
QUORVIX_PID=

# The setting off (a fresh store): one webcam, owned by the newest camera.
start_quorvix XDG_CONFIG_HOME="$OUT/config-off"
on $first; wait_picture 90 "the card on the one webcam" $size is_card
start_publisher red
on $first; wait_picture 120 "red on the one webcam" $size is_red
start_publisher blue
on $first; wait_picture 120 "the newest camera, blue, on the one webcam" $size is_blue
on $second; grab "$OUT/second.yuv" 1000 && fail "Quorvix 2 has pictures with the setting off"
note "Quorvix 2 untouched"
program_alive
