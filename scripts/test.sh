#!/usr/bin/env bash
# The test command.
#
#   scripts/test.sh           every test: what .ci/run runs
#   scripts/test.sh --quick   for the edit-and-run loop: the Release build with
#                             warnings as errors, its unit and whole-run tests
#                             and the interoperability suite
#
# Every test: a Release build with warnings as errors and its unit and
# whole-run tests, the interoperability suite against that build (images made
# and read back by other UDF tools), the same unit and run suites built with
# AddressSanitizer and UndefinedBehaviorSanitizer, a bounded fuzz session over
# whole query and relabel runs (VOLQUILL_FUZZ_SECONDS, default 30), the tests
# under valgrind on the Release build's objects, the whole-run tests against
# the Windows x64 build under wine, the Windows ARM64 build under arm64 wine
# through qemu-user and the Linux ARM64 build under qemu-user,
# and the install, manual page and Debian package check.
#
# The Release build comes first, and every stage but the sanitizer and fuzz
# builds reuses it. Then the stages run in lanes side by side, a stage after
# those before it in its lane, so that the processors stay busy while
# one stage waits on a single process (the interoperability suite, the fuzz
# session, wine, qemu). Each stage's output is printed whole when it ends;
# at the end a table gives each stage's lane, start, wall time and processor
# time.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
quick=false
case ${1:-} in
  --quick) quick=true ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

work=$(mktemp -d)
times=$work/times
lanes=()
stop_lanes() {
  local pid
  for pid in "${lanes[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  wait "${lanes[@]}" 2>/dev/null || true
  lanes=()
}
trap 'stop_lanes; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
run_start=$SECONDS

# stage NAME COMMAND...: runs one stage and notes its lane, start, wall time
# and processor time. Outside a lane its output goes straight out; in a lane it is kept
# until the stage ends and then printed whole, so that lanes do not
# interleave their lines.
lane=-
stage() {
  local name=$1 start=$SECONDS cpu status=0
  shift
  children_cpu
  cpu=$cpu_now
  if [[ $lane == - ]]; then
    echo "== $name"
    "$@" || status=$?
  else
    local log=$work/log.$BASHPID
    "$@" >"$log" 2>&1 </dev/null || status=$?
    {
      flock 9
      echo "== $name (lane $lane)"
      cat "$log"
    } 9>"$work/lock"
  fi
  children_cpu
  printf '%s\t%s\t%d\t%d\t%d\t%s\n' "$name" "$lane" $((start - run_start)) $((SECONDS - start)) \
    $((cpu_now - cpu)) "$([[ $status == 0 ]] && echo passed || echo FAILED)" >>"$times"
  return "$status"
}

