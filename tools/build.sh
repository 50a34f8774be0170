#!/usr/bin/env bash
# The main job: installs what is needed, builds TarvikCore.dll (and its test
# programs) with mingw-w64, and the native build of the Windows-free logic.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
tools/setup.sh
jobs="${TARVIK_JOBS:-$(nproc)}"

cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/win -j "$jobs"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$jobs"

dll="$root/build/win/bin/TarvikCore.dll"
echo
echo "Built $dll"
file "$dll" 2>/dev/null || true
