#!/usr/bin/env bash
# Renders the pictures in docs/: each lens over a photograph-like dusk landscape
# (drawn by ffmpeg, so nothing is downloaded) and over the built-in frame.
# Needs a build (build/bin/lensflare) and ffmpeg.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
lensflare="$here/build/bin/lensflare"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sky from deep blue to orange at the horizon, rolling dark hills in front.
hill='gt(Y,H*0.66+38*sin(X/140)+22*sin(X/53+1))'
ffmpeg -loglevel error -y -f lavfi -i "color=c=black:s=1920x1080,format=rgb24" -vf \
  "geq=r='if($hill,18+14*sin(X/9)*sin(Y/7),30+215*pow(Y/(H*0.7),2.2))':g='if($hill,22+12*sin(X/11)*sin(Y/5),45+120*pow(Y/(H*0.7),2.6))':b='if($hill,20+8*sin(X/13),110-50*pow(Y/(H*0.7),1.5))'" \
  -frames:v 1 "$work/landscape.png"

"$lensflare" render "$work/landscape.png" -o "$here/docs/lens-50-300mm-zoom.jpg" --lens zoom --center 70%,28% --quiet
"$lensflare" render -o "$here/docs/lens-35mm-prime.jpg" --lens 35mm --quiet
"$lensflare" render "$work/landscape.png" -o "$here/docs/lens-105mm-prime.jpg" --lens 105mm --center 72%,30% --quiet