# Sets cpu_now to the processor time, user and system, in seconds, of the
# children this shell (or lane) has waited for so far. Not to be called in a
# command substitution: there the builtin `times` would speak of a fresh
# subshell, with no children yet.
children_cpu() {
  local file=$work/times.$BASHPID
  times >"$file"
  cpu_now=$(awk 'NR == 2 { for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); total += t[1] * 60 + t[2] } }
                 END { printf "%d", total }' "$file")
}

# in_lane NICENESS STAGE-FUNCTION...: runs the functions one after another
# in the background, as a lane of its own (a process group, so that a
# failure elsewhere can stop all of it), its priority lowered by NICENESS.
in_lane() {
  local niceness=$1
  shift
  set -m
  (
    lane=$((${#lanes[@]} + 1))
    renice -n "$niceness" -p "$BASHPID" >/dev/null
    for f in "$@"; do "$f" || exit 1; done
  ) &
  lanes+=($!)
  set +m
}

# Waits for the lanes; the first to fail stops the others.
wait_lanes() {
  local ended pid left
  while ((${#lanes[@]} > 0)); do
    if ! wait -n -p ended "${lanes[@]}"; then
      stop_lanes
      return 1
    fi
    left=()
    for pid in "${lanes[@]}"; do [[ $pid == "$ended" ]] || left+=("$pid"); done
    lanes=("${left[@]}")
  done
}

print_times() {
  echo "== Stage times (wall clock; the lanes ran side by side; cpu: user and system time)"
  printf '  %-54s %4s %6s %6s %6s\n' stage lane start wall cpu
  sort -s -t $'\t' -k3,3n "$times" |
    while IFS=$'\t' read -r name lane start wall cpu result; do
      printf '  %-54s %4s %5ds %5ds %5ds%s\n' "$name" "$lane" "$start" "$wall" "$cpu" \
        "$([[ $result == passed ]] || echo "  $result")"
    done
  children_cpu
  printf '  %-54s %4s %6s %5ds %5ds\n' "whole run" "" "" $((SECONDS - run_start)) "$cpu_now"
}

# --- The stages ------------------------------------------------------------

sanitizer_env=(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
               UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
interop_packages=(udftools util-linux genisoimage 7zip python3-pycdlib udfclient libcdio-utils)

release_tests() {
  stage "unit and whole-run tests, Release" \
    ctest --test-dir build-test --output-on-failure --no-tests=error -j"$jobs"
}

interop_suite() {
  if [[ $interop_tools == ok ]]; then
    stage "interoperability suite, Release" /usr/bin/python3 tests/interop/interop_test.py \
      --binary build-test/volquill --sample-maker build-test/tests/make_sample_image
  else
    echo "SKIPPED: interoperability tests, tools could not be installed: ${interop_packages[*]}"
  fi
}

# The sanitizer build is optimised lightly (-Og): at -O0 its tests take four
# times as long, and -O1 doubles its compile time.
build_with_sanitizers() {
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-Og -g1" \
    -DVOLQUILL_SANITIZE=ON -DVOLQUILL_WERROR=ON >/dev/null &&
    cmake --build build-asan -j"$jobs" --target volquill make_sample_image unit_tests run_tests \
      fuzz_replay_test crash_test
}

sanitizer_build() {
  stage "AddressSanitizer and UndefinedBehaviorSanitizer build" build_with_sanitizers
}

sanitizer_tests() {
  stage "unit and whole-run tests, sanitizers" env "${sanitizer_env[@]}" \
    ctest --test-dir build-asan --output-on-failure --no-tests=error -j"$jobs"
}

fuzz_session() {
  local seconds=${VOLQUILL_FUZZ_SECONDS:-30}
  stage "fuzz build and ${seconds}s session" bash scripts/fuzz.sh "$seconds"
}

valgrind_stage() {
  stage "valgrind memcheck" bash scripts/valgrind-check.sh
}

windows_check() {
  stage "Windows x64 build, whole-run tests under wine" bash scripts/cross-check.sh windows
}

windows_arm64_check() {
  stage "Windows ARM64 build, whole-run tests under arm64 wine" bash scripts/cross-check.sh windows-arm64
}

arm64_check() {
  stage "Linux ARM64 build, whole-run tests under qemu-user" bash scripts/cross-check.sh arm64
}

package_check() {
  stage "install, manual page and Debian package" bash scripts/package-check.sh
}

# --- The run ---------------------------------------------------------------

packages=(cmake g++ make libgtest-dev libgmock-dev nlohmann-json3-dev strace)
$quick || packages+=(valgrind clang libclang-rt-14-dev g++-mingw-w64-x86-64-win32 wine wine64
                     g++-aarch64-linux-gnu qemu-user dpkg-dev groff-base man-db
                     mmdebstrap qemu-user-static bsdutils)
stage "install packages" scripts/install-deps.sh "${packages[@]}"
interop_tools=missing
if scripts/install-deps.sh "${interop_packages[@]}" && [[ -x /usr/bin/python3 ]]; then
  interop_tools=ok
elif [[ ${CI:-} == true ]]; then
  echo "interoperability tools could not be installed: ${interop_packages[*]}" >&2
  exit 1
fi

stage "Release build, warnings as errors" scripts/release-build.sh
export VOLQUILL_RELEASE_BUILT=1

if $quick; then
  in_lane 0 release_tests
  in_lane 0 interop_suite
else
  # The fuzz session is bounded by time, every other stage by its work: the
  # lanes without it yield to it, so that it has a processor to itself.
  in_lane 5 release_tests valgrind_stage arm64_check
  in_lane 0 interop_suite fuzz_session windows_check
  in_lane 5 sanitizer_build sanitizer_tests package_check
  in_lane 5 windows_arm64_check
fi
status=0
wait_lanes || status=$?
print_times
if ((status != 0)); then
  echo "== A stage failed; the lanes still running were stopped" >&2
  exit "$status"
fi
echo "== All tests passed"
