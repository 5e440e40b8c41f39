#!/usr/bin/env bash
# Runs the host in a real session: kestrix-client starts build/kestrix-host,
# sends it the requests below, answers its pings, and shows every request (>)
# and every reply, event and ping (<) on its own line. Builds what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/build.ninja ]; then cmake -S . -B build -G Ninja >/dev/null; fi
cmake --build build -j2 --target kestrix-host kestrix-client >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The host writes its bootstrap page to TMPDIR; keep it in the demo's folder.
export TMPDIR="$work"

echo "== a session with build/kestrix-host (the keepalive pings every 3 s; the client answers)"
build/kestrix-client --echo --pings --wait-ms 3500 \
  '{"method":"new","sender":{"tab":{"id":1},"url":"http://127.0.0.1/demo.html"}}' \
  '{"method":"getVersion","event":"version"}' \
  '{"method":"isImplemented","event":"implemented","params":["printToPDF"]}' \
  '{"method":"getPrinters","event":"printers"}' \
  '{"method":"getDefaultPrinter","event":"default"}' \
  "{\"method\":\"writeString\",\"event\":\"written\",\"params\":[\"$work/hello.txt\",\"Grüße from the demo\",\"utf-8\"]}" \
  "{\"method\":\"readString\",\"event\":\"read\",\"params\":[\"$work/hello.txt\",\"utf-8\"]}" \
  '{"method":"getAbsoluteURL","event":"url","params":["img/logo.png","http://127.0.0.1/shop/cart.html"]}' \
  '{"method":"setOffsetPage","event":"offset","params":["not a number"]}' \
  '{"method":"noSuchMethod","event":"nothing"}'
echo "== the host has ended (status $?)."
echo "   setOffsetPage with text where a number belongs and noSuchMethod got no reply, by design."
