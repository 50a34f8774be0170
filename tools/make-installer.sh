#!/usr/bin/env bash
# Builds the installer TarvikSetup.exe with NSIS.
#   tools/make-installer.sh TarvikCore.dll "Getting Started.mht" OUT.exe
# The version is the project's (top-level CMakeLists.txt).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -ne 3 ]; then
  echo "usage: $0 TarvikCore.dll GETTING_STARTED.mht OUT.exe" >&2
  exit 2
fi
dll="$(realpath "$1")"; guide="$(realpath "$2")"; out="$(realpath -m "$3")"
for f in "$dll" "$guide"; do
  [ -s "$f" ] || { echo "make-installer: missing or empty: $f" >&2; exit 1; }
done
command -v makensis >/dev/null || { echo "make-installer: makensis not found (tools/setup.sh installs nsis)" >&2; exit 1; }
version="$(sed -n 's/^project(TarvikCore VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || { echo "make-installer: no project version in CMakeLists.txt" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
makensis -V2 -NOCD -DDLL="$dll" -DGUIDE="$guide" -DOUTFILE="$out" -DVERSION="$version" \
  "$root/installer/TarvikSetup.nsi"
[ -s "$out" ] || { echo "make-installer: makensis wrote no $out" >&2; exit 1; }
echo "$out"
