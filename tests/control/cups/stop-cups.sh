#!/bin/sh
# stop-cups.sh DIR: stops the scheduler that start-cups.sh DIR started and
# waits (at most 10 s) until it is gone. DIR itself is left for inspection;
# an open spool and capture folder made for it outside DIR is removed.
set -u
if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
pidfile="$1/cupsd.pid"
public=""
[ -f "$1/public-folder" ] && public=$(cat "$1/public-folder")
remove_public() {
  case "$public" in
    /tmp/kx-cups-*) rm -rf "$public" "$1/public-folder" ;;
  esac
}
if [ ! -f "$pidfile" ]; then
  remove_public "$1"
  exit 0
fi
pid=$(cat "$pidfile")
if kill -TERM "$pid" 2>/dev/null; then
  tries=0
  while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ]; then
      kill -KILL "$pid" 2>/dev/null
      break
    fi
    sleep 0.05
  done
fi
rm -f "$pidfile"
remove_public "$1"
exit 0
