# The steps of the main commands (tools/capture.sh, tools/build.sh), sourced
# by both from the repository's root. Each step prints a line
# ("==> [12s] STEP: what"); a failure prints "error: STEP: REASON" and exits 1.

source tools/lib/usage.sh

root="$(pwd)"
run="$root/build/run"
current="start"
started=$(date +%s)
step() { current="$1"; echo "==> [$(( $(date +%s) - started ))s] $1: $2"; }
fail() { echo "error: $current: $*" >&2; exit 1; }

# --- the command line: [--quick] [--hotkey] [--locale NAME] [--out FILE] [URL]
quick=0; hotkey=(); out=""; url=""; locale=""
parse_arguments() {
  while [ $# -gt 0 ]; do
    case "$1" in
      --quick) quick=1 ;;
      --hotkey) hotkey=(--hotkey) ;;
      --out) [ $# -ge 2 ] || { echo "error: arguments: --out needs a file" >&2; exit 2; }; out="$2"; shift ;;
      --locale) [ $# -ge 2 ] || { echo "error: arguments: --locale needs a name" >&2; exit 2; }; locale="$2"; shift ;;
      -h|--help) usage_of "$0"; exit 0 ;;
      -*) echo "error: arguments: unknown option $1" >&2; exit 2 ;;
      *) [ -z "$url" ] || { echo "error: arguments: one URL only" >&2; exit 2; }; url="$1" ;;
    esac
    shift
  done
  if [ -n "$url" ] && ! [[ "$url" =~ ^https?://[^/[:space:]]+ ]]; then
    echo "error: arguments: not an http or https URL: $url" >&2
    exit 2
  fi
}

server_pid=""; xvfb_pid=""; staging=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  [ -n "$staging" ] && rm -rf "$staging"
  [ -f "${WINEPREFIX:-/nonexistent}/system.reg" ] && wineserver -k 2>/dev/null
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- where the archive goes: checked first, so nothing runs for a path that cannot be written
check_output() {
  step "output" "checking where the archive goes"
  if [ -z "$out" ]; then
    # A name that needs no quoting in a shell: letters, digits, ".", "_" and "-".
    local name="Sample-site"
    [ -z "$url" ] || name="$(echo "$url" | sed -E 's#^https?://##; s#[^A-Za-z0-9._-]+#_#g' | cut -c1-80)"
    out="$run/archives/$name-$(date +%Y%m%d-%H%M%S).mht"
  fi
  case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
  outdir="$(dirname "$out")"
  mkdir -p "$outdir" 2>/dev/null || fail "cannot create the folder $outdir"
  [ -d "$outdir" ] && [ -w "$outdir" ] || fail "the folder $outdir cannot be written"
  [ ! -e "$out" ] || [ -f "$out" -a -w "$out" ] || fail "$out exists and cannot be replaced"
  # The host writes into a folder of this run beside $out, under the same file
  # name (the archive's title comes from it); only a complete archive is moved
  # to $out. Permission bits do not tell for root or special file systems: try it.
  staging="$outdir/.tarvik-capture-$$"
  mkdir "$staging" 2>/dev/null || fail "the folder $outdir cannot be written"
  partial="$staging/$(basename "$out")"
}

win="${TARVIK_WIN_BUILD:-$root/build/win}"  # another cross build tree (tests)
dll="$win/bin/TarvikCore.dll"
host="$win/bin/iexplore.exe"

# configure PRESET DIR: by the preset, into DIR; "again" as $3 configures an
# existing tree too (otherwise its own build step reconfigures what changed).
configure() {
  if [ "${3:-}" = again ] || [ ! -f "$2/CMakeCache.txt" ]; then
    cmake --preset "$1" -B "$2" >/dev/null || fail "cmake could not configure $2"
  fi
}

# --- install and build; "again" configures the build trees even when they exist
install_and_build() {
  if [ "$quick" -eq 1 ]; then
    step "build" "using the existing build in $win"
  else
    step "install" "packages (tools/setup.sh)"
    tools/setup.sh || fail "tools/setup.sh failed (see above)"
    local jobs="${TARVIK_JOBS:-$(nproc)}"
    step "build" "TarvikCore.dll and the browser host (mingw-w64)"
    configure win "$win" "${1:-}"
    cmake --build "$win" -j "$jobs" --target TarvikCore iexplore || fail "the cross build failed (see above)"
    step "build" "the native tools"
    configure native build/native "${1:-}"
    cmake --build --preset native -j "$jobs" || fail "the native build failed (see above)"
  fi
  [ -f "$dll" ] || fail "no $dll (run without --quick to build it)"
  [ -f "$host" ] || fail "no $host (run without --quick to build it)"
}

# --- a display for the host's windows, before any Wine program: every program
# of one Wine server must see the display its desktop started on
start_display() {
  step "display" "Xvfb"
  local n
  for n in $(seq 310 399); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
    if [ -S "/tmp/.X11-unix/X$n" ]; then export DISPLAY=":$n"; break; fi
    kill "$xvfb_pid" 2>/dev/null; xvfb_pid=""
  done
  [ -n "$xvfb_pid" ] || fail "no Xvfb display could be started"
  echo "    display $DISPLAY"
}

# --- the locale, made here: it gives the Wine programs their ANSI code page
make_locale() {
  [ -n "$locale" ] || return 0
  step "locale" "$locale.UTF-8 in build/run/locale"
  local localedir="$run/locale/$locale.UTF-8"
  if [ ! -f "$localedir/LC_CTYPE" ]; then
    mkdir -p "$run/locale"
    localedef -c -i "$locale" -f UTF-8 "$localedir" >/dev/null 2>&1
  fi
  [ -f "$localedir/LC_CTYPE" ] || fail "cannot make the locale $locale.UTF-8 (is the package locales installed?)"
  export LOCPATH="$run/locale"
  # This shell itself keeps its locale (it read LOCPATH at its start); what it runs gets the new one.
  { export LC_ALL="$locale.UTF-8" LANG="$locale.UTF-8"; } 2>/dev/null
}

# --- a Wine prefix of the main command's own, with the library registered
app="$run/app"
register() {
  step "register" "TarvikCore.dll in the Wine prefix build/run/wineprefix"
  export WINEPREFIX="$run/wineprefix" WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$run"
    wineboot -i >/dev/null 2>&1 || fail "wineboot could not create $WINEPREFIX"
  fi
  # A server left from a run on another display would refuse our windows.
  wineserver -k >/dev/null 2>&1
  wineserver -p5 </dev/null >/dev/null 2>&1
  # The host and the library side by side in a folder of their own: the
  # preferences file lands beside the host, not in the build tree.
  local stamp="$app/registered"
  mkdir -p "$app" || fail "cannot create $app"
  cmp -s "$host" "$app/iexplore.exe" || cp -f "$host" "$app/" || fail "cannot copy the programs to $app"
  # The same library registered by an earlier run stays so (the registry
  # still names it: nothing has unregistered it since).
  if [ -f "$stamp" ] && cmp -s "$dll" "$app/TarvikCore.dll" && grep -qF 'app\\TarvikCore.dll' "$WINEPREFIX/system.reg"; then
    echo "    registered already"
    return 0
  fi
  rm -f "$stamp"
  cp -f "$dll" "$app/" || fail "cannot copy the programs to $app"
  wine regsvr32 /s "$app/TarvikCore.dll" </dev/null >/dev/null 2>&1
  local code=$?
  case $code in
    0) ;;
    3) fail "regsvr32 could not load $app/TarvikCore.dll (exit code 3)" ;;
    4|5) fail "TarvikCore.dll refused to register (regsvr32 exit code $code)" ;;
    *) fail "regsvr32 failed with exit code $code" ;;
  esac
  : >"$stamp"
}

