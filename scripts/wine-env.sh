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

# Whether this machine runs 32-bit programs: some kernels are built or booted
# without IA-32 emulation, and then the 32-bit Wine loader cannot start
# ("Exec format error"). A loader that only starts through a binfmt_misc
# emulator (qemu-i386) counts as not running them: every Wine process would
# cost about a minute of emulated start-up. NRV_X86 caches the answer (1 or 0).
nrv_x86_runs() {
  if [ -z "${NRV_X86:-}" ]; then
    NRV_X86=0
    if "$NRV_WINE32" --version >/dev/null 2>&1; then
      NRV_X86=1
      local entry
      for entry in /proc/sys/fs/binfmt_misc/*; do
        [ -f "$entry" ] && grep -qx enabled "$entry" 2>/dev/null &&
          grep -q '^interpreter .*qemu-i386' "$entry" 2>/dev/null && NRV_X86=0
      done
    fi
    export NRV_X86
  fi
  [ "$NRV_X86" = 1 ]
}

nrv_ensure_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    echo "wine: creating prefix $WINEPREFIX"
    "$NRV_WINE64" wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  nrv_ensure_fonts
}

# The faces the self-extractor names that Wine does not have, mapped to the
# Debian fonts scripts/setup-host.sh installs: the Japanese banner face
# "MS PMincho" and the banner's "Times New Roman". The dialogs' "MS Shell Dlg"
# becomes DejaVu Sans instead of Wine's Tahoma: Wine shapes Hebrew, Arabic and
# Thai text (DrawText, Uniscribe) with the glyphs of the selected font only,
# never with a linked one, and its Tahoma has no Hebrew or Thai (Windows'
# has). DejaVu Sans has Latin, Greek, Cyrillic, Hebrew and Arabic; it links
# to IPA P Gothic for Japanese (drawn without shaping, so the link serves)
# and to Loma for Thai, which Wine still draws as boxes: no Debian font has
# Thai beside the other scripts. Tahoma links to the same fonts.
nrv_ensure_fonts() {
  # Debian's Wine does not load its own fonts (fonts-wine) from their folder:
  # Tahoma is found in the prefix's Fonts folder.
  local font
  for font in /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf; do
    [ -f "$font" ] && ln -sf "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  done
  # The dialog face: DejaVu Sans with Loma's Thai merged in, made once per
  # build tree (scripts/make-dialog-font.py); DejaVu Sans alone when it
  # cannot be made (Thai then shows boxes).
  local dialog="DejaVu Sans" fonts="$NRV_BUILD/fonts"
  if [ -f "$fonts/NrvDialogSans-Bold.ttf" ] ||
    /usr/bin/python3 "$NRV_ROOT/scripts/make-dialog-font.py" "$fonts" >"$NRV_BUILD/fonts.log" 2>&1; then
    cp -f "$fonts"/NrvDialogSans-*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    dialog="NRV Dialog Sans"
  else
    echo "wine: the dialog face could not be made (see $NRV_BUILD/fonts.log); Thai will show boxes" >&2
  fi
  grep -q "^\"MS Shell Dlg\"=\"$dialog\"" "$WINEPREFIX/system.reg" 2>/dev/null &&
    grep -q '^"MS PMincho"="IPAPMincho"' "$WINEPREFIX/user.reg" 2>/dev/null && return 0
  local link='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
  local substitutes='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
  local fallbacks='ipagp.ttf,IPAPGothic\0Loma.ttf,Loma\0DejaVuSans.ttf,DejaVu Sans'
  {
    "$NRV_WINE64" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "MS PMincho" /d IPAPMincho /f
    "$NRV_WINE64" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "Times New Roman" /d "Liberation Serif" /f
    "$NRV_WINE64" reg add "$substitutes" /v "MS Shell Dlg" /d "$dialog" /f
    "$NRV_WINE64" reg add "$link" /v "$dialog" /t REG_MULTI_SZ /d "$fallbacks" /f
    "$NRV_WINE64" reg add "$link" /v Tahoma /t REG_MULTI_SZ /d "$fallbacks" /f
  } </dev/null >/dev/null 2>&1
  # The registry reaches the prefix's files when the server ends.
  timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || true
}

# One Xvfb display for a run's GUI tests (NRV_GUI_DISPLAY); other tests run
# without a display.
nrv_start_display() {
  local file
  file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$file" >/dev/null 2>&1 &
  NRV_XVFB_PID=$!
  for _ in $(seq 100); do [ -s "$file" ] && break; sleep 0.1; done
  export NRV_GUI_DISPLAY=":$(tr -d '[:space:]' <"$file")"
  rm -f "$file"
}
nrv_stop_display() {
  [ -n "${NRV_XVFB_PID:-}" ] && kill "$NRV_XVFB_PID" 2>/dev/null || true
}

# Keeps one Wine server up until nrv_stop_wineserver, with Wine's own
# background processes (services, device hosts, the desktop) already started:
# started by a test instead, they would inherit its output pipes and hold the
# test runner waiting for them, and a desktop started by a test without a
# display would leave the GUI tests without windows.
nrv_start_wineserver() {
  # A server left running in this prefix (an interrupted run, a developer's
  # session) is ended first: every run starts from the same state.
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  # What the server says (a fatal error ends it, and every Wine program with
  # it) is kept for the run's report.
  wineserver -p </dev/null >"$NRV_BUILD/wineserver.log" 2>&1
  local display=(env)
  [ -n "${NRV_GUI_DISPLAY:-}" ] && display=(env DISPLAY="$NRV_GUI_DISPLAY")
  "${display[@]}" "$NRV_WINE64" cmd /c exit </dev/null >/dev/null 2>&1 || true
  "${display[@]}" "$NRV_WINE64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
  # The first 32-bit program with a display loads the 32-bit graphics driver
  # and its caches; done here, it cannot time out inside a test.
  if nrv_x86_runs; then
    "${display[@]}" "$NRV_WINE32" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
  fi
}
# Waits (up to a minute) until 32- and 64-bit programs can create windows on
# the run's display: in a new prefix the desktop can take seconds to answer,
# and a program that asks too early gets no graphics driver for its life.
nrv_wait_for_desktop() {
  [ -n "${NRV_GUI_DISPLAY:-}" ] || return 0
  local arch loader probe
  for arch in x86 x64; do
    probe="$NRV_BUILD/$arch/bin/guiprobe.exe"
    [ -f "$probe" ] || continue
    loader=$NRV_WINE32
    [ "$arch" = x64 ] && loader=$NRV_WINE64
    [ "$arch" = x86 ] && ! nrv_x86_runs && continue
    for _ in $(seq 60); do
      DISPLAY="$NRV_GUI_DISPLAY" "$loader" "$probe" </dev/null >/dev/null 2>&1 && break
      sleep 1
    done
  done
}

nrv_stop_wineserver() { wineserver -k 2>/dev/null || true; }
