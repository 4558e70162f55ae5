#!/usr/bin/env bash
# Draws the updater's pictures (a graphing calculator and a folder) with
# ImageMagick at 256 px and scales them down, and writes the calculator as SVG
# from the same shapes (the scalable desktop icon); the results are committed.
# Usage: bash app/images/make-icons.sh   (needs the imagemagick package)
set -euo pipefail
cd "$(dirname "$0")"
IM=/usr/bin/convert
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Calculator: dark body, a screen with a plotted curve, a keypad. The small
# variant has fewer, bigger keys so it still reads at 16 px.
calculator() {  # out rows cols
  local out=$1 rows=$2 cols=$3
  local keys=() x0=66 x1=190 y0=124 y1=230 gap=8
  local kw=$(( (x1 - x0 - (cols - 1) * gap) / cols )) kh=$(( (y1 - y0 - (rows - 1) * gap) / rows ))
  for ((r = 0; r < rows; r++)); do
    for ((c = 0; c < cols; c++)); do
      local kx=$(( x0 + c * (kw + gap) )) ky=$(( y0 + r * (kh + gap) ))
      local colour='#dfe5ec'
      ((c == cols - 1)) && colour='#0096d6'
      ((r == rows - 1 && c == cols - 1)) && colour='#f28c28'
      keys+=(-fill "$colour" -draw "roundrectangle $kx,$ky $((kx + kw)),$((ky + kh)) 5,5")
    done
  done
  "$IM" -size 256x256 xc:none \
    -fill '#00000033' -draw 'roundrectangle 52,18 212,250 26,26' \
    -fill '#2e3a4a' -stroke '#17202b' -strokewidth 6 -draw 'roundrectangle 46,8 206,244 26,26' \
    -stroke none -fill '#3d4c60' -draw 'roundrectangle 54,16 198,60 18,18' \
    -fill '#9fd8c6' -stroke '#17202b' -strokewidth 4 -draw 'roundrectangle 64,30 192,108 10,10' \
    -stroke '#1f5b4f' -strokewidth 7 -fill none \
    -draw 'path "M 74,86 C 96,30 116,30 128,69 C 140,108 160,108 182,52"' \
    -stroke none "${keys[@]}" \
    "$work/$out"
}

# The same calculator as SVG (what the draw commands above mean: rectangles
# by corners with corner radii, strokes centred on the outline). ImageMagick
# closes the stroked curve back to its start, so the SVG path closes too and
# every size shows the same picture.
calculator_svg() {  # out rows cols
  local out=$1 rows=$2 cols=$3
  local x0=66 x1=190 y0=124 y1=230 gap=8
  local kw=$(( (x1 - x0 - (cols - 1) * gap) / cols )) kh=$(( (y1 - y0 - (rows - 1) * gap) / rows ))
  {
    echo '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">'
    echo '  <rect x="52" y="18" width="160" height="232" rx="26" fill="#000" fill-opacity="0.2"/>'
    echo '  <rect x="46" y="8" width="160" height="236" rx="26" fill="#2e3a4a" stroke="#17202b" stroke-width="6"/>'
    echo '  <rect x="54" y="16" width="144" height="44" rx="18" fill="#3d4c60"/>'
    echo '  <rect x="64" y="30" width="128" height="78" rx="10" fill="#9fd8c6" stroke="#17202b" stroke-width="4"/>'
    echo '  <path d="M 74,86 C 96,30 116,30 128,69 C 140,108 160,108 182,52 Z" fill="none" stroke="#1f5b4f" stroke-width="7"/>'
    for ((r = 0; r < rows; r++)); do
      for ((c = 0; c < cols; c++)); do
        local kx=$(( x0 + c * (kw + gap) )) ky=$(( y0 + r * (kh + gap) ))
        local colour='#dfe5ec'
        ((c == cols - 1)) && colour='#0096d6'
        ((r == rows - 1 && c == cols - 1)) && colour='#f28c28'
        echo "  <rect x=\"$kx\" y=\"$ky\" width=\"$kw\" height=\"$kh\" rx=\"5\" fill=\"$colour\"/>"
      done
    done
    echo '</svg>'
  } >"$out"
}

# Folder: back sheet with a tab, a paper edge, and a front sheet.
folder() {  # out
  "$IM" -size 256x256 xc:none \
    -fill '#00000030' -draw 'roundrectangle 22,64 246,226 18,18' \
    -fill '#d9951c' -stroke '#a86b0c' -strokewidth 6 \
    -draw 'path "M 28,56 Q 28,42 42,42 L 100,42 Q 110,42 116,50 L 128,66 L 214,66 Q 228,66 228,80 L 228,206 Q 228,218 216,218 L 40,218 Q 28,218 28,206 Z"' \
    -stroke none -fill '#fbfbf6' -draw 'roundrectangle 46,78 212,170 6,6' \
    -fill '#ffc940' -stroke '#b77a10' -strokewidth 6 \
    -draw 'path "M 22,104 Q 22,94 32,94 L 224,94 Q 236,94 234,106 L 222,208 Q 220,218 210,218 L 40,218 Q 30,218 28,208 Z"' \
    -stroke none -fill '#ffe08a' -draw 'roundrectangle 34,104 222,114 4,4' \
    "$work/$1"
}

calculator calc_big.png 4 4
calculator calc_small.png 3 3
folder folder.png

shrink() { "$IM" "$work/$1" -filter Lanczos -resize "$2x$2" -depth 8 -define png:color-type=6 -define png:exclude-chunks=date,time "$3"; }
shrink calc_big.png 64 CalculatorIconX64.png
shrink calc_big.png 48 CalculatorIconX48.png
calculator_svg CalculatorIcon.svg 4 4
shrink calc_small.png 16 CalculatorIconX16.png
shrink folder.png 32 varFolder_32x32.png
shrink folder.png 16 varFolder_16x16.png
"$IM" "$work/calc_big.png" -depth 8 "$work/ico256.png"
shrink calc_big.png 64 "$work/ico64.png"
cp CalculatorIconX16.png "$work/ico16.png"
"$IM" "$work/ico256.png" "$work/ico64.png" "$work/ico16.png" -depth 8 -define icon:format=png Updater.ico
echo "written: CalculatorIconX16.png CalculatorIconX48.png CalculatorIconX64.png CalculatorIcon.svg varFolder_16x16.png varFolder_32x32.png Updater.ico"
