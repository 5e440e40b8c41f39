#!/usr/bin/env bash
# Runs the host in a real session: kestrix-client starts build/kestrix-host,
# sends it the requests below, answers its pings, and shows every request (>)
# and every reply, event and ping (<) on its own line. Builds what it needs
# (in build/, or in the folder KESTRIX_BUILD_DIR names). When CUPS is
# installed, a private scheduler with a few test queues runs for the session;
# nothing is left on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
# The Debian packages the build and the session need (scripts/packages-demo.txt);
# nothing is installed, and apt is not asked, when they are all there.
bash scripts/install-packages.sh scripts/packages-demo.txt
build="${KESTRIX_BUILD_DIR:-build}"
work="$(mktemp -d)"
cups_started=""
cleanup() {
  if [ -n "$cups_started" ]; then sh tests/control/cups/stop-cups.sh "$work/cups" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A build folder made here builds the programs only (scripts/test.sh turns the
# tests on in it when it runs).
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DKESTRIX_TESTS=OFF -DKESTRIX_BENCH=OFF >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
fi
# Every program of a session: the host, the job process it starts for
# printToPDF and print, the client and the installer.
cmake --build "$build" -j2 --target kestrix-programs >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

# The bootstrap page goes to TMPDIR, the control's files and settings under
# XDG_DATA_HOME and HOME: all inside the demo's folder.
mkdir -p "$work/home"
export TMPDIR="$work" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" HOME="$work/home"
if command -v cupsd >/dev/null 2>&1 || [ -x /usr/sbin/cupsd ]; then
  if CUPS_SERVER="$(sh tests/control/cups/start-cups.sh "$work/cups" 2>"$work/cups.log")"; then
    export CUPS_SERVER
    cups_started=1
    echo "== a private CUPS scheduler with the queues kx-pdf (default), kx-raw, kx-stopped, kx-offline"
  else
    echo "== (no private CUPS scheduler: $(tail -1 "$work/cups.log")); the printer list will be empty"
  fi
fi

echo "== a session with $build/kestrix-host (the keepalive pings every 3 s; the client answers)"
"$build/kestrix-client" --echo --pings --wait-ms 4000 \
  '{"method":"new","sender":{"tab":{"id":1},"url":"http://127.0.0.1/demo.html"}}' \
  '{"method":"getVersion","event":"version"}' \
  '{"method":"isImplemented","event":"implemented","params":["printToPDF"]}' \
  '{"method":"getPrinters","event":"printers"}' \
  '{"method":"getDefaultPrinter","event":"default"}' \
  '{"method":"writeString","event":"written","params":["demo/hello.txt","Grüße from the demo","utf-8"]}' \
  '{"method":"readString","event":"read","params":["demo/hello.txt","utf-8"]}' \
  '{"method":"getAbsoluteURL","event":"url","params":["img/logo.png","http://127.0.0.1/shop/cart.html"]}' \
  '{"method":"printToPDF","event":"pdf","params":[{"html":"<h1>Invoice 42</h1>","done":"pdfDone","onState":"pdfState","_hasCallback":true},"demo/invoice.pdf"]}' \
  '{"method":"print","params":[{"html":"<h1>Order 7</h1><p>printed through CUPS</p>","printer":"kx-pdf","title":"Order 7","done":"printDone","onState":"printState","_hasCallback":true},false]}' \
  '{"method":"setOffsetPage","event":"offset","params":["not a number"]}' \
  '{"method":"noSuchMethod","event":"nothing"}' && status=0 || status=$?
echo "== the host has ended (status $status)."
echo "   setOffsetPage (text where a number belongs) and noSuchMethod got no reply, by design."
if [ -n "$(find "$work/data" -name '*.pdf' 2>/dev/null)" ]; then
  echo "   printToPDF wrote: $(find "$work/data" -name '*.pdf' -printf '%P (%s bytes)\n')"
fi
if [ -n "$cups_started" ]; then
  # The print job goes on in its own process after the session: give it a moment.
  for _ in $(seq 1 150); do
    compgen -G "$work/cups/out/pdf/job-*.prn" >/dev/null && break
    sleep 0.1
  done
  for job in "$work"/cups/out/pdf/job-*.prn; do
    [ -f "$job" ] || continue
    echo "   the kx-pdf queue received: $(basename "$job") ($(stat -c %s "$job") bytes, starts with $(head -c 5 "$job"))"
  done
fi
[ "$status" -eq 0 ] || exit "$status"

# The same host as a browser meets it: headless Chromium loads the extension,
# a page on 127.0.0.1 uses the page library, the extension starts the host, and
# the page prints a PDF through it and reports back (the end-to-end test).
if command -v node >/dev/null 2>&1 && { [ -x /usr/lib/chromium/chromium ] || command -v chromium >/dev/null 2>&1; }; then
  echo
  echo "== a real page in headless Chromium, through the extension and the host"
  node tests/e2e/run.mjs --build "$build"
else
  echo "== (node or chromium missing: the browser part of the demo is skipped)"
fi
