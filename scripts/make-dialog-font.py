#!/usr/bin/python3
# make-dialog-font.py OUTDIR
# Builds the test display's dialog face "NRV Dialog Sans" (regular and bold)
# into OUTDIR: DejaVu Sans (Latin, Greek, Cyrillic, Hebrew, Arabic) with the
# Thai glyphs of Loma merged in. Wine shapes Hebrew, Arabic and Thai with the
# selected face's own glyphs only, never a linked font's, so one face must
# hold them all. Needs python3-fontforge (Debian's python3, not a pyenv one).
import os
import sys

import fontforge

FACES = [
    ("Regular", "dejavu/DejaVuSans.ttf", "tlwg/Loma.ttf"),
    ("Bold", "dejavu/DejaVuSans-Bold.ttf", "tlwg/Loma-Bold.ttf"),
]
FAMILY = "NRV Dialog Sans"
RENAMED = ("Family", "Fullname", "UniqueID", "PostScriptName", "Preferred Family",
           "Compatible Full", "WWS Family")

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for style, base_file, thai_file in FACES:
    base = fontforge.open("/usr/share/fonts/truetype/" + base_file)
    thai = fontforge.open("/usr/share/fonts/truetype/" + thai_file)
    thai.em = base.em  # scales the glyphs to the base's units
    scaled = os.path.join(out, "thai-" + style + ".ttf")
    thai.generate(scaled)
    base.mergeFonts(scaled)  # glyphs the base already has are kept
    os.remove(scaled)
    full = FAMILY if style == "Regular" else FAMILY + " " + style
    base.fontname = "NrvDialogSans-" + style
    base.familyname = FAMILY
    base.fullname = full
    base.sfnt_names = tuple(n for n in base.sfnt_names if n[1] not in RENAMED)
    base.appendSFNTName("English (US)", "Family", FAMILY)
    base.appendSFNTName("English (US)", "Fullname", full)
    target = os.path.join(out, "NrvDialogSans-" + style + ".ttf")
    base.generate(target)
    check = fontforge.open(target)
    for code in (0x41, 0x3B1, 0x5D0, 0x627, 0xE01):
        if code not in check:
            sys.exit("make-dialog-font: U+%04X missing in %s" % (code, target))
