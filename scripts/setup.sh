#!/usr/bin/env bash
# Installs every Debian 12 package the build and the tests need. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libcli11-dev nlohmann-json3-dev libblkid-dev libudev-dev libarchive-dev
  libexpat1-dev libpoppler-cpp-dev antiword catdoc libheif-dev libjxl-dev libraw-dev
  qt6-base-dev qt6-svg-dev fonts-dejavu-core qt6-image-formats-plugins qt6-multimedia-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav gstreamer1.0-alsa
  dosfstools mtools ntfs-3g exfatprogs e2fsprogs fdisk
  zlib1g-dev libssl-dev libsystemd-dev dbus procps python3
  libewf-dev libvhdi-dev libvmdk-dev libqcow-dev ewf-tools qemu-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
