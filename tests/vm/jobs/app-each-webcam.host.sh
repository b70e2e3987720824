# shellcheck source=tests/vm/jobs/host-lib.sh
. "$VM_HOST_LIB" "$1"
clip red color=c=red:size=1280x720:rate=30 6
clip blue color=c=blue:size=1280x720:rate=30 6
card_ref 1280x720
