#!/usr/bin/env bash
# Builds volquill for Windows x64 (MinGW-w64) and for Linux ARM64 and runs the
# whole-run tests against each: volquill.exe under wine, the ARM64 binary under
# qemu-user. The tests themselves are a host build of run_tests, which starts
# the foreign binary through VOLQUILL_RUNNER. For Windows it also makes the
# ZIP package, unpacks it and runs its volquill.exe on the sample image.
# Installs what it needs.
#
#   scripts/cross-check.sh            both targets
#   scripts/cross-check.sh windows    only one of them
#   scripts/cross-check.sh arm64
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
targets=("$@")
((${#targets[@]} > 0)) || targets=(windows arm64)
for target in "${targets[@]}"; do
  [[ $target == windows || $target == arm64 ]] || { echo "unknown target: $target" >&2; exit 2; }
done
out=build-cross
summary=()

step() {
  echo "== $*"
}

fail() {
  echo "cross check failed: $*" >&2
  exit 1
}

# Runs a command, echoing it first, and notes how long it took.
timed() {
  local label=$1
  shift
  echo "+ ${*@Q}"
  local start=$SECONDS
  "$@"
  summary+=("$(printf '%-44s %4ds' "$label" $((SECONDS - start)))")
}

wants() {
  local t
  for t in "${targets[@]}"; do [[ $t == "$1" ]] && return 0; done
  return 1
}

packages=(cmake g++ make libgtest-dev libgmock-dev nlohmann-json3-dev)
wants windows && packages+=(g++-mingw-w64-x86-64-win32 wine wine64 groff-base)
wants arm64 && packages+=(g++-aarch64-linux-gnu qemu-user)
timed "install packages" scripts/install-deps.sh "${packages[@]}"

# The tests run on this machine: the Release build of scripts/test.sh, made
# here if it is not there yet.
step "Host build of the whole-run tests"
timed "host build (run_tests)" scripts/release-build.sh run_tests make_sample_image
run_tests=$PWD/build-test/tests/run_tests

# Configures and builds the program alone for target $1 with toolchain file $2.
cross_build() {
  cmake --no-warn-unused-cli -S . -B "$out/$1" -DCMAKE_TOOLCHAIN_FILE="$2" \
    -DVOLQUILL_BUILD_TESTS=OFF -DVOLQUILL_WERROR=ON >/dev/null
  timed "$1 build" cmake --build "$out/$1" -j"$jobs"
}

# Runs the whole-run tests against binary $2 started through runner $3, with
# the banner naming processor $4; further arguments are settings for env.
whole_run_tests() {
  local label=$1 binary=$2 runner=$3 processor=$4
  shift 4
  timed "$label" env VOLQUILL_BINARY="$PWD/$binary" VOLQUILL_RUNNER="$runner" \
    VOLQUILL_PROCESSOR="$processor" "$@" "$run_tests" --gtest_brief=1
}

if wants windows; then
  step "Windows x64: MinGW-w64 build, whole-run tests under wine"
  cross_build windows cmake/mingw-w64-x86_64.cmake
  echo "built with $(x86_64-w64-mingw32-g++-win32 --version | head -1), run with $(wine --version 2>/dev/null)"

  # A prefix of our own, and a wineserver kept running for the whole test run:
  # without it every run starts wine's services anew, which hold the tool's
  # output pipes open for seconds after it has exited.
  export WINEPREFIX=$PWD/$out/wineprefix WINEDEBUG=-all
  mkdir -p "$WINEPREFIX"
  wineserver -p
  trap 'wineserver -k 2>/dev/null || true' EXIT
  timed "wine prefix (first start)" wine wineboot --init </dev/null >/dev/null 2>&1
  # In a UTF-8 locale wine hands arguments over in the ANSI code page
  # Windows-1252.
  whole_run_tests "windows run_tests under wine" "$out/windows/volquill.exe" \
    "env LC_ALL=C.UTF-8 wine" x64 VOLQUILL_STDOUT=windows-1252

  step "Windows x64: cpack -G ZIP, its volquill.exe under wine"
  zip=$PWD/$out/windows/volquill-1.0-win64.zip
  rm -f "$zip"
  timed "windows cpack -G ZIP" cmake -E chdir "$out/windows" cpack -G ZIP
  unpacked=$(mktemp -d)
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$unpacked"' EXIT
  (cd "$unpacked" && cmake -E tar xf "$zip")
  files=$(cd "$unpacked" && find . -type f | LC_ALL=C sort | xargs)
  folder=./volquill-1.0-win64
  [[ $files == "$folder/LICENSE.txt $folder/README.txt $folder/volquill.exe $folder/volquill.txt" ]] ||
    fail "the ZIP holds: $files"
  grep -q '^EXIT STATUS' "$unpacked/$folder/volquill.txt" || fail "volquill.txt is no manual"
  ! grep -q $'[\b\e]' "$unpacked/$folder/volquill.txt" || fail "volquill.txt holds terminal codes"
  build-test/tests/make_sample_image "$unpacked/sample.iso"
  # The label line comes as UTF-16 text.
  line=$(wine "$unpacked/$folder/volquill.exe" "$unpacked/sample.iso" | iconv -f UTF-16LE -t UTF-8)
  [[ ${line%$'\r'} == "Volume label of $unpacked/sample.iso: Sample Disc" ]] || fail "unexpected: $line"
  echo "${line%$'\r'} (volquill.exe from $(basename "$zip"))"
  wineserver -k 2>/dev/null || true
  rm -rf "$unpacked"
  trap - EXIT
fi

if wants arm64; then
  step "Linux ARM64: aarch64-linux-gnu build, whole-run tests under qemu-user"
  cross_build arm64 cmake/aarch64-linux-gnu.cmake
  echo "built with $(aarch64-linux-gnu-g++ --version | head -1), run with $(qemu-aarch64 --version | head -1)"
  whole_run_tests "arm64 run_tests under qemu-aarch64" "$out/arm64/volquill" \
    "qemu-aarch64 -L /usr/aarch64-linux-gnu" arm64
fi

step "Cross checks passed"
printf '  %s\n' "${summary[@]}"
