#!/usr/bin/env bash
# Installs the Debian 12 packages Lens Flare needs to build, test and run, skipping
# the ones already present. Run as root. Pass --with-browser to also install what
# the preview page's browser test needs (Chromium, Node.js and its npm packages),
# and --with-farm for the render-farm check (scripts/farm-check.sh), which brings
# up a one-node Slurm to run the README's job array and runs its GNU parallel line,
# and --with-fresh-check for scripts/fresh-machine-check.sh (mmdebstrap, which
# makes its pristine Debian 12 roots); CI passes all three.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  file                                            # cpack -G DEB runs it to pick the binaries for dpkg-shlibdeps
  libgtest-dev libgmock-dev libbenchmark-dev      # tests and benchmarks
  libopenimageio-dev                              # image reading and writing
  libjpeg62-turbo-dev                             # a JPEG's quantisation tables, which OpenImageIO does not report
  openimageio-tools                               # libopenimageio-dev's CMake targets name its programs (/usr/bin/iconvert)
  ffmpeg                                          # video encoding (and the helpers' probes in tests)
  libavformat-dev libavcodec-dev libavutil-dev    # video decoding in the tool's own process
  libcpp-httplib-dev nlohmann-json3-dev zlib1g-dev # the preview server (zlib: the page picture's checksums)
  frei0r-plugins-dev libgegl-dev                  # the frei0r filter's and the GEGL operation's headers (always built)
  melt gegl                                       # the adapters' tests run the flare inside melt and gegl (ffmpeg is above)
  python3-dev pybind11-dev python3-numpy          # the Python package (host/python)
  python3-pytest python3-torch python3-openimageio  # its tests: a DataLoader with workers, image files to compare with the tool
  clang libclang-rt-14-dev                        # the fuzz targets: clang with libFuzzer and its sanitizer runtimes
)
with_browser=0
with_farm=0
with_fresh_check=0
for arg in "$@"; do
  case "$arg" in
    --with-browser) with_browser=1 ;;
    --with-farm) with_farm=1 ;;
    --with-fresh-check) with_fresh_check=1 ;;
    *) echo "install-deps.sh: unknown option '$arg'" >&2; exit 2 ;;
  esac
done
if [ "$with_browser" = 1 ]; then
  packages+=(chromium)
  command -v node >/dev/null 2>&1 || packages+=(nodejs)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi
# The Slurm daemons and client tools, the munge authentication they use, and GNU
# parallel, so the README's farm examples run here as written.
if [ "$with_farm" = 1 ]; then packages+=(slurm-wlm munge parallel); fi
if [ "$with_fresh_check" = 1 ]; then packages+=(mmdebstrap); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "$with_browser" = 1 ]; then
  here=$(cd "$(dirname "$0")/.." && pwd)
  if [ -f "$here/tests/web/package.json" ] && [ ! -d "$here/tests/web/node_modules/playwright-core" ]; then
    (cd "$here/tests/web" && npm install --no-audit --no-fund --silent)
  fi
fi
