#!/usr/bin/env bash
# Tries Lens Flare the way a new user would, on pristine Debian 12 roots made
# with mmdebstrap from this machine's own apt sources:
#   1. the README's first command, exactly as written, in a root holding only
#      the committed tree (git archive HEAD); it must render a 1920x1080
#      flare.png. The same root then packs the .deb (cpack) and installs under
#      an unusual prefix, whose tool must find its module by itself;
#   2. `apt-get install ./lensflare_*.deb` in a second pristine root, then
#      `lensflare info` and `lensflare render -o flare.png` from PATH, and the
#      frei0r filter and GEGL operation in ffmpeg, melt and gegl, unconfigured.
# Run as root. Everything lives under one temporary folder that is unmounted
# and removed on every exit, Ctrl-C included. Uncommitted changes are not seen.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
say() { echo "fresh-machine-check: $*" >&2; }
fail() { say "FAILED: $*"; exit 1; }

[ "$(id -u)" = 0 ] || { say "run as root (mmdebstrap, mount and chroot need it)"; exit 2; }
command -v mmdebstrap >/dev/null || { say "needs mmdebstrap (scripts/install-deps.sh --with-fresh-check installs it)"; exit 2; }

# This machine's enabled apt sources, handed to mmdebstrap as they are, so no
# mirror is named here.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -s "$f" ] && sources+=("$f")
done
[ "${#sources[@]}" -gt 0 ] || { say "no apt sources in /etc/apt"; exit 2; }

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/lensflare-fresh.XXXXXX")
child=

