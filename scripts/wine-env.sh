# Sourced by the build and test scripts: one Wine prefix inside the build
# tree, quiet Wine, and helpers to create the prefix and hold the server.
NRV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
NRV_BUILD="${NRV_BUILD:-$NRV_ROOT/build}"
export WINEPREFIX="$NRV_BUILD/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH=win64
# No Mono or Gecko installer dialogs; nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
NRV_WINE32=/usr/lib/wine/wine
NRV_WINE64=/usr/lib/wine/wine64

nrv_ensure_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    echo "wine: creating prefix $WINEPREFIX"
    "$NRV_WINE64" wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
}

# Keeps one Wine server up until nrv_stop_wineserver, with Wine's own
# background processes (services, device hosts) already started: started by
# a test instead, they would inherit its output pipes and hold the test
# runner waiting for them.
nrv_start_wineserver() {
  wineserver -p
  "$NRV_WINE64" cmd /c exit </dev/null >/dev/null 2>&1 || true
}
nrv_stop_wineserver() { wineserver -k 2>/dev/null || true; }
