# shellcheck source=tests/vm/jobs/host-lib.sh
. "$VM_HOST_LIB" "$1"
clip bars smptehdbars=size=1280x720:rate=30 6
frame ref smptehdbars=size=1280x720:rate=30
card_ref 1280x720
