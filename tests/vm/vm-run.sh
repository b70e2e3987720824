#!/usr/bin/env bash
# Boots Debian 12's kernel under qemu (software emulation) with v4l2loopback and runs one job
# script inside it, chrooted into this machine's own root (shared read-only), so the job uses
# the host's ffmpeg, Qt and build tree against the real driver.
#
#   vm-run.sh --job FILE [--quorvix FILE] [--probe FILE] [--cardref FILE] [--work DIR] [--timeout S]
#             [--module boot|job] [--module-options "..."] [--env VAR=value]...
#
#   --job       bash script run as root in the machine; exit status 0 means PASS. A
#               companion <job>.host.sh runs first on the host with the job folder as $1
#               (clips and reference frames are encoded there, natively)
#   --quorvix   program under test, given to the job as $QUORVIX (missing file: skip)
#   --probe     the v4l2probe tool, given to the job as $VM_PROBE
#   --cardref   the vm_cardref tool, given to the host preparation as $VM_CARDREF
#   --work      host folder for the job folder and the console log (default: a temp folder)
#   --timeout   seconds the job may run inside the machine before it is killed (default 150)
#   --module    boot: v4l2loopback is loaded before the job starts (default);
#               job: the job loads it itself with /tmp/vm/load-v4l2loopback [options]
#   --module-options  default "devices=1 video_nr=10 card_label=Quorvix exclusive_caps=1"
#               A job can set both in its header: "# vm-module: job",
#               "# vm-module-options: devices=2 ...".
#
# Inside the machine the job finds its writable folder at $VM_JOBDIR (= --work/job on the
# host), the module loader and a static busybox at $VM_TOOLS. Exit status: 0 PASS, 1 FAIL,
# 77 skipped (no qemu, no busybox-static/cpio, or the kernel packages cannot be had).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
log() { echo "vm-run: $*" >&2; }
skip() { log "SKIP: $*"; exit 77; }

job="" quorvix="" probe="" cardref="" work="" timeout=150 module="" module_options=""
envs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --job) job=$2; shift 2 ;;
    --quorvix) quorvix=$2; shift 2 ;;
    --probe) probe=$2; shift 2 ;;
    --cardref) cardref=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --module) module=$2; shift 2 ;;
    --module-options) module_options=$2; shift 2 ;;
    --env) envs+=("$2"); shift 2 ;;
    *) log "unknown argument $1"; exit 2 ;;
  esac
done
[ -n "$job" ] || { log "--job is required"; exit 2; }
job=$(realpath "$job")
# A job may state how the machine loads the module ("# vm-module: job",
# "# vm-module-options: ..."); the command line wins.
[ -n "$module" ] || module=$(sed -n 's/^# vm-module: *//p' "$job" | head -n1)
[ -n "$module_options" ] || module_options=$(sed -n 's/^# vm-module-options: *//p' "$job" | head -n1)
module=${module:-boot}
module_options=${module_options:-devices=1 video_nr=10 card_label=Quorvix exclusive_caps=1}
case "$module" in boot|job) ;; *) log "--module takes boot or job"; exit 2 ;; esac

qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 is not installed (apt-get install --no-install-recommends qemu-system-x86)"
busybox=""
for b in /bin/busybox /usr/bin/busybox; do
  if [ -x "$b" ] && file -L "$b" 2>/dev/null | grep -q 'statically linked'; then busybox=$b; break; fi
done
[ -n "$busybox" ] || skip "no static busybox (apt-get install busybox-static)"
command -v cpio >/dev/null || skip "cpio is not installed"
command -v modprobe >/dev/null || command -v /usr/sbin/modprobe >/dev/null || skip "kmod is not installed"
if [ -n "$quorvix" ]; then
  [ -x "$quorvix" ] || skip "program $quorvix is not built"
  quorvix=$(realpath "$quorvix")
fi
if [ -n "$probe" ]; then
  [ -x "$probe" ] || { log "probe $probe is not built"; exit 1; }
  probe=$(realpath "$probe")
fi

t_start=$(date +%s.%N)
set +e
kdir=$("$here/vm-prepare.sh")
rc=$?
set -e
[ "$rc" -eq 77 ] && exit 77
[ "$rc" -eq 0 ] || { log "FAIL: kernel preparation failed"; exit 1; }
t_prepared=$(date +%s.%N)
kver=$(cat "$kdir/kernel.version")

if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/quorvix-vm.XXXXXX")
fi
mkdir -p "$work"
work=$(realpath "$work")
rm -rf "$work/job" "$work/initrd" "$work/initrd.cpio" "$work/console.log"
mkdir -p "$work/job" "$work/initrd"

