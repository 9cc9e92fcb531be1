#!/usr/bin/env bash
# Runs every test of the project: a Release build with warnings as errors and
# its test suite, the interoperability suite against that build (images made
# and read back by other UDF tools), then the same unit and run suites built
# with AddressSanitizer and UndefinedBehaviorSanitizer, a bounded fuzz session
# over whole query and relabel runs, the tests again under valgrind, then the
# whole-run tests against the Windows x64 build under wine and the Linux ARM64
# build under qemu-user, and last the install, manual page and Debian package
# check.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh cmake g++ make libgtest-dev libgmock-dev nlohmann-json3-dev strace

echo "== Release build, warnings as errors"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DVOLQUILL_WERROR=ON >/dev/null
cmake --build build-test -j"$jobs"
ctest --test-dir build-test --output-on-failure --no-tests=error -j"$jobs"

echo "== Interoperability with other UDF tools, Release build"
interop_packages=(udftools util-linux genisoimage 7zip python3-pycdlib udfclient libcdio-utils)
if scripts/install-deps.sh "${interop_packages[@]}" && [[ -x /usr/bin/python3 ]]; then
  /usr/bin/python3 tests/interop/interop_test.py --binary build-test/volquill \
    --sample-maker build-test/tests/make_sample_image
elif [[ "${CI:-}" == "true" ]]; then
  echo "interoperability tools could not be installed: ${interop_packages[*]}" >&2
  exit 1
else
  echo "SKIPPED: interoperability tests, tools could not be installed: ${interop_packages[*]}"
fi

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVOLQUILL_SANITIZE=ON -DVOLQUILL_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure --no-tests=error -j"$jobs"

echo "== Fuzzing: a bounded session from the seed corpus"
bash scripts/fuzz.sh "${VOLQUILL_FUZZ_SECONDS:-60}"

echo "== valgrind memcheck"
bash scripts/valgrind-check.sh

echo "== Cross builds: Windows x64 under wine, Linux ARM64 under qemu-user"
bash scripts/cross-check.sh

echo "== Install, manual page and Debian package"
bash scripts/package-check.sh

echo "== All tests passed"
