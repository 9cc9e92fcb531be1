#!/usr/bin/env bash
# Runs the unit tests, the fuzz regression replay and the whole-run tests
# under valgrind's memcheck, against a dynamically linked build without
# sanitizers (valgrind replaces malloc only in a dynamic executable). The
# whole-run tests start every volquill run under valgrind; any memcheck error
# or definite leak fails the run (exit status 99 and a report on stderr).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh cmake g++ make libgtest-dev libgmock-dev nlohmann-json3-dev valgrind

echo "== Build for valgrind (dynamic, -O1 -g)"
cmake -S . -B build-valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DVOLQUILL_STATIC=OFF -DVOLQUILL_WERROR=ON >/dev/null
cmake --build build-valgrind -j"$jobs" --target unit_tests run_tests fuzz_replay_test volquill

memcheck=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite)

echo "== unit_tests under valgrind"
"${memcheck[@]}" build-valgrind/tests/unit_tests --gtest_brief=1
echo "== fuzz_replay_test under valgrind"
"${memcheck[@]}" build-valgrind/tests/fuzz_replay_test --gtest_brief=1 >/dev/null
echo "== run_tests, every volquill run under valgrind"
VOLQUILL_RUNNER="${memcheck[*]}" ctest --test-dir build-valgrind -L whole-run --output-on-failure \
  --no-tests=error -j"$jobs"
echo "== valgrind found nothing"
