# Sourced by tools/format.sh and tools/tidy.sh.
# llvm_tool NAME [CHOSEN]: prints the binary to run: CHOSEN when given, else
# NAME-14 (the version .clang-format and .clang-tidy are written for), else
# NAME. Returns 2, saying so, when there is none.
llvm_tool() {
  local name="$1" tool="${2:-}" t
  if [ -z "$tool" ]; then
    for t in "$name-14" "$name"; do
      command -v "$t" >/dev/null 2>&1 && { tool="$t"; break; }
    done
  fi
  if [ -z "$tool" ] || ! command -v "$tool" >/dev/null 2>&1; then
    echo "$name not found (tools/setup.sh installs it)" >&2
    return 2
  fi
  printf '%s\n' "$tool"
}
