#!/usr/bin/env bash
# The format check of the test command: exits 0 when every tracked C++ file
# matches .clang-format, 1 listing the files that drift (tools/format.sh
# fixes them), 2 when clang-format is missing. Needs no build.
exec "$(dirname "$0")/format.sh" --check "$@"
