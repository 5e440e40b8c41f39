#!/usr/bin/env bash
# kestrix-setup.exe in a 64-bit wine prefix, where HKLM\Software has two
# registry views: per user (HKCU, one view for both) and for every user
# (/ALLUSERS: Program Files (x86), HKLM keys in the 32-bit and the 64-bit
# view, since a browser reads the view of its choosing). Installs silently,
# looks for every browser's key in both views, uninstalls, and checks that no
# key and no folder is left.
#   tests/win32/setup64.sh <build folder> <prefix folder>
set -euo pipefail
build=$1
export WINEPREFIX=$2 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree="
wine64=/usr/lib/wine/wine64
fail() { echo "setup64: $*" >&2; exit 1; }
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine64" wineboot -i >/dev/null 2>&1
  "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
fi
drive=$WINEPREFIX/drive_c
user=$(id -un)
browsers=('Chromium' 'Google\Chrome' 'Microsoft\Edge' 'Mozilla')
has_key() {  # root, browser, view
  "$wine64" reg query "$1\\Software\\$2\\NativeMessagingHosts\\com.kestrix.host" "/reg:$3" >/dev/null 2>&1
}

for scope in user machine; do
  if [ "$scope" = machine ]; then
    option=/ALLUSERS root=HKLM folder="$drive/Program Files (x86)/Kestrix" manifests="$drive/ProgramData/Kestrix"
    uninstaller='C:\Program Files (x86)\Kestrix\uninstall.exe'
  else
    option= root=HKCU folder="$drive/users/$user/AppData/Local/Programs/Kestrix"
    manifests="$drive/users/$user/AppData/Local/Kestrix"
    uninstaller="C:\\users\\$user\\AppData\\Local\\Programs\\Kestrix\\uninstall.exe"
  fi
  [ ! -e "$folder" ] || fail "$scope: installed before the test"
  "$wine64" "$build/kestrix-setup.exe" /S $option || fail "$scope: the installer failed"
  [ -f "$folder/kestrix-host.exe" ] || fail "$scope: no host in $folder"
  for browser in "${browsers[@]}"; do
    for view in 32 64; do
      has_key "$root" "$browser" "$view" || fail "$scope: no key for $browser in the $view-bit view"
    done
    [ "$scope" = user ] || ! has_key HKCU "$browser" 64 || fail "every user: a key under HKCU"
  done
  # The uninstaller copies itself away and returns at once: its work is
  # awaited by looking for the folder, with a deadline.
  "$wine64" "$uninstaller" /S $option || fail "$scope: the uninstaller failed"
  for _ in $(seq 600); do [ -e "$folder" ] || break; sleep 0.1; done
  [ ! -e "$folder" ] || fail "$scope: $folder is left"
  [ ! -e "$manifests" ] || fail "$scope: $manifests is left"
  for browser in "${browsers[@]}"; do
    for view in 32 64; do
      ! has_key "$root" "$browser" "$view" || fail "$scope: the key for $browser is left in the $view-bit view"
    done
  done
  echo "setup64: $scope: installed, found in both views, uninstalled without a trace"
done
