# shellcheck source=tests/vm/jobs/host-lib.sh
. "$VM_HOST_LIB" "$1"
clip bars smptehdbars=size=1920x1080:rate=30 6
# 16:9 into 4:3: 640x360 centred, 60 black rows above and below (the sink scales bilinear).
frame ref smptehdbars=size=1920x1080:rate=30 "scale=640:360:flags=bilinear,pad=640:480:0:60:black"
card_ref 640x480
