#!/usr/bin/env bash
# Prepares what the emulated machine boots: Debian 12's own kernel, its modules for virtio,
# 9p and V4L2, and the v4l2loopback module built against that kernel's headers. Nothing is
# installed on the host and no root is needed: the packages are fetched with
# `apt-get download` and unpacked into a cache folder, the headers tree is only kept while
# the module builds.
#
#   vm-prepare.sh            prints the ready kernel folder on stdout
#
# Cache: $QUORVIX_VM_CACHE, else $XDG_CACHE_HOME/quorvix-vm (~/.cache/quorvix-vm).
# Exit status: 0 ready, 77 the kernel packages cannot be had here (skip), 1 failure.
set -euo pipefail

log() { echo "vm-prepare: $*" >&2; }
skip() { log "SKIP: $*"; exit 77; }

cache="${QUORVIX_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvix-vm}"
mkdir -p "$cache"

# The kernel is the one Debian's linux-image-amd64 points at today. Offline, the newest
# folder already in the cache serves.
find_kernel() {
  local dep
  command -v apt-cache >/dev/null 2>&1 || return 1
  dep=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9].*-amd64$/ { print $2; exit }')
  [ -n "$dep" ] || return 1
  echo "${dep#linux-image-}"
}

kver=$(find_kernel || true)
if [ -z "$kver" ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
  log "no package lists; running apt-get update"
  apt-get update -q >&2 || true
  kver=$(find_kernel || true)
fi
if [ -z "$kver" ]; then
  kver=$(ls -1 "$cache" 2>/dev/null | grep -E '^[0-9].*-amd64$' | sort -V | tail -n1 || true)
  [ -n "$kver" ] && [ -f "$cache/$kver/ready" ] || skip "linux-image-amd64 is unknown to apt and nothing is cached in $cache"
  log "apt knows no kernel; using cached $kver"
fi

out="$cache/$kver"
if [ -f "$out/ready" ]; then
  echo "$out"
  exit 0
fi

# One preparer at a time; a second caller waits and then finds the folder ready.
exec 9>"$cache/.lock"
flock 9
if [ -f "$out/ready" ]; then
  echo "$out"
  exit 0
fi

start=$(date +%s.%N)
abi="${kver%-amd64}"                 # 6.1.0-57
series=$(echo "$abi" | cut -d. -f1,2)  # 6.1
work=$(mktemp -d "$cache/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$out"

pkgs=("linux-image-$kver" "linux-headers-$kver" "linux-headers-$abi-common"
  "linux-kbuild-$series" v4l2loopback-dkms)
log "downloading ${pkgs[*]}"
if ! (cd "$work" && apt-get download -q "${pkgs[@]}" >&2 2>"$work/apt.err"); then
  cat "$work/apt.err" >&2
  skip "apt-get download failed (offline or packages gone)"
fi

tree="$work/tree"
mkdir -p "$tree"
for p in "${pkgs[@]}"; do
  [ "$p" = "linux-image-$kver" ] && continue
  dpkg-deb -x "$work/${p}"_*.deb "$tree"
done
# From the image only the kernel and the module folders the machine needs.
dpkg-deb --fsys-tarfile "$work/linux-image-${kver}"_*.deb |
  tar -x -C "$tree" --wildcards \
    "./boot/vmlinuz-$kver" \
    "./lib/modules/$kver/modules.*" \
    "./lib/modules/$kver/kernel/drivers/media/mc/*" \
    "./lib/modules/$kver/kernel/drivers/media/v4l2-core/*" \
    "./lib/modules/$kver/kernel/drivers/virtio/*" \
    "./lib/modules/$kver/kernel/net/9p/*" \
    "./lib/modules/$kver/kernel/fs/9p/*" \
    "./lib/modules/$kver/kernel/fs/netfs/*" \
    "./lib/modules/$kver/kernel/fs/fscache/*"
# Debian compresses modules in some releases; busybox insmod wants them plain.
find "$tree/lib/modules" -name '*.ko.xz' -exec xz -d {} + 2>/dev/null || true

# The arch headers include the common tree by absolute path; repoint it at the unpacked one.
hdr="$tree/usr/src/linux-headers-$kver"
common="$tree/usr/src/linux-headers-$abi-common"
[ -d "$hdr" ] && [ -d "$common" ] || { log "headers missing after unpacking"; exit 1; }
sed -i "s|/usr/src/linux-headers-$abi-common|$common|g" "$hdr/Makefile"

src=$(ls -d "$tree"/usr/src/v4l2loopback-* | head -n1)
log "building $(basename "$src") against $kver"
if ! make -C "$hdr" M="$src" modules -j2 >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  log "module build failed"
  exit 1
fi

# Keep only the kernel, the needed modules and the new module; depmod gives the load order.
stage="$work/keep"
mkdir -p "$stage/lib/modules/$kver/updates"
cp "$tree/boot/vmlinuz-$kver" "$stage/vmlinuz"
cp -a "$tree/lib/modules/$kver/kernel" "$tree/lib/modules/$kver"/modules.builtin* \
  "$tree/lib/modules/$kver/modules.order" "$stage/lib/modules/$kver/"
cp "$src/v4l2loopback.ko" "$stage/lib/modules/$kver/updates/"
depmod -b "$stage" "$kver"
basename "$src" >"$stage/v4l2loopback.version"
echo "$kver" >"$stage/kernel.version"
end=$(date +%s.%N)
awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f\n", b - a }' >"$stage/prepare.seconds"

mv "$stage" "$out"
touch "$out/ready"
# Older kernels are not booted again.
for old in "$cache"/*-amd64; do
  [ "$old" = "$out" ] || rm -rf "$old"
done
log "ready: $out ($(du -sh "$out" | cut -f1), $(cat "$out/prepare.seconds") s)"
echo "$out"
