#!/bin/sh
# start-cups.sh DIR
#
# Starts a private CUPS scheduler whose whole state lives in DIR (created when
# missing) and prints the value for CUPS_SERVER (the scheduler's socket). It
# sets up these queues:
#   kx-pdf      the device takes PDF: every document arrives as a PDF file in
#               DIR/out/pdf/job-<id>.prn (server default queue)
#   kx-raw      documents reach the device unchanged, in DIR/out/raw/job-<id>.prn
#   kx-stopped  like kx-raw but stopped (jobs are queued, never printed)
#   kx-offline  a socket device on 127.0.0.1:9, where nothing listens: jobs stay
#               "processing" with a message that the printer is unavailable
# Nothing outside DIR is touched. Stop it with stop-cups.sh DIR. Clients also
# need HOME pointed at a private folder, since per-user defaults go to
# $HOME/.cups/lpoptions (CUPS_SERVERROOT=DIR/etc keeps root's lpoptions in DIR).
set -eu
if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
D=$(cd "$1" && pwd)
SOCK="$D/run/cups.sock"
if [ ${#SOCK} -gt 100 ]; then
  echo "start-cups.sh: $SOCK is too long for a socket path" >&2
  exit 1
fi
if [ -f "$D/cupsd.pid" ] && kill -0 "$(cat "$D/cupsd.pid")" 2>/dev/null; then
  echo "start-cups.sh: a scheduler already runs in $D" >&2
  exit 1
fi

mkdir -p "$D/etc/ppd" "$D/lib/backend" "$D/spool/tmp" "$D/cache" "$D/run" "$D/log" \
         "$D/out/pdf" "$D/out/raw" "$D/home"
# Backends and filters run as user lp when the scheduler runs as root: they
# must reach DIR and write their output folders.
chmod 755 "$D" "$D/out"
chmod 1777 "$D/out/pdf" "$D/out/raw"
if [ "$(id -u)" -eq 0 ]; then
  up=$(dirname "$D")
  while [ "$up" != "/" ]; do
    if [ "$(( $(stat -c '0%a' "$up") & 1 ))" -eq 0 ]; then
      echo "start-cups.sh: $up is closed to other users, so the backend (user lp) cannot reach $D/out" >&2
      exit 1
    fi
    up=$(dirname "$up")
  done
fi

for sub in cgi-bin daemon driver filter monitor notifier; do
  [ -e "/usr/lib/cups/$sub" ] && ln -sfn "/usr/lib/cups/$sub" "$D/lib/$sub"
done
for b in /usr/lib/cups/backend/*; do
  ln -sfn "$b" "$D/lib/backend/$(basename "$b")"
done
cp "$here/kxcapture" "$D/lib/backend/kxcapture"
chmod 755 "$D/lib/backend/kxcapture"

if [ "$(id -u)" -eq 0 ]; then
  run_as="User lp
Group lp
SystemGroup root"
else
  run_as="SystemGroup $(id -gn)"
fi
cat > "$D/etc/cups-files.conf" <<CONF
ServerRoot $D/etc
ServerBin $D/lib
RequestRoot $D/spool
TempDir $D/spool/tmp
CacheDir $D/cache
StateDir $D/run
ErrorLog $D/log/error_log
AccessLog $D/log/access_log
PageLog $D/log/page_log
$run_as
CONF
cat > "$D/etc/cupsd.conf" <<CONF
Listen $SOCK
Browsing No
BrowseLocalProtocols none
WebInterface No
DefaultAuthType None
DefaultPaperSize A4
LogLevel warn
JobRetryLimit 0
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
CONF

cupsd -f -c "$D/etc/cupsd.conf" -s "$D/etc/cups-files.conf" </dev/null >>"$D/log/cupsd.out" 2>&1 &
echo $! > "$D/cupsd.pid"

export CUPS_SERVER="$SOCK" CUPS_SERVERROOT="$D/etc" HOME="$D/home"
tries=0
until lpstat -r 2>/dev/null | grep -q "is running"; do
  tries=$((tries + 1))
  if [ $tries -gt 200 ] || ! kill -0 "$(cat "$D/cupsd.pid")" 2>/dev/null; then
    echo "start-cups.sh: the scheduler did not come up; see $D/log" >&2
    exit 1
  fi
  sleep 0.05
done

# lpadmin warns that PPD files are deprecated on every call: show its output
# only when it fails.
admin() {
  if ! out=$("$@" 2>&1); then
    echo "start-cups.sh: $* failed: $out" >&2
    exit 1
  fi
}
admin lpadmin -p kx-pdf -E -v "kxcapture:$D/out/pdf" -P "$here/kx-pdf.ppd" \
  -D "PDF capture" -L "Test bench"
admin lpadmin -p kx-raw -E -v "kxcapture:$D/out/raw" -P "$here/kx-raw.ppd" \
  -D "Raw capture" -L "Test bench"
admin lpadmin -p kx-stopped -E -v "kxcapture:$D/out/raw" -P "$here/kx-raw.ppd" \
  -D "Stopped queue"
admin cupsdisable -r "Stopped for maintenance" kx-stopped
admin lpadmin -p kx-offline -E -v "socket://127.0.0.1:9" -P "$here/kx-raw.ppd" \
  -D "Unreachable device"
admin lpadmin -d kx-pdf

echo "$SOCK"
