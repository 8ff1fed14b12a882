#!/usr/bin/env bash
# The extra CI stages, run by `make test` when KESTREL_CI is set:
#   1. clang build, warnings as errors (thread-safety analysis on), with the
#      libFuzzer targets, and short fuzz runs of every target;
#   2. the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}

stage() { printf '\n==== %s\n' "$*"; }

stage "clang build (-Werror, libFuzzer targets)"
CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DKESTREL_WERROR=ON -DKESTREL_FUZZ=ON \
  -DKESTREL_SANITIZE=address,undefined -DKESTREL_BENCH=OFF
cmake --build build-clang -j"$jobs"

stage "short fuzz runs (${fuzz_seconds}s each)"
for f in fuzz/*_fuzz.cpp; do
  name=$(basename "$f" .cpp)
  corpus=fuzz/corpus/${name%_fuzz}
  [ -x "build-clang/bin/$name" ] || continue
  work=$(mktemp -d)
  mkdir -p "$corpus"
  echo "fuzzing $name"
  (cd build-clang/bin && ./"$name" -max_total_time="$fuzz_seconds" -rss_limit_mb=256 -timeout=10 \
     -print_final_stats=0 "$work" "$OLDPWD/$corpus" 2>&1 | tail -n 3)
  rm -rf "$work"
done

stage "AddressSanitizer + UndefinedBehaviorSanitizer (g++)"
cmake -S . -B build-asan -G Ninja -DKESTREL_WERROR=ON -DKESTREL_SANITIZE=address,undefined -DKESTREL_BENCH=OFF
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")

stage "ThreadSanitizer (threaded tests)"
cmake -S . -B build-tsan -G Ninja -DKESTREL_WERROR=ON -DKESTREL_SANITIZE=thread -DKESTREL_BENCH=OFF
cmake --build build-tsan -j"$jobs"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j"$jobs" -L threaded)
