#!/usr/bin/env bash
# Regenerates the 32 px tray/window icon from the SVG. The PNG (installed) and
# the same picture as a BMP (built into the program, which then needs no PNG
# decoder at start) are committed so that building Dovo never needs these
# tools; run this only after editing the SVG. So is the Windows program's
# .ico, whose every size is drawn from the SVG rather than scaled from another.
#
# pngquant is used rather than ImageMagick's PNG8 because PNG8 keeps only on/off
# transparency, which leaves jagged edges; pngquant keeps partial alpha in the palette.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
svg="$here/net.quendorvil.Dovo.svg"
png="$here/net.quendorvil.Dovo-32.png"
colours=16

for tool in rsvg-convert pngquant convert; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "make-icon.sh: '$tool' is missing (Debian: librsvg2-bin, pngquant, imagemagick)" >&2
        exit 1
    fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

rsvg-convert --width 32 --height 32 --format png --output "$tmp/full.png" "$svg"
# Dithering would sprinkle noise over the flat greys, which looks worse at this size.
pngquant --force --speed 1 --nofs --strip --output "$tmp/quant.png" "$colours" "$tmp/full.png"
mv "$tmp/quant.png" "$png"
# BITMAPV4HEADER: 32 bits a pixel with the alpha channel, which Qt reads.
convert "$png" -define bmp:format=bmp4 "${png%.png}.bmp"
ico="$here/../src/windows/dovo.ico"
for size in 16 32 48 256; do
    rsvg-convert --width "$size" --height "$size" --format png --output "$tmp/ico-$size.png" "$svg"
done
# ImageMagick keeps the 256 px picture PNG-compressed, as Windows Vista and
# later read it; left to itself it would save the grey picture as grey PNG,
# and Windows reads only RGBA ones there.
convert "$tmp"/ico-{16,32,48,256}.png -define png:color-type=6 "$ico"
echo "wrote $png, ${png%.png}.bmp and $ico"
