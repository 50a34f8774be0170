#!/usr/bin/env bash
# Makes InterfaceStubs.h from the mingw-w64 headers (gen_stubs.py) in the
# tree's format (.clang-format).
#   host/standin/update_stubs.sh [--check] [INCLUDE_DIR]
#   --check   change nothing: print the difference and exit 1 when the file
#             is not what the generator makes now (0 when it is)
# Exit 2: bad arguments, no clang-format, or the generator failed.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
check=0
include=/usr/share/mingw-w64/include
for a in "$@"; do
  case "$a" in
    --check) check=1 ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "update_stubs: unknown option $a" >&2; exit 2 ;;
    *) include="$a" ;;
  esac
done

. "$root/tools/llvm-tool.sh"
tool=$(llvm_tool clang-format "${CLANG_FORMAT:-}") || exit 2
target="$here/InterfaceStubs.h"
made=$(mktemp)
trap 'rm -f "$made"' EXIT
if ! python3 "$here/gen_stubs.py" "$include" >"$made.raw"; then
  rm -f "$made.raw"; echo "update_stubs: gen_stubs.py failed" >&2; exit 2
fi
# Formatted as the file itself is, from the tree's root so that .clang-format applies.
(cd "$root" && "$tool" --style=file --assume-filename=host/standin/InterfaceStubs.h <"$made.raw" >"$made")
status=$?
rm -f "$made.raw"
[ $status -eq 0 ] || { echo "update_stubs: $tool failed" >&2; exit 2; }

if [ "$check" -eq 1 ]; then
  if diff -u "$target" "$made"; then
    echo "InterfaceStubs.h is what gen_stubs.py makes"
    exit 0
  fi
  echo "InterfaceStubs.h differs from what gen_stubs.py makes: run host/standin/update_stubs.sh" >&2
  exit 1
fi
cp "$made" "$target"
