#!/usr/bin/env bash
# Builds the 32-bit Windows host (build-win32/kestrix-host.exe) and its
# installer (build-win32/kestrix-setup.exe, with makensis) with
# mingw-w64 and runs its tests under wine, in a private wine prefix with a
# null graphics driver (no X server needed). Needs the packages of
# scripts/packages.txt (mingw-w64, wine, wine32 with the i386 architecture).
#   scripts/build-win32.sh            build and test
#   scripts/build-win32.sh --no-test  build only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
deps=$root/build-win32-deps
build=$root/build-win32
jobs=${JOBS:-2}
# The installer is part of the build: makensis must be there.
command -v makensis >/dev/null || { echo "build-win32.sh: makensis is missing (apt-get install nsis)" >&2; exit 1; }

# jsoncpp has no mingw build in Debian: build Debian's own source package with
# the toolchain. The source comes through a private apt configuration (its own
# sources list with a deb-src line for this machine's suite, its own lists and
# cache), so the machine's apt setup is not touched.
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
apt=$deps/apt
aptopts=(-o "Dir::Etc::sourcelist=$apt/sources.list" -o Dir::Etc::sourceparts=- -o "Dir::State::Lists=$apt/lists"
         -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
apt_update() {
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$deps/src"
  printf 'deb-src http://deb.debian.org/debian %s main\n' "$@" >"$apt/sources.list"
  apt-get "${aptopts[@]}" update -qq
}
jsoncpp=$deps/jsoncpp
if [ ! -f "$jsoncpp/lib/cmake/jsoncpp/jsoncppConfig.cmake" ]; then
  apt_update "$suite"
  (cd "$deps/src" && apt-get "${aptopts[@]}" source -qq libjsoncpp)
  src=$(find "$deps/src" -maxdepth 1 -type d -name 'libjsoncpp-*' | head -1)
  cmake -S "$src" -B "$deps/jsoncpp-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$jsoncpp" -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
    -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
    -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_CMAKE_PACKAGE=ON >/dev/null
  cmake --build "$deps/jsoncpp-build" -j"$jobs" --target install >/dev/null
fi

# The embedded-browser stand-in's engines, for the test of the page on
# Windows: Duktape and gumbo from Debian's source packages (the upstream
# tarballs; the build compiles their C files itself). Where the archive has
# no tarball of this suite's version (gumbo, here), the next suite's is taken.
standin=$deps/standin
if [ ! -f "$standin/duktape/src/duktape.c" ] || [ ! -f "$standin/gumbo/src/parser.c" ]; then
  rm -rf "$standin" && mkdir -p "$standin/dl"
  apt_update "$suite" trixie
  fetch_orig() {  # package, then where to unpack its upstream tarball
    local pkg=$1 dest=$2 release
    for release in "$suite" trixie; do
      (cd "$standin/dl" && apt-get "${aptopts[@]}" source -qq --download-only "$pkg/$release" >/dev/null 2>&1) || true
      local orig
      orig=$(find "$standin/dl" -maxdepth 1 -name "${pkg}_*.orig.tar.*" | head -1)
      if [ -n "$orig" ]; then
        mkdir -p "$dest" && tar -xf "$orig" -C "$dest" --strip-components=1
        return 0
      fi
    done
    echo "no source tarball of $pkg" >&2
    return 1
  }
  fetch_orig duktape "$standin/duktape"
  fetch_orig gumbo-parser "$standin/gumbo"
fi

# ccache, where installed, keeps unchanged files from being compiled again.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" "${launcher[@]}" \
  -Djsoncpp_DIR="$jsoncpp/lib/cmake/jsoncpp" -DKX_STANDIN_SOURCES="$standin" \
  -DKESTRIX_WERROR=ON -DKESTRIX_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs"
[ "${1:-}" = "--no-test" ] && exit 0

# The wine prefix: 32-bit, no graphics driver, made once.
export WINEPREFIX=$deps/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree="
# The stamp names the settings below: a prefix made with fewer is set up again.
stamp=$WINEPREFIX/kestrix-settings-2
if [ ! -f "$stamp" ]; then
  [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  # The copies of the host that run as on XP (major version 5): the launcher and the relay.
  for exe in kestrix-host-xp.exe kestrix-host-page-xp.exe; do
    wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe" /v Version /d winxp /f >/dev/null 2>&1
  done
  wineserver -w
  touch "$stamp"
fi
# Wine's spooler reaches the test scheduler through the 32-bit libcups, which
# wine's libraries only recommend.
if ! dpkg-query -W -f='${Status}' libcups2:i386 2>/dev/null | grep -q 'ok installed'; then
  echo "build-win32.sh: libcups2:i386 is missing: wine's spooler cannot see the test printers (apt-get install libcups2:i386)" >&2
  exit 1
fi
ctest --test-dir "$build" -j"$jobs" --output-on-failure

# The installer in a 64-bit prefix, where HKLM has two registry views
# (Debian's wine64; about 35 s with a new prefix).
if [ -x /usr/lib/wine/wine64 ]; then
  tests/win32/setup64.sh "$build" "$deps/wineprefix64"
else
  echo "build-win32.sh: wine64 is not installed: the installer's 64-bit registry views are not tested" >&2
fi
