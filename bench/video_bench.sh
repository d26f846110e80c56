#!/bin/bash
# A video render beside ffmpeg's own re-encode of the same clip with the same
# encoder settings, in pairs run in turn in one run, so both see the same load:
# 1080p H.264 (yuv420p) and 10-bit ProRes 422 HQ, lens 1 at brightness 100.
# Prints the medians of the wall-clock and CPU seconds of each, the median of
# the pairs' ratios, and the PSNR of both outputs against the source at
# brightness 0 (what an untouched frame keeps).
#
#   bench/video_bench.sh [build/bin/lensflare] [frames] [pairs]
set -euo pipefail
tool=${1:-build/bin/lensflare}
frames=${2:-48}
pairs=${3:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Wall-clock and CPU (user + system, children included) seconds of a command:
# on a shared machine the CPU time is the steadier measure.
seconds() { local TIMEFORMAT='%R %U %S' t; t=$( { time "$@" >/dev/null 2>&1; } 2>&1 ); echo "$t" | awk '{printf "%.2f %.2f", $1, $2 + $3}'; }
psnr() { ffmpeg -nostdin -v info -i "$1" -i "$2" -lavfi psnr -f null - 2>&1 | sed -n 's/.*average:\([0-9.inf]*\).*/\1/p'; }

# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

run() {   # name, source options, extension, the encoder settings the tool uses for it
  local name=$1 make=$2 ext=$3 settings=$4
  local src="$work/$name.$ext" times="$work/$name.times"
  ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=24" -frames:v "$frames" $make \
    -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv "$src"
  reencode() { seconds ffmpeg -nostdin -v error -y -i "$src" $settings "$work/ff.$ext"; }
  render() { seconds "$tool" render "$src" -o "$work/ours.$ext" --lens 1 --brightness 100 --quiet; }
  : >"$times"
  local i ff ours
  for ((i = 1; i <= pairs; i++)); do
    # Which program runs first alternates: on some machines the run that
    # follows the other program's is given more of the kernel's time.
    if ((i % 2)); then ff=$(reencode); ours=$(render); else ours=$(render); ff=$(reencode); fi
    echo "$ff $ours" >>"$times"   # ffmpeg wall, CPU; lensflare wall, CPU
  done
  "$tool" render "$src" -o "$work/zero.$ext" --brightness 0 --quiet
  local ffWall ffCpu ourWall ourCpu wallRatio cpuRatio
  ffWall=$(awk '{print $1}' "$times" | median); ffCpu=$(awk '{print $2}' "$times" | median)
  ourWall=$(awk '{print $3}' "$times" | median); ourCpu=$(awk '{print $4}' "$times" | median)
  wallRatio=$(awk '{print $3 / $1}' "$times" | median); cpuRatio=$(awk '{print $4 / $2}' "$times" | median)
  printf '%-9s medians of %d pairs: wall ffmpeg %6.2f s, lensflare %6.2f s (x%.2f)   CPU ffmpeg %6.2f s, lensflare %6.2f s (x%.2f)\n' \
    "$name" "$pairs" "$ffWall" "$ourWall" "$wallRatio" "$ffCpu" "$ourCpu" "$cpuRatio"
  echo "          PSNR against the source at brightness 0: ffmpeg $(psnr "$work/ff.$ext" "$src") dB, lensflare $(psnr "$work/zero.$ext" "$src") dB"
}

echo "$(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), load $(cut -d' ' -f1-3 /proc/loadavg), $frames frames, $pairs pairs"
run h264 "-c:v libx264 -preset medium -crf 16 -pix_fmt yuv420p" mp4 "-c:v libx264 -crf 16 -preset medium -c:a copy"
run prores10 "-c:v prores_ks -profile:v hq -vendor apl0 -pix_fmt yuv422p10le" mov \
  "-c:v prores_ks -profile:v hq -vendor apl0 -c:a copy"

# What the flare costs the encoder alone: x264 with the tool's settings on the
# raw frames of the flared clip against the raw frames of the source, both read
# from memory-speed raw files, so only the encoding differs. The flare adds
# detail (the random streaks change every frame) that the encoder has to code.
src="$work/h264.mp4"
# FFV1 is asked for in the source's own format: its default, RGB, would take the
# flared frames through a conversion and back that smooths what x264 is given.
"$tool" render "$src" -o "$work/flared.mkv" --codec ffv1 --pix-fmt yuv420p --lens 1 --brightness 100 --quiet
for clip in src flared; do
  in=$src; [ $clip = flared ] && in="$work/flared.mkv"
  ffmpeg -nostdin -v error -y -i "$in" -f rawvideo -pix_fmt yuv420p "$work/$clip.yuv"
done
raw="-f rawvideo -pix_fmt yuv420p -s 1920x1080 -framerate 24"
# As many pairs as above, run in turn; the median of the pairs' ratios.
: >"$work/x264.times"
for ((i = 1; i <= pairs; i++)); do
  plain=$(seconds ffmpeg -nostdin -v error -y $raw -i "$work/src.yuv" -c:v libx264 -crf 16 -preset medium "$work/e.mp4")
  flared=$(seconds ffmpeg -nostdin -v error -y $raw -i "$work/flared.yuv" -c:v libx264 -crf 16 -preset medium "$work/e.mp4")
  echo "$plain $flared" >>"$work/x264.times"   # source wall, CPU; flared wall, CPU
done
printf 'x264 alone, flared frames against the source frames (medians of %d pairs): wall %.2f s against %.2f s (x%.2f), CPU %.2f s against %.2f s (x%.2f)\n' \
  "$pairs" "$(awk '{print $3}' "$work/x264.times" | median)" "$(awk '{print $1}' "$work/x264.times" | median)" \
  "$(awk '{print $3 / $1}' "$work/x264.times" | median)" "$(awk '{print $4}' "$work/x264.times" | median)" \
  "$(awk '{print $2}' "$work/x264.times" | median)" "$(awk '{print $4 / $2}' "$work/x264.times" | median)"