mounts_under() { awk -v dir="$1/" 'index($5, dir) == 1 { print $5 }' /proc/self/mountinfo; }

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  set +e
  # The step in flight, and whatever still runs inside a root (a compiler, dpkg).
  [ -n "$child" ] && kill "$child" 2>/dev/null
  local p
  for p in /proc/[0-9]*; do
    case "$(readlink "$p/root" 2>/dev/null)" in "$work"/*) kill -KILL "${p#/proc/}" 2>/dev/null ;; esac
  done
  [ -n "$child" ] && wait "$child" 2>/dev/null
  # Deepest first; lazily, so a mount still busy is detached at once.
  mounts_under "$work" | sort -r | while read -r m; do umount -l "$m"; done
  if [ -n "$(mounts_under "$work")" ]; then
    say "$work still has mounts; left in place"
  else
    rm -rf --one-file-system "$work"
  fi
  [ "$status" -lt 128 ] || say "interrupted after $(elapsed)"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Each step runs in the background and is waited for, so that Ctrl-C or TERM
# reaches the traps at once instead of after the step.
run() {
  "$@" &
  child=$!
  local status=0
  wait "$child" || status=$?
  child=
  return "$status"
}

# The apt archive cache is shared by the roots: the second reuses packages the
# first downloaded. It changes nothing that gets installed.
mkdir "$work/archives"
attach() {
  mount -t proc proc "$1/proc"
  mount --rbind /dev "$1/dev"
  mount --make-rslave "$1/dev"   # unmounting here must never reach the machine's /dev
  mount --bind "$work/archives" "$1/var/cache/apt/archives"
}
# A login-like environment, nothing inherited from this machine.
in_root() {
  local root=$1
  shift
  run chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/sh -ec "$*"
}
png_size() {
  [ "$(od -An -c -j12 -N4 "$1" | tr -d ' ')" = IHDR ] || fail "$1 is not a PNG"
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", (($1 * 256 + $2) * 256 + $3) * 256 + $4, (($5 * 256 + $6) * 256 + $7) * 256 + $8 }'
}
elapsed() { printf '%dm%02ds' $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)); }

# minbase: the essential and required packages and apt, as small as a Debian 12
# system comes.
say "making a pristine Debian 12 root ($(elapsed))"
run mmdebstrap --variant=minbase --format=directory bookworm "$work/root-build" "${sources[@]}"
cp -a "$work/root-build" "$work/root-deb"

readme_command=$(awk '/^```sh$/ { inside = 1; next } inside && /^```$/ { exit } inside' "$here/README.md")
[ -n "$readme_command" ] || fail "no sh block in README.md"
say "running the README's first command in the root ($(elapsed)):"
echo "$readme_command" >&2
mkdir "$work/root-build/root/lensflare"
git -C "$here" archive HEAD | tar -x -C "$work/root-build/root/lensflare"
attach "$work/root-build"
in_root "$work/root-build" "cd /root/lensflare && $readme_command" || fail "the README's first command"
size=$(png_size "$work/root-build/root/lensflare/flare.png")
[ "$size" = 1920x1080 ] || fail "the README's flare.png is $size, not 1920x1080"

say "packing the .deb and installing under /opt/lf ($(elapsed))"
in_root "$work/root-build" 'cd /root/lensflare/build && cpack -G DEB
  cmake --install . --prefix /opt/lf
  cd / && /opt/lf/bin/lensflare --version' || fail "packing or installing"
debs=("$work"/root-build/root/lensflare/build/lensflare_*_amd64.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single lensflare_VERSION_amd64.deb"
cp "${debs[0]}" "$work/root-deb/root/"

say "installing $(basename "${debs[0]}") in a second pristine root ($(elapsed))"
attach "$work/root-deb"
in_root "$work/root-deb" 'export DEBIAN_FRONTEND=noninteractive
  cd /root && apt-get update -qq && apt-get install -y -qq ./lensflare_*.deb
  lensflare --version && lensflare info >info.txt && grep -q "Lens Flare, v" info.txt
  lensflare render -o flare.png' || fail "the installed package"
size=$(png_size "$work/root-deb/root/flare.png")
[ "$size" = 1920x1080 ] || fail "the installed tool's flare.png is $size, not 1920x1080"

# The adapters, from the folders the programs search with no variable set: ffmpeg
# and melt (frei0r) and gegl must write the installed tool's bytes. A single
# frame is at time 0, so the frei0r filter seeds it as the tool's frame 0.
say "running the adapters in ffmpeg, melt and gegl ($(elapsed))"
in_root "$work/root-deb" 'export DEBIAN_FRONTEND=noninteractive
  cd /root && apt-get install -y -qq --no-install-recommends gegl melt
  ffmpeg -v error -f lavfi -i testsrc=s=64x36 -frames:v 1 -pix_fmt rgba in.png
  ffmpeg -v error -i in.png -c:v png in.mov
  printf "description=t\nwidth=64\nheight=36\nframe_rate_num=25\nframe_rate_den=1\nprogressive=1\nsample_aspect_num=1\nsample_aspect_den=1\ndisplay_aspect_num=16\ndisplay_aspect_den=9\n" >profile
  lensflare render in.png -o tool.png --center 16,18 --brightness 150 --lens 3 --blend 25 -q
  ffmpeg -v error -i in.png -vf "frei0r=filter_name=lensflare:filter_params=0.25|0.5|0.5|1|0.25" -pix_fmt rgba ffmpeg.png
  melt -silent -profile profile in.mov out=0 -attach frei0r.lensflare "Center X=0.25" "Center Y=0.5" Brightness=0.5 Lens=1 Blend=0.25 -consumer avformat:melt.png vcodec=png pix_fmt=rgba real_time=0 update=1
  gegl in.png -- lensflare:flare x=16 y=18 brightness=150 lens=3 blend=25 gegl:png-save path=gegl.png bitdepth=8
  ffmpeg -v error -i tool.png -f rawvideo -pix_fmt rgba tool.rgba
  for host in ffmpeg melt gegl; do
    ffmpeg -v error -i $host.png -f rawvideo -pix_fmt rgba $host.rgba
    cmp tool.rgba $host.rgba || { echo "$host differs from lensflare render" >&2; exit 1; }
  done' || fail "the adapters in ffmpeg, melt and gegl"

say "passed in $(elapsed)"
