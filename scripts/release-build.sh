#!/usr/bin/env bash
# The Release build with warnings as errors in build-test, which the test
# command, its interoperability suite, valgrind stage, cross checks and
# package check all use: configures it and builds the named targets (all
# when none are named).
#
# scripts/test.sh builds all of it first and then sets
# VOLQUILL_RELEASE_BUILT=1 for the stages it runs side by side, which then
# leave the build alone: two builds in one directory at once would trip over
# each other.
#
#   scripts/release-build.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
[[ ${VOLQUILL_RELEASE_BUILT:-} == 1 ]] && exit 0
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DVOLQUILL_WERROR=ON >/dev/null
cmake --build build-test -j"$(nproc)" ${1+--target "$@"}
