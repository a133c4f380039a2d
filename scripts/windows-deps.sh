#!/usr/bin/env bash
# Gets what the Windows build needs, all from Debian:
#   - the packages: the mingw-w64 cross compiler (POSIX thread model) and Wine;
#   - the source packages of the libraries the Linux build links (hidapi, lz4, jsoncpp),
#     fetched with `apt-get source` through a sources list and apt state of its own inside
#     the build folder (the machine's apt configuration is left alone), and unpacked there.
# googletest's sources come with Debian's googletest package (/usr/src/googletest).
# Idempotent: once everything is there it does nothing and needs no network.
#   scripts/windows-deps.sh [BUILD_FOLDER]   (default build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 googletest dpkg-dev
  nsis imagemagick xvfb xauth qt6-base-dev pkg-config zip)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows-deps: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  # With the recommended packages, as the build was verified with (wine64 brings its runtime).
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The unpacked sources live in build/third-party/<name>; a stamp says the set is complete.
third=$build/third-party
sources=(hidapi lz4 libjsoncpp)
if [ -f "$third/.complete" ]; then
  exit 0
fi

apt_dir=$build/apt
mkdir -p "$apt_dir/sources.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$third"
# A deb-src twin of each of the machine's own deb entries (one-line and deb822 forms).
: > "$apt_dir/sources.d/debian-src.list"
: > "$apt_dir/sources.d/debian-src.sources"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >> "$apt_dir/sources.d/debian-src.list"
done
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  sed 's/^Types:.*/Types: deb-src/' "$f" >> "$apt_dir/sources.d/debian-src.sources"
  echo >> "$apt_dir/sources.d/debian-src.sources"
done
apt_opts=(-o APT::Sandbox::User=root -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
  -o "Dir::State::status=/var/lib/dpkg/status")
if [ ! -f "$apt_dir/.updated" ]; then
  apt-get "${apt_opts[@]}" update -qq
  touch "$apt_dir/.updated"
fi
download=$apt_dir/download
mkdir -p "$download"
(cd "$download" && apt-get "${apt_opts[@]}" source --download-only -qq "${sources[@]}")

# Unpack each source package (dpkg-source applies Debian's patches) into third-party/<name>.
for name in "${sources[@]}"; do
  dsc=$(ls "$download"/"${name}"_*.dsc | head -n 1)
  rm -rf "$third/$name"
  dpkg-source --no-check -q -x "$dsc" "$third/$name" >/dev/null
done
touch "$third/.complete"
echo "windows-deps: sources of ${sources[*]} unpacked in $third"
