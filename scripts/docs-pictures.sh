#!/usr/bin/env bash
# Makes the README's pictures of the marks from real runs of the built tintorel-cli: a scene drawn
# here by ImageMagick (no photograph of anyone's), stamped three ways. Run after scripts/build.sh;
# writes docs/marks-*.jpg.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=build/bin/tintorel-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A landscape: sky, a sun, two ranges of hills with some texture, 1200 x 800, and the same scene
# upright, 800 x 1200, for the mark that follows the short edge.
scene() {
    convert -size "$1" gradient:'#5d8fc9-#f3d9a4' \
        \( -size "$1" plasma:'#2e5d34-#6f8f3a' -blur 0x2 -modulate 90,35 \) \
        \( -size "$1" xc:black -fill white -draw "$2" -blur 0x1.5 \) -composite \
        -fill '#ffe9a8' -draw "$3" -quality 92 "$4"
}
scene 1200x800 "polygon 0,560 220,430 470,520 760,380 1200,540 1200,800 0,800" \
    "circle 900,200 900,255" "$work/lake.jpg"
scene 800x1200 "polygon 0,840 200,700 420,790 800,640 800,1200 0,1200" \
    "circle 560,300 560,345" "$work/tower.jpg"
touch -d '2026-06-21 19:30' "$work/lake.jpg" "$work/tower.jpg"

# 1. The logo at the bottom right, its long side 22 % of the short edge, 3 % from the edges: the
#    same size on either orientation.
"$cli" --quiet --watermark assets/tintorel.svg --placement bottom-right --scale 0.22 \
    --scale-of short --margin 3% --output "$work/logo" "$work/lake.jpg" "$work/tower.jpg"
# Both at the same reduction, so that the marks' sizes compare as they are.
montage "$work/logo/lake.jpg" "$work/logo/tower.jpg" -resize 40% -geometry +8+8 -background white \
    -quality 88 docs/marks-logo.jpg

# 2. A text line with variables, with a soft shadow.
"$cli" --quiet --text '{artist|Ann Example} · {date:%d %B %Y}\n{name} · {width} x {height}' \
    --text-size 3 --text-shadow --placement bottom-left --margin 3% --output "$work/text" \
    "$work/lake.jpg"
convert "$work/text/lake.jpg" -resize 'x480' -quality 88 docs/marks-text.jpg

# 3. A diagonal tiled mark at a quarter of its strength.
"$cli" --quiet --watermark assets/tintorel.svg --scale 0.1 --scale-of short --rotate 30 --tile \
    --tile-gap 120 --tile-stagger --opacity 30 --output "$work/tiled" "$work/lake.jpg"
convert "$work/tiled/lake.jpg" -resize 'x480' -quality 88 docs/marks-tiled.jpg
echo "docs/marks-logo.jpg, docs/marks-text.jpg, docs/marks-tiled.jpg"
