#!/bin/sh
# add-ps-queue.sh DIR: adds to the scheduler that start-cups.sh DIR started
#   kx-ps  a colour PostScript printer (kx-ps.ppd) whose documents reach the
#          device unchanged, in DIR/out/ps/job-<id>.prn
# for the clients that print through a PostScript driver (the Windows
# control's device-context jobs under wine). A queue of its own, so the
# queues that start-cups.sh sets up stay the same for everyone else.
set -eu
if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
D=$(cd "$1" && pwd)
work="$D"
[ -f "$D/public-folder" ] && work=$(cat "$D/public-folder")
mkdir -p "$work/out/ps"
chmod 1777 "$work/out/ps"
export CUPS_SERVER="$D/run/cups.sock" CUPS_SERVERROOT="$work/etc" HOME="$work/home"
if ! out=$(lpadmin -p kx-ps -E -v "kxcapture:$work/out/ps" -P "$here/kx-ps.ppd" -D "PostScript capture" \
           -L "Test bench" 2>&1); then
  echo "add-ps-queue.sh: lpadmin failed: $out" >&2
  exit 1
fi
