#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the sanitizer and fuzz builds (clang
# with its libFuzzer runtime) and the benchmarks need.
# Idempotent: when every package is present it does nothing and needs no network.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkgconf
  libhidapi-dev libudev-dev libsystemd-dev liblz4-dev libjsoncpp-dev
  qt6-base-dev libqt6dbus6 libqt6test6 libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libxcb1-dev
  umockdev libumockdev-dev
  dbus systemd udev udisks2 dosfstools fusefat mtools
  clang libclang-rt-14-dev
  xvfb xauth xdotool bc stress-ng
  desktop-file-utils appstream man-db dpkg-dev file lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
