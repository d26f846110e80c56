#!/bin/bash
# A video render beside ffmpeg's own re-encode of the same clip with the same
# encoder settings, one after the other in one run, so both see the same load:
# 1080p H.264 (yuv420p) and 10-bit ProRes 422 HQ, lens 1 at brightness 100.
# Prints the wall-clock seconds of each, the ratio, and the PSNR of both
# outputs against the source at brightness 0 (what an untouched frame keeps).
#
#   bench/video_bench.sh [build/bin/lensflare] [frames]
set -euo pipefail
tool=${1:-build/bin/lensflare}
frames=${2:-48}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Wall-clock and CPU (user + system, children included) seconds of a command:
# on a shared machine the CPU time is the steadier measure.
seconds() { local TIMEFORMAT='%R %U %S' t; t=$( { time "$@" >/dev/null 2>&1; } 2>&1 ); echo "$t" | awk '{printf "%.2f %.2f", $1, $2 + $3}'; }
psnr() { ffmpeg -nostdin -v info -i "$1" -i "$2" -lavfi psnr -f null - 2>&1 | sed -n 's/.*average:\([0-9.inf]*\).*/\1/p'; }

run() {   # name, source options, extension, the encoder settings the tool uses for it
  local name=$1 make=$2 ext=$3 settings=$4
  local src="$work/$name.$ext"
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=24" -frames:v "$frames" $make \
    -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv "$src"
  local ff tool0 ours
  ff=$(seconds ffmpeg -nostdin -v error -y -i "$src" $settings "$work/ff.$ext")
  ours=$(seconds "$tool" render "$src" -o "$work/ours.$ext" --lens 1 --brightness 100 --quiet)
  "$tool" render "$src" -o "$work/zero.$ext" --brightness 0 --quiet
  read -r ffWall ffCpu <<<"$ff"
  read -r ourWall ourCpu <<<"$ours"
  printf '%-9s wall: ffmpeg %6.2f s, lensflare %6.2f s (x%.2f)   CPU: ffmpeg %6.2f s, lensflare %6.2f s (x%.2f)\n' \
    "$name" "$ffWall" "$ourWall" "$(echo "$ourWall / $ffWall" | bc -l)" "$ffCpu" "$ourCpu" "$(echo "$ourCpu / $ffCpu" | bc -l)"
  echo "          PSNR against the source at brightness 0: ffmpeg $(psnr "$work/ff.$ext" "$src") dB, lensflare $(psnr "$work/zero.$ext" "$src") dB"
}

echo "$(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), load $(cut -d' ' -f1-3 /proc/loadavg), $frames frames"
run h264 "-c:v libx264 -preset medium -crf 16 -pix_fmt yuv420p" mp4 "-c:v libx264 -crf 16 -preset medium -c:a copy"
run prores10 "-c:v prores_ks -profile:v hq -vendor apl0 -pix_fmt yuv422p10le" mov \
  "-c:v prores_ks -profile:v hq -vendor apl0 -c:a copy"

# What the flare costs the encoder alone: x264 with the tool's settings on the
# raw frames of the flared clip against the raw frames of the source, both read
# from memory-speed raw files, so only the encoding differs. The flare adds
# detail (the random streaks change every frame) that the encoder has to code.
src="$work/h264.mp4"
"$tool" render "$src" -o "$work/flared.mkv" --codec ffv1 --lens 1 --brightness 100 --quiet
for clip in src flared; do
  in=$src; [ $clip = flared ] && in="$work/flared.mkv"
  ffmpeg -nostdin -v error -y -i "$in" -f rawvideo -pix_fmt yuv420p "$work/$clip.yuv"
done
raw="-f rawvideo -pix_fmt yuv420p -s 1920x1080 -framerate 24"
# Three runs of each in turn; the medians, since one run of either swings by 10 %.
median() { sort -n | sed -n 2p; }
for i in 1 2 3; do
  for clip in src flared; do
    seconds ffmpeg -nostdin -v error -y $raw -i "$work/$clip.yuv" -c:v libx264 -crf 16 -preset medium "$work/e.mp4" >>"$work/$clip.times"
    echo >>"$work/$clip.times"
  done
done
plainWall=$(cut -d' ' -f1 "$work/src.times" | median); plainCpu=$(cut -d' ' -f2 "$work/src.times" | median)
flaredWall=$(cut -d' ' -f1 "$work/flared.times" | median); flaredCpu=$(cut -d' ' -f2 "$work/flared.times" | median)
printf 'x264 alone, flared frames against the source frames (medians of 3): wall %.2f s against %.2f s (x%.2f), CPU %.2f s against %.2f s (x%.2f)\n' \
  "$flaredWall" "$plainWall" "$(echo "$flaredWall / $plainWall" | bc -l)" "$flaredCpu" "$plainCpu" "$(echo "$flaredCpu / $plainCpu" | bc -l)"
