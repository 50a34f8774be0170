#!/usr/bin/env bash
# Captures a page the way a user does: the first run installs what is
# needed, builds TarvikCore.dll and the browser host and registers the
# library in a Wine prefix of its own; later runs rebuild only what changed
# and skip what is installed and registered already. Then it serves the
# bundled sample site on 127.0.0.1, captures it in the host with two clicks
# on the toolbar (the real save dialog answered by typing the path), prints
# the archive's path, parts and bytes, and renders it offline with headless
# Chromium to a PNG beside it.
#
#   tools/capture.sh [URL] [--out FILE.mht] [--hotkey] [--locale NAME] [--quick]
#
# URL: capture that page instead of the sample site (http or https).
# --out: where the archive goes (default build/run/archives/NAME-DATE-TIME.mht).
# --hotkey: press Ctrl+W instead of clicking.
# --locale: run the browser under that locale (ja_JP, zh_TW, zh_CN: code
#   pages 932, 950, 936), made into build/run/locale by this command.
# --quick: use the existing build as it is (no install, no build).
# A failure prints "error: STEP: REASON" and exits 1 (2 for bad arguments);
# an existing file at --out is replaced only by a complete archive.
# tools/build.sh does the same and builds the installer too.
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/lib/main-command.sh

parse_arguments "$@"
check_output
install_and_build
start_display
make_locale
register
serve
capture_and_render
summary
