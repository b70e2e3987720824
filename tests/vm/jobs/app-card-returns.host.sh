# shellcheck source=tests/vm/jobs/host-lib.sh
. "$VM_HOST_LIB" "$1"
clip blue color=c=0x2060C0:size=1280x720:rate=30 4
frame ref color=c=0x2060C0:size=1280x720:rate=30
