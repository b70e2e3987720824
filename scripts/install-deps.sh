#!/usr/bin/env bash
# Installs the Debian 12 packages Quorvix needs to build, run and test.
# Idempotent and non-interactive; run as root (or through sudo).
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config ninja-build
  # Qt 5.15
  qtbase5-dev qtbase5-dev-tools
  # FFmpeg 5.1
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  # the no-signal card font
  fonts-liberation fontconfig
  # the microphone output (PipeWire client library)
  libpipewire-0.3-dev
  # the SRT listener (libsrt, the GnuTLS flavour FFmpeg itself links)
  libsrt-gnutls-dev
  # QR encoder
  libqrcodegencpp-dev
  # tests: real publisher, QR decoder, real windows
  ffmpeg zbar-tools xvfb xauth x11-utils
  # tests: a second real SRT publisher (srt-live-transmit)
  srt-tools
  # tests: a private PipeWire (daemon, session manager, PulseAudio-API server, pw-record,
  # parecord, pactl) inside its own session bus
  pipewire pipewire-bin wireplumber pipewire-pulse pulseaudio-utils dbus
  # tests: another program holding an intake's port (a few lines of Python)
  python3
  # browser check: a real browser lists the microphone and records from it
  chromium
  # tests: a real v4l2loopback driver in an emulated Debian kernel
  qemu-system-x86 busybox-static cpio kmod
  # formatting check
  clang-format
  # packaging checks
  desktop-file-utils appstream dpkg-dev file groff-base
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
