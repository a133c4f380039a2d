#!/usr/bin/env bash
# Installs a built package into a throwaway Debian 12 root and runs it there, as a new user's
# machine would: the package's dependencies come from Debian's archive, nothing from the build.
#   scripts/try-package.sh PACKAGE.deb [ROOT]
# ROOT: an existing debootstrap'ed bookworm root to copy from; otherwise one is made (needs
# debootstrap, root, and a few minutes to fetch the base system). Everything happens in a
# private temporary folder that is removed afterwards.
set -euo pipefail
deb=$(realpath "$1")
base=${2:-}
work=$(mktemp -d)
cleanup() {
  umount "$work/root/proc" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
if [ -n "$base" ]; then
  cp -a "$base" "$work/root"
else
  debootstrap --variant=minbase bookworm "$work/root" http://deb.debian.org/debian >"$work/debootstrap.log"
fi
cp /etc/resolv.conf "$work/root/etc/resolv.conf"
mount -t proc proc "$work/root/proc"
cp "$deb" "$work/root/tmp/"
name=$(basename "$deb")
chroot "$work/root" /bin/bash -euo pipefail -c "
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends /tmp/$name >/tmp/install.log
  echo '== installed:'; dpkg -L tarvel-updater | grep -E '^/usr/(bin|lib/udev)/' 
  echo '== tarvel-updater --version'; tarvel-updater --version
  echo '== a whole update on the simulated device'
  export XDG_RUNTIME_DIR=\$(mktemp -d) XDG_STATE_HOME=\$(mktemp -d) XDG_DATA_HOME=\$(mktemp -d)
  tarvel-updater --headless --simulate --auto --time-scale=0 </dev/null | tail -4
  echo '== removal'
  dpkg -r tarvel-updater >/dev/null
  left=\$(ls /usr/bin/tarvel-* /usr/share/applications/com.tarvel.* 2>/dev/null || true)
  [ -z \"\$left\" ] || { echo \"left behind: \$left\"; exit 1; }
  echo 'nothing left behind'
"
