#!/usr/bin/env bash
# Installs the Debian packages a list names: scripts/packages.txt (the default:
# everything building and testing kestrix-host needs) or another list, such as
# scripts/packages-demo.txt (what scripts/demo.sh needs). Only the packages not
# yet installed are installed; when every one is there, nothing is done (no
# apt-get update either).
#   scripts/install-packages.sh [LIST]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
list="${1:-$here/packages.txt}"
mapfile -t packages < <(grep -v '^\s*\(#\|$\)' "$list")
# One question to dpkg for the whole list.
# Both spellings of each installed package: its name and its name with the
# architecture (how the list names a foreign one, such as libcups2:i386).
installed=" $(dpkg-query -W -f='${Package} ${binary:Package} ${Status}\n' "${packages[@]}" 2>/dev/null | awk '$5 == "installed" { printf "%s %s ", $1, $2 }' || true)"
missing=()
for package in "${packages[@]}"; do
  case "$installed" in *" $package "*) ;; *) missing+=("$package") ;; esac
done
[ "${#missing[@]}" -gt 0 ] || exit 0
echo "installing ${missing[*]}"
sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
# wine32 (the Windows build's tests) is an i386 package.
if printf '%s\n' "${missing[@]}" | grep -q -e '^wine32$' -e ':i386$'; then $sudo dpkg --add-architecture i386; fi
$sudo apt-get update
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y "${missing[@]}"
