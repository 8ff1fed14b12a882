#!/usr/bin/env bash
# The extra CI stages, run by `make test` when KESTREL_CI is set:
#   0. layout check with clang-format;
#   1. clang build with AddressSanitizer + UndefinedBehaviorSanitizer, warnings
#      as errors (thread-safety analysis on) and the libFuzzer targets; the whole
#      suite runs on it, then every fuzz target for a short time;
#   2. the threaded suites (support, core, channels, validation, plugins) under
#      ThreadSanitizer (g++).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}

stage() { printf '\n==== %s\n' "$*"; }

stage "layout (clang-format)"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

stage "clang, AddressSanitizer + UndefinedBehaviorSanitizer, -Werror, libFuzzer targets"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DKESTREL_WERROR=ON -DKESTREL_FUZZ=ON \
  -DKESTREL_SANITIZE=address,undefined -DKESTREL_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")

stage "short fuzz runs (${fuzz_seconds}s each, 256 MB RSS limit)"
for f in fuzz/*_fuzz.cpp; do
  name=$(basename "$f" .cpp)
  corpus=$PWD/fuzz/corpus/${name%_fuzz}
  [ -x "build-asan/bin/$name" ] || continue
  work=$(mktemp -d)
  echo "fuzzing $name"
  # A small ASan quarantine keeps freed memory from counting against the RSS limit.
  if ! (cd build-asan/bin && ASAN_OPTIONS=quarantine_size_mb=16 ./"$name" -max_total_time="$fuzz_seconds" -rss_limit_mb=256 -timeout=10 \
          -print_final_stats=1 "$work" "$corpus" >"$work.log" 2>&1); then
    tail -n 40 "$work.log"
    echo "fuzz target $name failed" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units' "$work.log" || true
  rm -rf "$work" "$work.log"
done

stage "g++, ThreadSanitizer, threaded tests"
cmake -S . -B build-tsan -G Ninja -DKESTREL_WERROR=ON -DKESTREL_SANITIZE=thread -DKESTREL_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j"$jobs" -L "^(support|core|channels|validation|plugins)$")
