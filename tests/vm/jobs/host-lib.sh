# Helpers for the <job>.host.sh companions, run on the host before the machine boots:
# everything encoded here lands in the job folder ($1 of the companion, $VM_JOBDIR inside).
set -euo pipefail
JOB=${1:?job folder}

# clip NAME LAVFI_VIDEO SECONDS: H.264 + AAC in FLV, as a camera sends; published later in
# the machine with -c copy so nothing is encoded under emulation.
clip() {
  ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "$2" \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -t "$3" \
    -c:v libx264 -preset ultrafast -tune zerolatency -g 15 -pix_fmt yuv420p \
    -c:a aac -f flv "$JOB/$1.flv"
}

# frame NAME LAVFI_VIDEO [FILTER]: one raw yuv420p reference frame, without encoder or driver.
frame() {
  ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "$2" -frames:v 1 \
    ${3:+-vf "$3"} -pix_fmt yuv420p -f rawvideo "$JOB/$1.yuv"
}

# card_ref SIZE: the program's no-signal card at webcam size SIZE (card-SIZE.yuv), rendered by
# vm_cardref from the build tree with an empty settings store, as the program does.
card_ref() {
  [ -x "${VM_CARDREF:-}" ] || { echo "no vm_cardref given (--cardref)" >&2; return 1; }
  XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$JOB} "$VM_CARDREF" "$JOB/card-$1.yuv" "$1"
}
