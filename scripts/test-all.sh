#!/usr/bin/env bash
# Builds and runs every test: the Release suite, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded stamping tests
# under ThreadSanitizer, every fuzz target for a short while (clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer), and the preview page's
# browser test when its tools are installed. Exits non-zero at the first failure.
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
# Tests and benchmarks are asked for by name: the README's first command leaves them out
# of build/, and this reuses its cache.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLF_WARNINGS_AS_ERRORS=ON -DLF_BUILD_TESTS=ON -DLF_BUILD_BENCH=ON >/dev/null
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

echo "== Fuzzing: each target 30 s from its seeds"
# Each target counts as one test: it fails on a crash, a sanitizer report, a
# broken promise, a leak, a slow input or running out of memory. What the runs
# find (new inputs, a crashing input) stays in a temporary folder, named on a
# failure, never in the repository. The targets run $jobs at a time.
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLF_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DLF_BUILD_TESTS=OFF -DLF_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target lf_fuzzers
fuzz_out=$(mktemp -d)
# The module as built is a seed of the module file reader (it is not kept with the seeds).
mkdir -p "$fuzz_out/module"
cp build-fuzz/plugins/LensFlare.so "$fuzz_out/module/"
fuzz_targets=()
for seeds in tests/fuzz/corpus/*/; do fuzz_targets+=("$(basename "$seeds")"); done
for ((i = 0; i < ${#fuzz_targets[@]}; i += jobs)); do
  pids=()
  for target in "${fuzz_targets[@]:i:jobs}"; do
    mkdir -p "$fuzz_out/$target/corpus"
    seeds=("tests/fuzz/corpus/$target")
    if [ "$target" = elf_reader ]; then seeds+=("$fuzz_out/module"); fi
    build-fuzz/fuzz/fuzz_"$target" -max_total_time=30 -rss_limit_mb=2048 -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$fuzz_out/$target/" "$fuzz_out/$target/corpus" "${seeds[@]}" \
      >"$fuzz_out/$target/log" 2>&1 &
    pids+=($!)
  done
  for j in "${!pids[@]}"; do
    target=${fuzz_targets[i + j]}
    if wait "${pids[j]}"; then
      passed=$((passed + 1))
      echo "fuzz_$target: $(grep -E '^stat::number_of_executed_units' "$fuzz_out/$target/log" | awk '{print $2}') runs, no finding"
    else
      failed=$((failed + 1))
      tail -n 40 "$fuzz_out/$target/log"
      echo "fuzz_$target FAILED: log and input in $fuzz_out/$target"
    fi
  done
done
if [ "$failed" -eq 0 ]; then rm -rf "$fuzz_out"; fi

if [ -f tests/web/package.json ] && [ -d tests/web/node_modules/playwright-core ] \
   && command -v chromium >/dev/null 2>&1; then
  echo "== Browser test of the preview page"
  if (cd tests/web && LENSFLARE="$here/build/bin/lensflare" node --test); then
    passed=$((passed + 1)); else failed=$((failed + 1)); fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