# The initramfs: busybox, the init, and the modules in load order (from modules.dep).
rd="$work/initrd"
mkdir -p "$rd/bin" "$rd/proc" "$rd/sys" "$rd/dev" "$rd/vm/modules"
cp "$busybox" "$rd/bin/busybox"
cp "$here/init" "$rd/init"
chmod +x "$rd/init"
order() {
  local m
  for m in "$@"; do
    /usr/sbin/modprobe -d "$kdir" -S "$kver" --show-depends "$m"
  done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }'
}
: >"$rd/vm/boot.order"
for ko in $(order virtio_pci 9pnet_virtio 9p); do
  cp "$ko" "$rd/vm/modules/"
  basename "$ko" >>"$rd/vm/boot.order"
done
: >"$rd/vm/v4l2loopback.order"
for ko in $(order v4l2loopback); do
  cp "$ko" "$rd/vm/modules/"
  basename "$ko" >>"$rd/vm/v4l2loopback.order"
done
(cd "$rd" && find . | cpio -o -H newc --quiet) >"$work/initrd.cpio"

# The job and its helpers travel in the job folder: the machine's /tmp is its own, so a
# script under the host's /tmp would not be found through the shared root.
cp "$job" "$work/job/job.sh"
cp "$here/jobs/lib.sh" "$work/job/lib.sh"
if [ -n "$probe" ]; then
  cp "$probe" "$work/job/v4l2probe"
  probe=/tmp/job/v4l2probe
fi
# Encoding under emulation is slow (x264 at 720p runs far below real time), so clips and
# reference frames are made on the host by the job's companion <job>.host.sh, if any.
host_prep="${job%.sh}.host.sh"
if [ -f "$host_prep" ]; then
  log "host preparation $(basename "$host_prep")"
  VM_HOST_LIB="$here/jobs/host-lib.sh" VM_CARDREF="$cardref" bash "$host_prep" "$work/job" ||
    { log "FAIL: host preparation failed"; exit 1; }
fi
# The program travels in the job folder too: a build tree under the host's /tmp (a CI clone,
# say) is not visible through the shared root. It needs nothing beside it but system libraries.
if [ -n "$quorvix" ]; then
  cp "$quorvix" "$work/job/quorvix"
  quorvix=/tmp/job/quorvix
fi
{
  printf 'VM_JOB=%q\n' /tmp/job/job.sh
  printf 'VM_TIMEOUT=%q\n' "$timeout"
  printf 'VM_MODULE=%q\n' "$module"
  printf 'VM_MODULE_OPTIONS=%q\n' "$module_options"
} >"$work/job/vm.conf"
{
  [ -n "$quorvix" ] && echo "QUORVIX=$quorvix"
  [ -n "$probe" ] && echo "VM_PROBE=$probe"
  for e in "${envs[@]}"; do echo "$e"; done
} >"$work/job/vm.env"

log "booting $kver ($(cat "$kdir/v4l2loopback.version" 2>/dev/null || echo '?')) for $(basename "$job")"
t_boot=$(date +%s.%N)
set +e
# The host side bound covers boot, the job's own bound and power-off.
timeout -k 5 $((timeout + 120)) "$qemu" \
  -accel tcg -cpu max -smp 2 -m 1024 \
  -nodefaults -no-user-config -display none -monitor none -serial stdio -no-reboot \
  -kernel "$kdir/vmlinuz" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
  -virtfs local,path=/,mount_tag=hostroot,readonly=on,security_model=none,multidevs=remap \
  -virtfs "local,path=$work/job,mount_tag=job,security_model=none" \
  </dev/null 2>&1 | tee "$work/console.log"
qrc=${PIPESTATUS[0]}
set -e
t_end=$(date +%s.%N)

secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
timing="prepare $(secs "$t_start" "$t_prepared") s, machine $(secs "$t_boot" "$t_end") s, total $(secs "$t_start" "$t_end") s"
if [ -f "$work/job/uptime-end" ]; then
  job_start=$(sed -n 's/.*starting at \([0-9.]*\)s uptime.*/\1/p' "$work/console.log" | tail -n1)
  [ -n "$job_start" ] && timing="$timing (guest: job started at ${job_start} s uptime, ended at $(cat "$work/job/uptime-end") s)"
fi
echo "$timing" >"$work/timing.txt"
if [ ! -f "$work/job/exit-code" ]; then
  log "FAIL: the machine ended without a verdict (qemu status $qrc); $timing"
  exit 1
fi
jrc=$(cat "$work/job/exit-code")
if [ "$jrc" = 0 ]; then
  log "PASS $(basename "$job"): $timing"
  exit 0
fi
log "FAIL $(basename "$job"): job exit status $jrc; $timing"
exit 1