# --- the sample site, unless a URL was given (the server also serves the guide)
serve() {
  step "serve" "the sample site on 127.0.0.1"
  mkdir -p "$run"
  local port_file="$run/server.port.$$"
  rm -f "$port_file"
  python3 tools/site-server.py --port-file "$port_file" --watch-pid $$ --lifetime 3600 \
    --log "$run/server.log" </dev/null >/dev/null 2>"$run/server.err" &
  server_pid=$!
  for _ in $(seq 200); do
    [ -s "$port_file" ] && break
    kill -0 "$server_pid" 2>/dev/null || fail "the server stopped: $(tail -1 "$run/server.err")"
    sleep 0.05
  done
  [ -s "$port_file" ] || fail "the server did not start within 10 s"
  base="http://127.0.0.1:$(cat "$port_file")"
  rm -f "$port_file"
  echo "    serving $base/"
  target="${url:-$base/start}"
}

# capture_page URL FILE: the host's capture; relays its lines; fails with its error line.
capture_page() {
  local page="$1" file="$2" log="$run/host.log" code reason
  wine "$app/iexplore.exe" --capture "$file" "${hotkey[@]}" --timeout 600 "$page" </dev/null 2>/dev/null |
    tr -d '\r' | tee "$log" | sed 's/^/    /'
  code=${PIPESTATUS[0]}
  if grep -qE '^step: .*HTTP [45][0-9][0-9]' "$log"; then
    echo "warning: $(grep -oE 'HTTP [45][0-9][0-9]' "$log" | head -1) for $page: the archive holds that error page" >&2
  fi
  if [ "$code" -ne 0 ] || [ ! -s "$file" ]; then
    reason="$(grep -m1 '^error: ' "$log" | sed 's/^error: //')"
    fail "${reason:-the host ended with exit code $code and wrote no archive}"
  fi
}

# --- the capture itself, what the archive holds, and its offline render
capture_and_render() {
  step "capture" "$target (two clicks, the save dialog, the success box)"
  [ ${#hotkey[@]} -eq 0 ] || echo "    with Ctrl+W instead of clicks"
  capture_page "$target" "$partial"
  mv -f "$partial" "$out" || fail "cannot move the archive to $out"

  step "archive" "what it holds"
  wine "$app/iexplore.exe" "$out" </dev/null 2>/dev/null | tr -d '\r' | sed 's/^/    /'
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail "the host cannot read $out back"
  parts=$(python3 -c 'import email,email.policy,sys; m=email.message_from_binary_file(open(sys.argv[1],"rb"),policy=email.policy.default); print(len(list(m.iter_parts())))' "$out") ||
    fail "Python's email package cannot read $out"

  step "render" "the archive offline with headless Chromium"
  shot="${out%.*}.png"
  local profile
  profile="$(mktemp -d)"
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --hide-scrollbars --user-data-dir="$profile" \
    --window-size=1024,768 --screenshot="$shot" "file://$out" >/dev/null 2>"$run/chromium.err"
  rm -rf "$profile"
  [ -s "$shot" ] || fail "chromium made no picture: $(grep -v -i dbus "$run/chromium.err" | tail -1)"
}

summary() {
  echo
  echo "archive: $out"
  echo "parts: $parts"
  echo "bytes: $(stat -c %s "$out")"
  echo "picture: $shot"
}
