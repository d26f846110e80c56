#!/bin/sh
# Times GEGL's gegl:lens-flare operation, the closest open-source peer, on the
# frames `lensflare bench` renders (opaque black, flare centre at (625, 400)
# scaled from 1920x1080) and prints our render medians beside it.
#
# The peer is run as a black box through the `gegl` command: each run builds
# the frame, applies the operation and writes a PPM. The same pipeline without
# the operation is timed too, and the operation's cost is the difference of the
# two medians, so start-up and the PPM write are not counted against it.
#
# Usage: bench/peers.sh [BUILD_DIR] [RUNS]      (defaults: build, 9)
# Sizes come from PEER_SIZES (default "1920x1080 3840x2160"). GEGL chooses its
# own thread count unless GEGL_THREADS is set; our bench uses every core.
# Installs nothing: without gegl it says how to get it.
set -eu

build=${1:-build}
runs=${2:-9}
sizes=${PEER_SIZES:-"1920x1080 3840x2160"}
lensflare="$build/bin/lensflare"

if ! command -v gegl >/dev/null 2>&1; then
  echo "peers.sh: the gegl command is not installed; on Debian: apt-get install gegl" >&2
  exit 2
fi
if ! gegl --exists gegl:lens-flare >/dev/null 2>&1; then
  echo "peers.sh: this gegl has no gegl:lens-flare operation" >&2
  exit 2
fi
if [ ! -x "$lensflare" ]; then
  echo "peers.sh: $lensflare not found (build it: cmake --build $build --target lensflare LensFlare)" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# Milliseconds since the epoch, from date's nanoseconds.
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Median of the numbers on stdin.
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Runs `gegl` with the given operations after the black frame, RUNS times;
# prints the median wall time in milliseconds.
time_gegl() {
  w=$1; h=$2; shift 2
  i=0
  while [ "$i" -lt "$runs" ]; do
    start=$(now_ms)
    gegl -o "$work/out.ppm" -- gegl:color value=black gegl:crop width="$w" height="$h" "$@" >/dev/null 2>&1
    end=$(now_ms)
    echo $(( end - start ))
    i=$((i + 1))
  done | median
}

echo "machine: $(nproc) cores, $(lscpu 2>/dev/null | sed -n 's/^Model name: *//p'); load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "gegl: $(dpkg-query -W -f='${Version}' gegl 2>/dev/null || echo unknown), GEGL_THREADS=${GEGL_THREADS:-default}; runs per timing: $runs"
for size in $sizes; do
  w=${size%x*}
  h=${size#*x}
  # The same centre as lensflare bench, as fractions of the frame.
  px=$(awk -v w="$w" 'BEGIN { printf "%.6f", (625 * w / 1920) / w }')
  py=$(awk -v h="$h" 'BEGIN { printf "%.6f", (400 * h / 1080) / h }')
  base=$(time_gegl "$w" "$h")
  flare=$(time_gegl "$w" "$h" gegl:lens-flare pos-x="$px" pos-y="$py")
  peer=$(awk -v a="$flare" -v b="$base" 'BEGIN { printf "%.1f", a - b }')
  echo "$size: gegl:lens-flare ${peer} ms (pipeline ${flare} ms, without the operation ${base} ms)"
  "$lensflare" bench --size "$size" --repeat "$runs" | while read -r line; do
    ours=$(echo "$line" | sed -n 's/.*render median \([0-9.]*\) ms.*/\1/p')
    ratio=$(awk -v p="$peer" -v o="$ours" 'BEGIN { if (o > 0) printf "%.1f", p / o; else print "-" }')
    echo "  $line; gegl / ours = ${ratio}x"
  done
done
