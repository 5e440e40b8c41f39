#!/usr/bin/env bash
# kestrix-setup.exe in a 64-bit wine prefix, where HKLM\Software has two
# registry views: per user (HKCU, one view for both) and for every user
# (/ALLUSERS: Program Files (x86), HKLM keys in the 32-bit and the 64-bit
# view, since a browser reads the view of its choosing). Installs silently,
# looks for every browser's key in both views and for the printing control's
# class in the 32-bit view (a 32-bit in-process server; for every user not in
# the 64-bit view), uninstalls, and checks that no key and no folder is left.
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
control='Software\Classes\CLSID\{5E0A7C21-9B3D-4F18-A6C4-2D91E07B3F58}\InprocServer32'
control_server() {  # root, view: the control's registered DLL, empty when there is none
  "$wine64" reg query "$1\\$control" /ve "/reg:$2" 2>/dev/null | sed -n 's/.*REG_SZ *//p' | tr -d '\r'
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
  dll="${uninstaller%\\uninstall.exe}\\kestrix-control.dll"
  [ "$(control_server "$root" 32)" = "$dll" ] || fail "$scope: the control is not registered as $dll in the 32-bit view"
  if [ "$scope" = machine ]; then
    [ -z "$(control_server HKLM 64)" ] || fail "every user: the 32-bit control in the 64-bit view"
    [ -z "$(control_server HKCU 32)" ] || fail "every user: the control under HKCU"
  fi
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
  for view in 32 64; do
    [ -z "$(control_server "$root" "$view")" ] || fail "$scope: the control's class is left in the $view-bit view"
  done
  echo "setup64: $scope: installed, found in both views (the control in the 32-bit one), uninstalled without a trace"
done
