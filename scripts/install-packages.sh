#!/usr/bin/env bash
# Installs the Debian packages that building and testing kestrix-host need
# (the list is scripts/packages.txt).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
mapfile -t packages < <(grep -v '^\s*\(#\|$\)' "$here/packages.txt")
# wine32 (the Windows build's tests) is an i386 package.
$sudo dpkg --add-architecture i386
$sudo apt-get update
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y "${packages[@]}"
