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
#   kx-office   an office printer (kx-office.ppd): trays, media types,
#               resolutions, colour, duplex, a stapler, output bins, print
#               qualities; takes PDF; jobs in DIR/out/office/job-<id>.prn with
#               their options in job-<id>.options
# Nothing outside DIR is touched, except (as root, when DIR lies in a folder
# closed to other users) one open folder /tmp/kx-cups-* that holds the state
# for DIR. Stop it with stop-cups.sh DIR. Clients also need HOME pointed at a
# private folder, since per-user defaults go to $HOME/.cups/lpoptions; set
# CUPS_SERVERROOT=DIR/etc too, so that client settings come from DIR.
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

# Backends and filters run as user lp when the scheduler runs as root: they
# must reach the programs, the queue descriptions, the spool and the capture
# folders. When DIR lies in a folder closed to other users (mktemp -d makes
# such folders), the state lives in an open folder of its own instead, reached
# through links in DIR, and stop-cups.sh removes that folder.
open_to_lp() {
  up=$1
  while [ "$up" != "/" ]; do
    [ "$(( $(stat -c '0%a' "$up") & 1 ))" -eq 1 ] || return 1
    up=$(dirname "$up")
  done
  return 0
}
chmod 755 "$D"
work="$D"
if [ "$(id -u)" -eq 0 ] && ! open_to_lp "$(dirname "$D")"; then
  work=$(mktemp -d /tmp/kx-cups-XXXXXX)
  chmod 755 "$work"
  echo "$work" > "$D/public-folder"
fi
for sub in etc lib cache run log spool out home; do
  mkdir -p "$work/$sub"
  if [ "$work" != "$D" ]; then ln -sfn "$work/$sub" "$D/$sub"; fi
done
mkdir -p "$work/etc/ppd" "$work/lib/backend" "$work/spool/tmp" "$work/out/pdf" "$work/out/raw" "$work/out/office"
chmod 755 "$work/out"
chmod 1777 "$work/out/pdf" "$work/out/raw" "$work/out/office"

for sub in cgi-bin daemon driver filter monitor notifier; do
  if [ -e "/usr/lib/cups/$sub" ]; then ln -sfn "/usr/lib/cups/$sub" "$work/lib/$sub"; fi
done
for b in /usr/lib/cups/backend/*; do
  ln -sfn "$b" "$work/lib/backend/$(basename "$b")"
done
cp "$here/kxcapture" "$work/lib/backend/kxcapture"
chmod 755 "$work/lib/backend/kxcapture"

if [ "$(id -u)" -eq 0 ]; then
  run_as="User lp
Group lp
SystemGroup root"
else
  run_as="SystemGroup $(id -gn)"
fi
cat > "$work/etc/cups-files.conf" <<CONF
ServerRoot $work/etc
ServerBin $work/lib
RequestRoot $work/spool
TempDir $work/spool/tmp
CacheDir $work/cache
StateDir $work/run
ErrorLog $work/log/error_log
AccessLog $work/log/access_log
PageLog $work/log/page_log
$run_as
CONF
cat > "$work/etc/cupsd.conf" <<CONF
Listen $work/run/cups.sock
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

cupsd -f -c "$work/etc/cupsd.conf" -s "$work/etc/cups-files.conf" </dev/null >>"$work/log/cupsd.out" 2>&1 &
echo $! > "$D/cupsd.pid"

export CUPS_SERVER="$SOCK" CUPS_SERVERROOT="$work/etc" HOME="$work/home"
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
admin lpadmin -p kx-pdf -E -v "kxcapture:$work/out/pdf" -P "$here/kx-pdf.ppd" \
  -D "PDF capture" -L "Test bench"
admin lpadmin -p kx-raw -E -v "kxcapture:$work/out/raw" -P "$here/kx-raw.ppd" \
  -D "Raw capture" -L "Test bench"
admin lpadmin -p kx-stopped -E -v "kxcapture:$work/out/raw" -P "$here/kx-raw.ppd" \
  -D "Stopped queue"
admin cupsdisable -r "Stopped for maintenance" kx-stopped
admin lpadmin -p kx-offline -E -v "socket://127.0.0.1:9" -P "$here/kx-raw.ppd" \
  -D "Unreachable device"
admin lpadmin -p kx-office -E -v "kxcapture:$work/out/office" -P "$here/kx-office.ppd" \
  -D "Office printer" -L "Test bench"
admin lpadmin -d kx-pdf

echo "$SOCK"
