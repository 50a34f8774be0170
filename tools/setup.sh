#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine:
# i386 multiarch, the mingw-w64 cross compiler, Wine (32-bit), Xvfb,
# GoogleTest/Benchmark, Chromium and Python for the archive readers,
# NSIS for the installer, locale data and a CJK font for the tests under
# Japanese and Chinese locales, and a documentation package that end-to-end
# tests capture as a site nobody here wrote, and openssl for the certificates
# an end-to-end test makes for its https server.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev python3 libgtest-dev googletest libgmock-dev libbenchmark-dev libssl-dev
  openssl
  g++-mingw-w64-i686 mingw-w64-tools wine wine32:i386
  xvfb xauth imagemagick x11-apps xdotool chromium
  nsis locales fonts-wqy-zenhei
  cmake-doc
  clang-format-14 clang-tidy-14
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}"
# A mirror caught mid-sync fails an update now and then: try again after a
# pause, then go on with the indexes there are.
for try in 1 2; do
  $SUDO apt-get update -qq && break
  echo "setup: apt-get update failed (try $try of 2)" >&2
  [ "$try" -eq 2 ] || sleep 30
done
install_missing() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "$@" install -y -qq "${missing[@]}" </dev/null >/dev/null
}
install_missing && exit 0
# A security suite whose i386 index was left out (mid-sync) holds amd64
# versions that no i386 package matches, and multiarch packages must: the
# release suites alone have both halves.
echo "setup: installing from the release suites alone" >&2
parts="$(mktemp -d)"
trap 'rm -rf "$parts"' EXIT
for f in /etc/apt/sources.list.d/*.sources; do
  if [ -e "$f" ]; then awk 'BEGIN { RS = ""; ORS = "\n\n" } !/-security/' "$f" >"$parts/$(basename "$f")"; fi
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  if [ -e "$f" ]; then grep -v -- '-security' "$f" >"$parts/$(basename "$f" .list).list" || true; fi
done
options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$parts")
$SUDO apt-get "${options[@]}" update -qq || true
install_missing "${options[@]}"
