# shellcheck source=tests/vm/jobs/host-lib.sh
. "$VM_HOST_LIB" "$1"
card_ref 1280x720
