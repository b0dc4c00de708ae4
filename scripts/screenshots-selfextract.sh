#!/usr/bin/env bash
# scripts/screenshots-selfextract.sh
# The self-extractor on screen in its 23 languages: builds the x64 tree's
# extractor and dialog tests, runs the test that starts the real program
# with /LNG<LANGID> in each language under an Xvfb display of its own, turns
# its screenshots into PNGs in build/screenshots/selfextract (progress-<tag>
# and options-<tag>; not committed) and makes the contact sheet of the 23
# progress pages, selfextract/docs/languages.png (committed, in the README).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh
cmake --build "$NRV_BUILD/x64" --target selfextract sxsetup selfextract_dialog_tests guiprobe -- --quiet

bin="$NRV_BUILD/x64/bin"
out="$NRV_BUILD/screenshots/selfextract"
rm -rf "$bin/screenshots" "$out"
mkdir -p "$out"

nrv_ensure_prefix
unset DISPLAY
nrv_start_display
nrv_start_wineserver
trap 'nrv_stop_wineserver; nrv_stop_display' EXIT
nrv_wait_for_desktop
scripts/wine-run.sh --gui x64 "$bin/selfextract_dialog_tests.exe" \
  --gtest_filter='Dialogs.EveryLanguageOnScreen'

for bmp in "$bin"/screenshots/progress-*.bmp "$bin"/screenshots/options-*.bmp; do
  convert "$bmp" "$out/$(basename "${bmp%.bmp}").png"
done
# English first, then the others in the order of their LANGIDs.
tags=(en-US ar-SA cs-CZ da-DK de-DE el-GR es-ES fi-FI fr-FR he-IL hu-HU it-IT ja-JP
      nl-NL nb-NO pl-PL pt-BR ru-RU sk-SK sv-SE th-TH tr-TR id-ID)
pages=()
for tag in "${tags[@]}"; do pages+=("$out/progress-$tag.png"); done
montage -label '%t' -font DejaVu-Sans -pointsize 14 "${pages[@]}" -tile 3x -geometry +6+6 \
  -background white -strip "$out/languages.png"
cp "$out/languages.png" selfextract/docs/languages.png
echo "screenshots: $(ls "$out" | wc -l) files in $out; contact sheet selfextract/docs/languages.png"
