#!/usr/bin/env bash
# Builds the installer TarvikSetup.exe with NSIS.
#   tools/make-installer.sh TarvikCore.dll "Getting Started.mht" OUT.exe
# The installer ships the library without its debug information, which stays
# beside the given library (TarvikCore.dll.debug; the shipped copy names it
# by a debug link). The version is the project's (top-level CMakeLists.txt).
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
for tool in makensis i686-w64-mingw32-objcopy; do
  command -v "$tool" >/dev/null || { echo "make-installer: $tool not found (tools/setup.sh installs it)" >&2; exit 1; }
done
version="$(sed -n 's/^project(TarvikCore VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || { echo "make-installer: no project version in CMakeLists.txt" >&2; exit 1; }

# The shipped copy, under the library's own name (the installer keeps it).
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
shipped="$work/$(basename "$dll")"
i686-w64-mingw32-objcopy --only-keep-debug "$dll" "$dll.debug"
i686-w64-mingw32-objcopy --strip-all --add-gnu-debuglink="$dll.debug" "$dll" "$shipped"

mkdir -p "$(dirname "$out")"
makensis -V2 -NOCD -DDLL="$shipped" -DGUIDE="$guide" -DOUTFILE="$out" -DVERSION="$version" \
  "$root/installer/TarvikSetup.nsi"
[ -s "$out" ] || { echo "make-installer: makensis wrote no $out" >&2; exit 1; }
echo "$out"
