#!/usr/bin/env bash
# Runs every test of the project: a Release build with warnings as errors and
# its test suite, then the same suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the whole-run tests against the Windows x64
# build under wine and the Linux ARM64 build under qemu-user, and last the
# install, manual page and Debian package check.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh cmake g++ make libgtest-dev libgmock-dev

echo "== Release build, warnings as errors"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DVOLQUILL_WERROR=ON >/dev/null
cmake --build build-test -j"$jobs"
ctest --test-dir build-test --output-on-failure -j"$jobs"

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVOLQUILL_SANITIZE=ON -DVOLQUILL_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== Cross builds: Windows x64 under wine, Linux ARM64 under qemu-user"
bash scripts/cross-check.sh

echo "== Install, manual page and Debian package"
bash scripts/package-check.sh

echo "== All tests passed"
