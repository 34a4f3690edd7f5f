#!/bin/sh
# Installs the Debian packages that building and testing need, when any is missing.
# Usage: scripts/deps.sh [extra-package ...]
set -eu

packages="build-essential cmake ninja-build pkg-config zlib1g-dev libisal-dev libsodium-dev \
qt6-base-dev qt6-5compat-dev qtbase5-dev \
python3 tar gzip libarchive-tools pigz procps libfaketime strace $*"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
