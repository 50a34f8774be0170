#!/bin/sh
# regsvr32 of the built library in a Wine prefix made for this run alone,
# checked with reg query. Usage: FreshPrefixRegistration.sh DLL VERSION
set -u
dll="Z:$(echo "$1" | tr / '\\\\')"
prefix=$(mktemp -d /tmp/tarvik-fresh-prefix.XXXXXX)
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT
exec </dev/null
failures=0
check() {  # check DESCRIPTION COMMAND...
  d="$1"; shift
  if "$@" >/dev/null 2>&1; then echo "ok: $d"; else echo "FAILED: $d"; failures=$((failures + 1)); fi
}
has() { wine reg query "$1" $2 2>/dev/null | tr -d '\r' | grep -F REG_SZ | grep -qF -- "$3"; }  # KEY /ve|"/v NAME" DATA
gone() { ! wine reg query "$@" >/dev/null 2>&1; }

wineboot -i >/dev/null 2>&1 || { echo "FAILED: wineboot"; exit 1; }
toolbar='HKCR\CLSID\{7D6FD738-E14D-4E83-940A-EC63ADB0AADD}'
helper='HKCR\CLSID\{9AF9538C-CBA5-46E9-A5C7-6E44DBE06301}'
bho='HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{9AF9538C-CBA5-46E9-A5C7-6E44DBE06301}'
post='HKLM\Software\Microsoft\Windows\CurrentVersion\Internet Settings\5.0\User Agent\Post Platform'
token="http://www.tarvik.com/ (V$2)"

check "regsvr32" wine regsvr32 /s "$dll"
check "toolbar server" has "$toolbar\\InprocServer32" /ve "$dll"
check "toolbar threading" has "$toolbar\\InprocServer32" "/v ThreadingModel" Apartment
check "helper server" has "$helper\\InprocServer32" /ve "$dll"
check "helper ProgID" has 'HKCR\TarvikCore.CoBrowserHelper\Clsid' /ve '{9AF9538C-CBA5-46E9-A5C7-6E44DBE06301}'
check "helper object key" has "$bho" /ve "Tarvik Express BHO"
check "user-agent token" wine reg query "$post" /v "$token"
check "no toolbar list made" gone 'HKLM\Software\Microsoft\Internet Explorer\Toolbar'
check "regsvr32 /u" wine regsvr32 /s /u "$dll"
check "classes gone" gone "$toolbar"
check "helper object key gone" gone "$bho"
check "user-agent token gone" gone "$post" /v "$token"
check "second regsvr32 /u" wine regsvr32 /s /u "$dll"
echo "failures: $failures"
[ "$failures" -eq 0 ]
