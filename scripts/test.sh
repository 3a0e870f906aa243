#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build, the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer, and each
# fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${SEAFOLD_FUZZ_SECONDS:-20}

# Tracked files are sources and small data: never a built program, never
# anything large (build output committed by mistake slows every clone and, in
# a fuzz corpus, every fuzzing run).
echo "== tracked files"
max_bytes=$((1024 * 1024))
bad=0
while IFS= read -r -d '' file; do
  [ -f "$file" ] || continue
  size=$(stat -c %s "$file")
  if [ "$size" -gt "$max_bytes" ]; then
    echo "tracked file larger than 1 MB: $file ($size bytes)" >&2; bad=1
  fi
  # ELF, Mach-O (both byte orders, 32 and 64 bit) and universal Mach-O.
  case $(head -c 4 "$file" | od -An -tx1 | tr -d ' \n') in
    7f454c46*|feedface|feedfacf|cefaedfe|cffaedfe|cafebabe)
      echo "tracked file is an executable binary: $file" >&2; bad=1 ;;
  esac
  if [ -x "$file" ] && [ "$(head -c 2 "$file")" != "#!" ]; then
    echo "tracked file is executable but no script: $file" >&2; bad=1
  fi
done < <(git ls-files -z)
[ "$bad" -eq 0 ] || { echo "tracked files: remove the files above from git" >&2; exit 1; }

scripts/install-deps.sh --test

echo "== build and test (build/)"
# Everything: a build made by scripts/run.sh leaves the tests and benchmarks out.
scripts/build.sh -DSEAFOLD_TESTS=ON -DSEAFOLD_BENCH=ON
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600) | tee -a "$summary"

echo "== the Debian package: contents, dependencies, a staged install that runs, the service unit"
tests/packaging/package_test.sh

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSEAFOLD_SANITIZE=ON -DSEAFOLD_GRAPHICS=OFF \
      -DSEAFOLD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" --timeout 900) | tee -a "$summary"

echo "== fuzz targets, ${fuzz_seconds} s each (build-fuzz/)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEAFOLD_FUZZ=ON \
      -DSEAFOLD_SANITIZE=ON -DSEAFOLD_GRAPHICS=OFF -DSEAFOLD_BENCH=OFF -DSEAFOLD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzzers
mkdir -p fuzz/artifacts
shopt -s nullglob
# One fuzzer per core at a time; each writes its own log, shown in order once
# its batch ends, and any fuzzer that fails (a crash, a leak, a time-out)
# fails the stage after its log is shown.
fuzz_one() {
  local fuzzer=$1 log=$2 name=${1#build-fuzz/bin/fuzz_} work
  work=$(mktemp -d)
  if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$work/"; fi
  local status=0
  "$fuzzer" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix=fuzz/artifacts/ "$work" >"$log" 2>&1 || status=$?
  rm -rf "$work"
  return $status
}
fuzz_logs=$(mktemp -d)
fuzzers=(build-fuzz/bin/fuzz_*)
fuzz_failed=0
for ((i = 0; i < ${#fuzzers[@]}; i += jobs)); do
  pids=()
  for fuzzer in "${fuzzers[@]:i:jobs}"; do
    fuzz_one "$fuzzer" "$fuzz_logs/${fuzzer##*/}.log" &
    pids+=($!)
  done
  k=0
  for fuzzer in "${fuzzers[@]:i:jobs}"; do
    status=0
    wait "${pids[k]}" || status=$?
    k=$((k + 1))
    echo "-- ${fuzzer##*/}"
    tail -n 12 "$fuzz_logs/${fuzzer##*/}.log"
    if [ "$status" -ne 0 ]; then echo "${fuzzer##*/} failed (exit $status)" >&2; fuzz_failed=1; fi
  done
done
rm -rf "$fuzz_logs"
[ "$fuzz_failed" -eq 0 ] || exit 1
# One closing line over both test runs (ctest prints one per run).
passed=0
while read -r n; do passed=$((passed + n)); done < <(sed -n 's/.* tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$summary")
echo "all test stages passed; fuzz targets ran clean"
echo "tests: $passed passed, 0 failed"
