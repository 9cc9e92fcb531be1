#!/usr/bin/env bash
# Runs the unit tests, the fuzz regression replay, the crash-safety test and
# the whole-run tests under valgrind's memcheck, on the Release build's
# objects (build-test, made here if it is not there yet) with the C library
# linked dynamically (volquill_dynamic: valgrind replaces malloc only where
# the C library is shared). The whole-run tests start every volquill run under
# valgrind; any memcheck error or definite leak fails the run (exit status
# 99 and a report on stderr).
#
# Valgrind's own start costs 0.4 seconds a run, so the whole-run tests are
# sampled: every test that is not a row of a table of volumes, and of each
# table (a parametrised suite) the first row and every fourth after it. The
# fuzz replay has by then taken the tool, in process, through every seed
# volume and hostile form. VOLQUILL_VALGRIND_ALL=1 runs every row.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh cmake g++ make libgtest-dev libgmock-dev nlohmann-json3-dev valgrind
scripts/release-build.sh volquill_dynamic unit_tests run_tests fuzz_replay_test crash_test
tests=build-test/tests

# Inline-function information only names frames in a report; reading it
# for the C library makes up a fifth of valgrind's start.
memcheck=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite
          --read-inline-info=no)

for suite in unit_tests fuzz_replay_test crash_test; do
  echo "== $suite under valgrind"
  # The crash test stops its runs in every fourth write here, and looks at
  # every fourth state of the storage (every write and state natively and
  # under the sanitizers).
  VOLQUILL_CRASH_STRIDE=4 "${memcheck[@]}" "$tests/$suite" --gtest_brief=1
done

# The whole-run tests, one name a line, rows of a table (Suite.Test/Row) sampled.
every=4
[[ ${VOLQUILL_VALGRIND_ALL:-} == 1 ]] && every=1
chosen=$("$tests/run_tests" --gtest_list_tests | awk -v every="$every" '
  /^[^ ]/ { suite = $1; next }
  {
    name = suite $1
    table = name
    if (sub(/\/[^\/]*$/, "", table) && suite ~ /\//) {
      if (row[table]++ % every != 0) next
    }
    print name
  }')
total=$("$tests/run_tests" --gtest_list_tests | grep -c '^  ')
echo "== run_tests, every volquill run under valgrind: $(wc -l <<<"$chosen") of $total tests"
# In $jobs shards at once, each a run_tests of its own.
export VOLQUILL_BINARY=$PWD/$tests/volquill_dynamic VOLQUILL_RUNNER="${memcheck[*]}" GTEST_TOTAL_SHARDS=$jobs
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
shards=()
for ((shard = 0; shard < jobs; shard++)); do
  GTEST_SHARD_INDEX=$shard "$tests/run_tests" --gtest_filter="$(paste -sd : <<<"$chosen")" \
    --gtest_brief=1 >"$logs/$shard" 2>&1 &
  shards+=($!)
done
failed=0
for ((shard = 0; shard < jobs; shard++)); do
  wait "${shards[shard]}" || failed=1
  grep -v '^Running main()' "$logs/$shard"
done
((failed == 0)) || exit 1
echo "== valgrind found nothing"
