#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy at the root) over the project's own sources in
# the compile databases of configured builds, prints each finding once and
# exits 1 if there is any (0 when clean, 2 when it could not run).
#   tools/tidy.sh [BUILD_DIR...]     default: build/native and build/win,
#                                    those that are configured
# A build configured without -DCMAKE_EXPORT_COMPILE_COMMANDS=ON is
# reconfigured with it (its cache is kept). For the mingw build, clang-tidy
# parses as i686-w64-mingw32 with the cross compiler's libstdc++ headers.
# TARVIK_JOBS: parallel runs (default: the number of processors).
# CLANG_TIDY: the binary (default clang-tidy-14, else clang-tidy).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

case "${1:-}" in
  -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac

. tools/llvm-tool.sh
tool=$(llvm_tool clang-tidy "${CLANG_TIDY:-}") || exit 2
jobs="${TARVIK_JOBS:-$(nproc)}"

builds=("$@")
if [ ${#builds[@]} -eq 0 ]; then
  for b in build/native build/win; do
    [ -f "$b/CMakeCache.txt" ] && builds+=("$b")
  done
  if [ ${#builds[@]} -eq 0 ]; then
    echo "tidy: no configured build (configure build/native or build/win as tools/test-all.sh does)" >&2
    exit 2
  fi
fi

own="^$root/(src|host|tests|tools|bench|fuzz)/"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
for b in "${builds[@]}"; do
  b="${b%/}"
  if [ ! -f "$b/CMakeCache.txt" ]; then
    echo "tidy: $b is not a configured build" >&2
    exit 2
  fi
  if [ ! -f "$b/compile_commands.json" ]; then
    cmake -S . -B "$b" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null || { echo "tidy: reconfiguring $b failed" >&2; exit 2; }
  fi
  # The compiler, then the project's C++ translation units (not googletest's,
  # not resources).
  mapfile -t units < <(python3 - "$b/compile_commands.json" "$own" <<'PY'
import json, re, shlex, sys
own = re.compile(sys.argv[2])
seen = []
compiler = ""
for entry in json.load(open(sys.argv[1])):
    f = entry["file"]
    if own.match(f) and f.endswith((".cpp", ".cc")) and f not in seen:
        seen.append(f)
        args = entry.get("arguments") or shlex.split(entry["command"])
        compiler = compiler or next(a for a in args if "ccache" not in a)
print(compiler)
print("\n".join(seen))
PY
)
  cxx="${units[0]}"
  units=("${units[@]:1}")
  extra=()
  case "$cxx" in
    *mingw32*)
      target=$("$cxx" -dumpmachine)
      extra+=("--extra-arg-before=--target=$target" "--extra-arg=-nostdinc++")
      # libstdc++ as the cross compiler sees it (the posix-thread variant).
      while read -r dir; do
        extra+=("--extra-arg=-isystem$dir")
      done < <("$cxx" -xc++ -E -v /dev/null 2>&1 | sed -n '/#include <...>/,/End of search/p' | grep '/c++' | sed 's/^ *//')
      ;;
  esac
  echo "tidy: $b: ${#units[@]} files" >&2
  printf '%s\n' "${units[@]}" | xargs -d '\n' -n 1 -P "$jobs" "$tool" -p "$b" --quiet \
    --header-filter="$own" "${extra[@]}" >>"$log" 2>&1 || status=2
done

# Headers are seen from many files: each finding once, paths from the root.
findings=$(grep -E '^/.+:[0-9]+:[0-9]+: (warning|error): ' "$log" | sed "s|^$root/||" | sort -u)
if [ -n "$findings" ]; then
  printf '%s\n' "$findings"
  echo "tidy: $(printf '%s\n' "$findings" | wc -l) finding(s)" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  grep -v '^[0-9]* warnings\? generated\|^Suppressed\|^Use -header-filter\|NOLINT' "$log" | head -30 >&2
  echo "tidy: clang-tidy failed" >&2
  exit 2
fi
echo "tidy: clean" >&2
exit 0
