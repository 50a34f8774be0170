#!/usr/bin/env bash
# The main job, on a fresh Debian machine: installs what is needed, builds
# TarvikCore.dll and the browser host, registers the library in a Wine prefix
# of its own, serves the bundled sample site on 127.0.0.1, captures it in the
# host with two clicks on the toolbar (the real save dialog answered by
# typing the path), prints the archive's path, parts and bytes, renders it
# offline with headless Chromium, and builds the installer with
# "Getting Started.mht" (the guide page with a screenshot of the toolbar,
# captured by the host). tools/capture.sh does the same without the installer,
# configuring and installing only what is missing.
#
#   tools/build.sh [--quick] [--hotkey] [--locale NAME] [--out FILE.mht] [URL]
#
# URL: capture that page instead of the sample site (http or https).
# --quick: use the existing build (no install, no build, no installer).
# --hotkey: press Ctrl+W instead of clicking.
# --out: where the archive goes (default build/run/archives/NAME-DATE-TIME.mht).
# --locale: run the browser under that locale (ja_JP, zh_TW, zh_CN: code
#   pages 932, 950, 936), made into build/run/locale by this command.
# A failure prints "error: STEP: REASON" and exits 1 (2 for bad arguments);
# an existing file at --out is replaced only by a complete archive.
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/lib/main-command.sh

parse_arguments "$@"
check_output
install_and_build again
start_display
make_locale
register
serve
capture_and_render

if [ "$quick" -eq 0 ] && [ -z "$url" ]; then
  step "guide" "Getting Started.mht: the toolbar's screenshot, then the guide page captured"
  guide="$run/Getting Started.mht"
  # The guide's maker runs Wine programs through a wine-run of this prefix, as under ctest.
  sed -e "s#@TARVIK_WINEPREFIX@#$WINEPREFIX#" -e "s#@CMAKE_BINARY_DIR@#$run#" cmake/wine-run.sh.in >"$run/wine-run" &&
    chmod +x "$run/wine-run" || fail "cannot write $run/wine-run"
  python3 tests/e2e/capture_guide.py "$run/wine-run" "$app/iexplore.exe" "$app/TarvikCore.dll" "$guide" |
    sed 's/^/    /'
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "the guide could not be made (see above)"
  step "installer" "TarvikSetup.exe"
  tools/make-installer.sh "$dll" "$guide" "$win/bin/TarvikSetup.exe" >/dev/null ||
    fail "makensis could not build the installer (see above)"
  echo "    installer: $win/bin/TarvikSetup.exe"
fi

summary
