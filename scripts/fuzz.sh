#!/usr/bin/env bash
# Builds the libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on, leaks checked) and fuzzes whole query and
# relabel runs for SECONDS (default 60), starting from the committed seed
# corpus. Fails on any crash, sanitizer report, leak, timeout or harness check.
#
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer options...]
#   scripts/fuzz.sh 3600 -fork=2     # a longer session by hand
#
# New inputs go to build-fuzz/corpus (not committed); a failing input is
# written to build-fuzz/artifacts/ and belongs in tests/fuzz/regressions/ once
# fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

scripts/install-deps.sh cmake make clang libclang-rt-14-dev nlohmann-json3-dev

echo "== Fuzz target build (clang, libFuzzer, address and undefined sanitizers)"
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOLQUILL_FUZZ=ON \
  -DVOLQUILL_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target volquill_fuzz

mkdir -p build-fuzz/corpus build-fuzz/artifacts

echo "== Fuzzing for ${seconds}s"
log=build-fuzz/fuzz.log
status=0
build-fuzz/tests/volquill_fuzz build-fuzz/corpus tests/fuzz/corpus \
  -dict=tests/fuzz/volquill.dict -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=65536 -detect_leaks=1 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ \
  "$@" >"$log" 2>&1 || status=$?
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::|^Done ' "$log" || true
if [[ $status -ne 0 ]]; then
  tail -n 60 "$log"
  echo "fuzzing failed (status $status); inputs in build-fuzz/artifacts/" >&2
  exit 1
fi
echo "== Fuzzing passed"
