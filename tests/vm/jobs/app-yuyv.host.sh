# shellcheck source=tests/vm/jobs/host-lib.sh
. "$VM_HOST_LIB" "$1"
# One flat colour, encoded losslessly, so the webcam's bytes can be checked exactly: what the
# decoder gives is the reference frame itself.
ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i color=c=0x3c6ea0:size=1280x720:rate=30 \
  -t 6 -c:v libx264 -preset ultrafast -qp 0 -g 15 -pix_fmt yuv420p -f flv "$JOB/flat.flv"
frame ref color=c=0x3c6ea0:size=1280x720:rate=30
