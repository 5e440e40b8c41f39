#!/usr/bin/env bash
# The package as a machine gets it (CI; needs root): builds it with
# scripts/package.sh (lintian must report no errors), installs it with apt-get,
# runs the Chromium end-to-end test against the installed host through the
# system manifests and a managed policy (tests/e2e/run.mjs --installed: no
# build folder, no kestrix-install), then removes and purges it and checks
# that nothing of it is left, while an administrator's own policy stays.
# Where build/ has the programs (CI), the packed Firefox add-on is tried too.
# About 6 minutes on two cores from a cold compiler cache, most of it the build.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "check-package.sh: run it as root (it installs and removes the package)" >&2; exit 1; }
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -y "$@"; }

echo "== build: scripts/package.sh"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
bash scripts/package.sh >"$log" 2>&1 || { cat "$log"; exit 1; }
grep -E '^(==|[EWO]:)' "$log" || true
deb="$(ls dist/kestrix-host_*.deb)"
[ -f "$deb" ] || { echo "check-package.sh: no package in dist/" >&2; exit 1; }

# A copy left by an earlier run would hide what this package does.
if dpkg -s kestrix-host >/dev/null 2>&1; then apt_get purge kestrix-host >/dev/null; fi
echo "== install: apt-get install ./$deb"
apt_get install "./$deb" >/dev/null
files="$(mktemp)"
trap 'rm -f "$log" "$files"' EXIT
dpkg-query -L kestrix-host | grep -v '^/\.$' >"$files"
[ -s "$files" ] || { echo "check-package.sh: dpkg lists no files of kestrix-host" >&2; exit 1; }
conffiles="$(dpkg-query -W -f='${Conffiles}\n' kestrix-host | awk 'NF {print $1}')"
[ "$conffiles" = "/etc/kestrix/policy.example.json" ] || { echo "unexpected conffiles: $conffiles" >&2; exit 1; }
[ ! -e /etc/kestrix/policy.json ] || { echo "the package made a policy active" >&2; exit 1; }

echo "== end to end against the installed package (node tests/e2e/run.mjs --installed)"
status=0
env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin node tests/e2e/run.mjs --installed || status=$?

# Whatever is left of the package: files and links at all, folders that no
# other installed package owns.
leftovers() {
  local keep="$1" path
  while IFS= read -r path; do
    [ "$path" = "$keep" ] && continue
    if [ -L "$path" ] || [ -f "$path" ]; then echo "$path"
    elif [ -d "$path" ] && ! dpkg-query -S "$path" >/dev/null 2>&1; then echo "$path/"; fi
  done <"$files"
}
echo "== remove: only the configuration file stays"
apt_get remove kestrix-host >/dev/null
left="$(leftovers /etc/kestrix/policy.example.json | grep -v '^/etc/kestrix/$' || true)"
[ -z "$left" ] || { echo "left after removal:"; echo "$left"; status=1; }
[ -f /etc/kestrix/policy.example.json ] || { echo "removal took the configuration file"; status=1; }

echo "== purge: nothing of the package stays; the administrator's own policy does"
printf '{"allow": {"http://127.0.0.1:*": "all", "http://localhost:*": "all"}}\n' >/etc/kestrix/policy.json
apt_get purge kestrix-host >/dev/null 2>&1
left="$(leftovers "" | grep -v '^/etc/kestrix/$' || true)"
[ -z "$left" ] || { echo "left after purge:"; echo "$left"; status=1; }
[ -f /etc/kestrix/policy.json ] || { echo "purge took the administrator's own policy"; status=1; }
rm -f /etc/kestrix/policy.json
rmdir /etc/kestrix
if [ -x build/kestrix-host ] && [ -x build/kestrix-install ] && [ -x /usr/bin/firefox-esr ]; then
  echo "== the packed add-on in Firefox ESR, with build/kestrix-host (node tests/e2e/firefox.mjs --xpi)"
  node tests/e2e/firefox.mjs --build build --xpi "$(ls dist/kestrix-extension_*.xpi)" || status=$?
fi
[ "$status" = 0 ] && echo "== the package installs, works, and leaves nothing behind"
exit "$status"
