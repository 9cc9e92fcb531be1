#!/usr/bin/env bash
# Runs every test of the project: a Release build with warnings as errors and
# its test suite, then the same suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh cmake g++ make libgtest-dev libgmock-dev strace

echo "== Release build, warnings as errors"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DVOLQUILL_WERROR=ON >/dev/null
cmake --build build-test -j"$jobs"
ctest --test-dir build-test --output-on-failure --no-tests=error -j"$jobs"

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVOLQUILL_SANITIZE=ON -DVOLQUILL_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure --no-tests=error -j"$jobs"

echo "== All tests passed"
