#!/bin/sh
# Builds the sample ad set res/ads/vtl_1.ad .. vtl_16.ad (468x60 banners).
# The files are committed, so a build never needs ImageMagick; rerun this only
# to change the pictures.
#
# Only formats that Windows's picture loader reads, in the flavours that give
# its decoders the most to do: 1-4 GIF, 5-8 JPEG with 2x2 chroma subsampling,
# 9 a placeable WMF (tools/make_wmf.py: the same banner drawn, not painted, so
# the loader's and the bar's metafile path runs), 10 a GIF with transparent
# rounded corners and a see-through window, 11 a 4-bit palettised BMP3, 12 a
# JPEG without subsampling, 13-16 uncompressed 24-bit BMP3. Under Wine the
# loader also reads BMPs with the newer V4/V5 headers (ImageMagick's default),
# but Windows's is only sure to read the 40-byte one, hence BMP3.
#
# Usage: tools/make_ads.sh [OUTDIR]     (default: res/ads next to tools/)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-"$here/../res/ads"}
mkdir -p "$out"

command -v convert >/dev/null 2>&1 || {
    echo "make_ads.sh: ImageMagick 'convert' is required" >&2
    exit 1
}

# Without an installed TrueType font ImageMagick still renders text with its
# built-in one, so an empty choice is acceptable.
font_args=
fonts=$(convert -list font 2>/dev/null | sed -n 's/^ *Font: //p')
for f in DejaVu-Sans-Bold Liberation-Sans-Bold Nimbus-Sans-Bold Helvetica-Bold; do
    if printf '%s\n' "$fonts" | grep -qx "$f"; then
        font_args="-font $f"
        break
    fi
done

# ImageMagick's reading of a colour, for the metafile's records.
hex() { convert "xc:$1" -depth 8 -format '#%[hex:p{0,0}]' info:; }

taglines="Fresh offers, every few seconds|Your strip of the web|Docked on top, out of the way|Small banner, big ideas"

# Timestamps and other metadata would make every rerun produce new bytes.
strip_args="-strip +set date:create +set date:modify -define png:exclude-chunks=date,time"

n=1
while [ "$n" -le 16 ]; do
    hue=$(( (n - 1) * 360 / 16 ))
    # Alternate light and dark so neighbouring ads differ in more than hue.
    if [ $((n % 2)) -eq 0 ]; then light=38; else light=48; fi
    bg="hsl($hue,70%,$light%)"
    dark="hsl($hue,75%,20%)"
    pale="hsl($(( (hue + 180) % 360 )),85%,70%)"
    # Near-white keeps the small line readable on yellow and green too.
    tint="hsl($hue,60%,92%)"
    tag=$(printf '%s' "$taglines" | cut -d'|' -f$(( (n - 1) % 4 + 1 )))

    if [ "$n" -eq 9 ]; then
        python3 "$here/make_wmf.py" "$out/vtl_$n.ad" "$n" "$tag" \
            "$(hex "$bg")" "$(hex "$dark")" "$(hex "$pale")" "$(hex "$tint")"
        n=$((n + 1))
        continue
    fi

    case $n in
        1|2|3|4|10)  fmt=GIF;  prefix=GIF:;  extra="-colors 32 +dither" ;;
        5|6|7|8)     fmt=JPEG; prefix=JPEG:; extra="-quality 85 -sampling-factor 2x2" ;;
        11)          fmt=BMP4; prefix=BMP3:; extra="-colors 16 +dither -type Palette -compress None" ;;
        12)          fmt=JPEG; prefix=JPEG:; extra="-quality 85 -sampling-factor 1x1" ;;
        *)           fmt=BMP;  prefix=BMP3:; extra="-type TrueColor" ;;
    esac

    tmp="$out/.vtl_$n.miff"
    # shellcheck disable=SC2086
    convert -size 468x60 "xc:$bg" \
        -fill "$dark" -draw "polygon 330,0 468,0 468,60 300,60" \
        -fill "$pale" -draw "polygon 318,0 326,0 296,60 288,60" \
        -fill "$pale" -draw "polygon 306,0 310,0 280,60 276,60" \
        -fill white -draw "circle 30,30 30,8" \
        -fill "$bg" -draw "polygon 17,18 23,18 30,36 37,18 43,18 32,44 28,44" \
        -fill none -stroke "$dark" -strokewidth 3 -draw "rectangle 1,1 466,58" \
        -stroke none \
        $font_args -fill white -pointsize 24 -annotate +60+29 "Vantorel" \
        -fill "$tint" -pointsize 12 -annotate +61+48 "$tag" \
        -gravity East \
        -fill black -pointsize 38 -annotate +14+2 "Ad $n" \
        -fill white -pointsize 38 -annotate +16+0 "Ad $n" \
        -gravity SouthEast -fill "$pale" -pointsize 9 -annotate +6+3 "$fmt" \
        +gravity \
        "$tmp"

    if [ "$n" -eq 10 ]; then
        # Rounded corners and a window in the middle fully transparent: GIF
        # has no partial transparency; the bar shows black there.
        convert "$tmp" \
            \( -size 468x60 xc:black -fill white -draw "roundrectangle 0,0 467,59 16,16" \
               -fill black -draw "rectangle 236,8 268,52" \) \
            -alpha off -compose CopyOpacity -composite "$tmp"
    fi

    # shellcheck disable=SC2086
    convert "$tmp" $extra $strip_args "$prefix$out/vtl_$n.ad"
    rm -f "$tmp"
    n=$((n + 1))
done

echo "wrote 16 ads to $out"
