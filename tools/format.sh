#!/usr/bin/env bash
# Applies .clang-format to the tracked C++ sources (*.cpp, *.h).
#   tools/format.sh            reformat in place
#   tools/format.sh --check    change nothing; list the files whose format
#                              drifts and exit 1 (0 when all are clean)
#   tools/format.sh [--check] FILE...   only those files
# The style is clang-format 14's reading of .clang-format; another version
# may format some lines differently, so CLANG_FORMAT picks the binary.
# Exit 2: bad arguments or no clang-format (tools/setup.sh installs it).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

check=0
files=()
for a in "$@"; do
  case "$a" in
    --check) check=1 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "format: unknown option $a" >&2; exit 2 ;;
    *) files+=("$a") ;;
  esac
done

. tools/llvm-tool.sh
tool=$(llvm_tool clang-format "${CLANG_FORMAT:-}") || exit 2

if [ ${#files[@]} -eq 0 ]; then
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
  else
    mapfile -d '' files < <(find src host tests tools bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) -print0)
  fi
fi
[ ${#files[@]} -gt 0 ] || exit 0

if [ "$check" -eq 0 ]; then
  printf '%s\0' "${files[@]}" | xargs -0 -n 16 -P "$(nproc)" "$tool" -i --style=file
  exit $?
fi

# One line per drifting file. --dry-run reports each difference as
# "FILE:LINE:COL: warning: code should be clang-formatted"; one per file is
# enough.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
printf '%s\0' "${files[@]}" | xargs -0 -n 64 "$tool" --style=file --dry-run --ferror-limit=1 >"$log" 2>&1
rc=$?
drift=$(grep -E '^.+:[0-9]+:[0-9]+: (warning|error): code should be clang-formatted' "$log" |
  sed -E 's/:[0-9]+:[0-9]+: (warning|error): .*//' | sort -u)
if [ "$rc" -ne 0 ]; then
  grep -v 'code should be clang-formatted' "$log" | head -20 >&2
  echo "format: $tool failed" >&2
  exit 2
fi
if [ -n "$drift" ]; then
  printf '%s\n' "$drift"
  echo "format: $(printf '%s\n' "$drift" | wc -l) file(s) differ from .clang-format; run tools/format.sh" >&2
  exit 1
fi
exit 0
