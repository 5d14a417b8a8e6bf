#!/usr/bin/env bash
# Makes font.ttf, "Quellox Narrow": Roboto Condensed Medium (Debian package
# fonts-roboto-unhinted) cut down to printable ASCII, the typographic quotes,
# dashes, bullet and ellipsis the setup text uses, and the Latin letters of
# the translations, and narrowed to 82 % of its
# width, so that the window's texts break where its layout expects (the
# licence sentence leaves room on its second line for the link). Renamed, so
# that GDI never confuses it with an installed Roboto Condensed. The outlines
# stay TrueType, which AddFontMemResourceEx takes.
# Also refreshes LICENSE-font.txt. Run it again to regenerate; outputs are committed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

src=/usr/share/fonts/truetype/roboto/unhinted/RobotoCondensed-Medium.ttf
python=/usr/bin/python3
[ -f "$src" ] || { echo "missing $src (apt-get install fonts-roboto-unhinted)" >&2; exit 1; }

if command -v pyftsubset >/dev/null 2>&1; then
  subset=(pyftsubset)
else
  subset=("$python" -m fontTools.subset)
fi

# Printable ASCII and the punctuation above, and every other letter in the
# Latin script that a translation in lang/ uses (Latin-1 and Latin
# Extended-A: German, French, Polish, Turkish and the like); the window takes
# a system face for the texts of other scripts (ui/uFonts.cpp). Only the
# letters used: each glyph costs the installer about 80 bytes.
latin=$("$python" - "$here/lang" <<'PY'
import pathlib, sys
used = set()
for po in sorted(pathlib.Path(sys.argv[1]).glob("*.po")):
    for line in po.read_text(encoding="utf-8").splitlines():
        if line.startswith(("msgstr", '"')):
            used.update(c for c in line if 0xA0 <= ord(c) <= 0x24F)
print(",".join("U+%04X" % ord(c) for c in sorted(used)))
PY
)
unicodes="U+0020-007E,U+00A0,U+2013,U+2014,U+2018,U+2019,U+201C,U+201D,U+2022,U+2026${latin:+,$latin}"

# The default layout features (kerning, ligatures and so on) are kept; asking
# for all of them pulls in small caps and alternates and grows the file by half
# again, and GDI does not use them anyway.
"${subset[@]}" "$src" \
  --output-file="$here/font.ttf" \
  --unicodes="$unicodes" \
  --name-IDs='*' --name-legacy --name-languages='*' \
  --notdef-glyph --notdef-outline --recommended-glyphs \
  --no-glyph-names \
  --no-hinting \
  --drop-tables+=DSIG,GPOS,GSUB,GDEF

# Narrow every glyph and its advance, and give the face its own name.
"$python" - "$here/font.ttf" <<'PY'
import sys
from fontTools.ttLib import TTFont
scale = 0.82
f = TTFont(sys.argv[1])
glyf, hmtx = f['glyf'], f['hmtx']
for name in f.getGlyphOrder():
    glyph = glyf[name]
    if glyph.isComposite():
        for component in glyph.components:
            component.x = round(component.x * scale)
    elif glyph.numberOfContours > 0:
        coordinates = glyph.coordinates
        for i, (x, y) in enumerate(coordinates):
            coordinates[i] = (round(x * scale), y)
    glyph.recalcBounds(glyf)
    advance, _ = hmtx[name]
    hmtx[name] = (round(advance * scale), getattr(glyph, 'xMin', 0) if glyph.numberOfContours else 0)
f['OS/2'].xAvgCharWidth = round(f['OS/2'].xAvgCharWidth * scale)
f['OS/2'].usWidthClass = 3  # condensed
names = f['name']
# Only the names GDI and the licence need: the family, style and full name,
# the copyright and the licence's notice; the rest (trademark, designer,
# addresses, the licence's full text) is in LICENSE-font.txt.
names.names = [n for n in names.names if n.nameID in (0, 13)]
for platform, encoding, language in ((3, 1, 0x409), (1, 0, 0)):
    names.setName('Quellox Narrow', 1, platform, encoding, language)
    names.setName('Regular', 2, platform, encoding, language)
    names.setName('Quellox Narrow; derived from Roboto Condensed Medium 2.138', 3, platform, encoding, language)
    names.setName('Quellox Narrow', 4, platform, encoding, language)
    names.setName('QuelloxNarrow-Regular', 6, platform, encoding, language)
f.save(sys.argv[1])
PY

# Make sure the result is something GDI will take: TrueType outlines, the
# required tables and a Windows Unicode BMP cmap subtable.
"$python" - "$here/font.ttf" <<'PY'
import sys
from fontTools.ttLib import TTFont
f = TTFont(sys.argv[1])
need = ['OS/2', 'cmap', 'head', 'hhea', 'hmtx', 'maxp', 'name', 'post', 'glyf', 'loca']
missing = [t for t in need if t not in f]
if missing:
    sys.exit('font.ttf lacks tables: %s' % ' '.join(missing))
if f['cmap'].getcmap(3, 1) is None:
    sys.exit('font.ttf has no (3,1) cmap subtable')
cmap = f.getBestCmap()
for cp in list(range(0x20, 0x7F)) + [0xA0, 0x2013, 0x2014, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2026]:
    if cp not in cmap:
        sys.exit('font.ttf lacks U+%04X' % cp)
PY

{
  ver=$(dpkg-query -W -f='${Version}' fonts-roboto-unhinted 2>/dev/null || echo unknown)
  echo "font.ttf is a subset of RobotoCondensed-Medium.ttf (Roboto Condensed Medium, font version 2.138) from the Debian package fonts-roboto-unhinted $ver."
  echo "Copyright 2011, 2015 Google Inc. Licensed under the Apache License, Version 2.0 (full text below)."
  echo "Modified by us: glyphs outside printable ASCII, a few punctuation marks and the Latin letters of the translations were removed, hinting and layout tables were dropped, every glyph was narrowed to 82 % of its width, and the face was renamed \"Quellox Narrow\" (see make-font.sh)."
  echo
  cat /usr/share/common-licenses/Apache-2.0
} > "$here/LICENSE-font.txt"

ls -l "$here/font.ttf"
