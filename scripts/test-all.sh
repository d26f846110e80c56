#!/usr/bin/env bash
# Builds and runs every test: the Release suite, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded stamping tests
# under ThreadSanitizer, and the preview page's browser test when its tools are
# installed. Exits non-zero at the first failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=$(nproc)
passed=0
failed=0

run_ctest() {  # build-dir [ctest args...]
  local dir=$1; shift
  local log
  log=$(mktemp)
  if ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@" | tee "$log"; then :; else
    failed=$((failed + 1)); fi
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    local total bad
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  rm -f "$log"
}

echo "== Release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLF_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build -j "$jobs"
run_ctest build

# The Python package's tests (pytest), on the Release build: pytest's summary
# line gives the counts. Exit 5 (nothing collected) is a failure, never a pass.
run_pytest() {
  local log status=0
  log=$(mktemp)
  PYTHONPATH="$here/build/python" LENSFLARE_TOOL="$here/build/bin/lensflare" \
    /usr/bin/python3 -m pytest -p no:cacheprovider "$here/tests/host/python" | tee "$log" || status=$?
  local summary ok bad
  summary=$(tail -n 1 "$log")
  # "== 2 failed, 40 passed, 1 error in 31.2s ==": the number before each word.
  count() { awk -v what="$1" '{for (i = 2; i <= NF; ++i) if ($i ~ what) n += $(i - 1)} END {print n + 0}' <<<"$summary"; }
  ok=$(count '^passed')
  bad=$(count '^(failed|errors?)')
  passed=$((passed + ok))
  failed=$((failed + ${bad:-0}))
  if [ "$status" -ne 0 ] && [ "${bad:-0}" -eq 0 ]; then failed=$((failed + 1)); fi
  rm -f "$log"
}

echo "== Python package (pytest)"
run_pytest

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLF_SANITIZE=address,undefined \
  -DLF_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
# The farm check (label farm) runs in the Release pass only: it tests how a
# scheduler splits a render, which sanitizers add nothing to. ffmpeg, melt and
# gegl cannot load a plug-in built with the sanitizer runtime, so the adapters
# run in those programs in the Release pass only (their in-process test stays).
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan -LE farm \
  -E 'HostsRenderTheToolsBytes' 

echo "== ThreadSanitizer (threaded stamping)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLF_SANITIZE=thread \
  -DLF_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target render_tests
TSAN_OPTIONS=halt_on_error=1 run_ctest build-tsan -R 'Stamp|Thread'

if [ -f tests/web/package.json ] && [ -d tests/web/node_modules/playwright-core ] \
   && command -v chromium >/dev/null 2>&1; then
  echo "== Browser test of the preview page"
  if (cd tests/web && LENSFLARE="$here/build/bin/lensflare" node --test); then
    passed=$((passed + 1)); else failed=$((failed + 1)); fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
