#!/usr/bin/env bash
# Builds what is released, into dist/:
#   dist/kestrix-host_<version>_<arch>.deb      the Debian package (checked by lintian)
#   dist/kestrix-extension_<version>.crx        the extension for Chromium and Chrome
#   dist/kestrix-extension_<version>.xpi        the add-on for Firefox (Mozilla signs it)
#   dist/managed/                               updates.xml and the browsers' policies
#
#   scripts/package.sh [--key KEY.pem] [--base-url URL] [--allow-id ID]...
#
# --key (or $KESTRIX_CRX_KEY): the publisher's RSA key that signs the .crx and
# so fixes its extension id. Without one, a key is made once for this checkout
# in build-package/ (never in dist/, never committed) and the id it gives is
# printed. The package's host manifests allow the bundled id (the unpacked
# extension) and the .crx's id, and each --allow-id (e.g. the id a store gave
# the extension). --base-url: where an administrator will serve the .crx, the
# .xpi and updates.xml (written into dist/managed/).
#
# The package is built by dpkg-buildpackage in a copy of the tree below
# build-package/, from the files git tracks (and new ones it does not ignore,
# but no .pem or .key file).
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"
key="${KESTRIX_CRX_KEY:-}"
base_url=""
extra_ids=()
while [ $# -gt 0 ]; do
  case "$1" in
    --key) key="$2"; shift 2 ;;
    --base-url) base_url="$2"; shift 2 ;;
    --allow-id) extra_ids+=("$2"); shift 2 ;;
    *) echo "usage: scripts/package.sh [--key KEY.pem] [--base-url URL] [--allow-id ID]..." >&2; exit 2 ;;
  esac
done

for tool in node dpkg-buildpackage dh lintian openssl; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (scripts/install-packages.sh installs it)" >&2; exit 1; }
done
version="$(sed -n 's/^project(kestrix-host VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
arch="$(dpkg-architecture -qDEB_HOST_ARCH)"
work="build-package"
mkdir -p "$work" dist

# ---- the packed extensions -----------------------------------------------------
if [ -z "$key" ]; then
  key="$work/crx-key.pem"
  if [ ! -f "$key" ]; then
    (umask 077 && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$key" 2>/dev/null)
  fi
  echo "== no publisher key given: the .crx is signed with this checkout's own key, $key"
fi
rm -rf dist/managed dist/kestrix-extension_*
packed="$(node packaging/pack-extension.mjs --source extension --out dist --key "$key" ${base_url:+--base-url "$base_url"})"
field() { node -e 'console.log(JSON.parse(process.argv[1])[process.argv[2]])' "$packed" "$1"; }
crx_id="$(field id)"
bundled_id="$(field bundled)"
echo "== dist/$(field crx): extension id $crx_id$([ "$crx_id" = "$bundled_id" ] && echo " (the bundled id)" || echo " (the bundled, unpacked one is $bundled_id)")"
echo "== dist/$(field xpi): add-on id $(field firefoxId) (unsigned: Mozilla signs it for release Firefox)"

# ---- the Debian package ---------------------------------------------------------
stage="$work/kestrix-host-$version"
rm -rf "$stage" "$work"/kestrix-host_* "$work"/kestrix-host-dbgsym_*
mkdir -p "$stage"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Never a key, wherever a publisher keeps theirs.
  git ls-files -z --cached --others --exclude-standard -- . ':!:*.pem' ':!:*.key' | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$stage"
else
  tar --exclude='./build*' --exclude=./dist -cf - . | tar -xf - -C "$stage"
fi
cp -r packaging/debian "$stage/debian"
mkdir -p "$stage/debian/extension"
cp dist/"$(field crx)" dist/"$(field xpi)" "$stage/debian/extension/"
cp -r dist/managed "$stage/debian/extension/managed"
printf '%s\n' "$bundled_id" "$crx_id" "${extra_ids[@]}" | awk '!seen[$0]++' >"$stage/debian/extension-ids"
# The changelog a native package carries, dated by the last commit.
when="$(git log -1 --format=%cD 2>/dev/null || date -R)"
commit="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
cat >"$stage/debian/changelog" <<EOF
kestrix-host ($version) unstable; urgency=medium

  * Release $version, built from commit $commit.

 -- Kestrix developers <packaging@kestrix-host.org>  $when
EOF

echo "== dpkg-buildpackage (log: $work/build.log)"
(cd "$stage" && DEB_BUILD_OPTIONS="noddebs parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; exit 1; }
deb="kestrix-host_${version}_${arch}.deb"
mv "$work/$deb" dist/
rm -f "$work"/kestrix-host_*.buildinfo "$work"/kestrix-host_*.changes

echo "== lintian dist/$deb"
lintian --display-info --show-overrides "dist/$deb" | tee "$work/lintian.log" || true
if grep -q '^E:' "$work/lintian.log"; then
  echo "package.sh: lintian reports errors" >&2
  exit 1
fi
echo "== built: dist/$deb ($(du -h "dist/$deb" | cut -f1)), $(dpkg-deb -f "dist/$deb" Depends)"
