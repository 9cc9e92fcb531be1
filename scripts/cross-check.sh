#!/usr/bin/env bash
# Builds volquill for Windows x64 (MinGW-w64), Windows ARM64 (Zig) and Linux
# ARM64 and runs the whole-run tests against each: volquill.exe under wine,
# the Windows ARM64 volquill.exe under Debian's arm64 wine through
# qemu-user (scripts/wine-arm64.sh), the Linux ARM64 binary under qemu-user.
# The tests themselves are a host build of run_tests, which starts the
# foreign binary through VOLQUILL_RUNNER. For each Windows build it also
# makes the ZIP package, unpacks it and runs its volquill.exe on the sample
# image: a query, a relabel to a label outside the ANSI code page whose
# bytes in the image are checked, and the same relabel on a console (a
# pseudo-terminal, which wine makes a console), where every character of the
# label must show. Installs what it needs; the Zig compiler and the arm64
# root are kept in a cache folder between runs (see scripts/zig-toolchain.sh
# and scripts/wine-arm64.sh).
#
#   scripts/cross-check.sh                  every target
#   scripts/cross-check.sh windows          only one of them
#   scripts/cross-check.sh windows-arm64
#   scripts/cross-check.sh arm64
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
targets=("$@")
((${#targets[@]} > 0)) || targets=(windows windows-arm64 arm64)
for target in "${targets[@]}"; do
  [[ $target == windows || $target == windows-arm64 || $target == arm64 ]] ||
    { echo "unknown target: $target" >&2; exit 2; }
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
wants windows && packages+=(g++-mingw-w64-x86-64-win32 wine wine64 groff-base bsdutils)
wants windows-arm64 && packages+=(mmdebstrap qemu-user-static groff-base bsdutils)
wants windows-arm64 && ! command -v npm >/dev/null && packages+=(npm)
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

# Makes the ZIP package in build $1 (named $2, its folder $3), unpacks it and
# runs its volquill.exe through runner $4 on the sample image: the label line
# (UTF-16 text), a relabel to a label outside Windows-1252, whose image must be
# byte for byte the host build's after the same relabel, and that relabel on
# a console, where the label shows whole.
zip_check() {
  local build=$1 name=$2 folder=./$3 runner=$4
  local zip=$PWD/$build/$name line files
  rm -f "$zip"
  timed "$(basename "$build") cpack -G ZIP" cmake -E chdir "$build" cpack -G ZIP
  unpacked=$(mktemp -d)
  (cd "$unpacked" && cmake -E tar xf "$zip")
  files=$(cd "$unpacked" && find . -type f | LC_ALL=C sort | xargs)
  [[ $files == "$folder/LICENSE.txt $folder/README.txt $folder/volquill.exe $folder/volquill.txt" ]] ||
    fail "the ZIP holds: $files"
  grep -q '^EXIT STATUS' "$unpacked/$folder/volquill.txt" || fail "volquill.txt is no manual"
  ! grep -q $'[\b\e]' "$unpacked/$folder/volquill.txt" || fail "volquill.txt holds terminal codes"
  local exe=$unpacked/$folder/volquill.exe image=$unpacked/sample.iso label="ボリューム Ω"
  build-test/tests/make_sample_image "$image"
  line=$($runner "$exe" "$image" | iconv -f UTF-16LE -t UTF-8)
  [[ ${line%$'\r'} == "Volume label of $image: Sample Disc" ]] || fail "unexpected: $line"
  echo "${line%$'\r'} (volquill.exe from $name)"
  # Redirected, the Changing line is in the ANSI code page.
  cp "$image" "$unpacked/host.iso"
  line=$($runner "$exe" "$image" "$label" | tr -d '\r' | iconv -f WINDOWS-1252 -t UTF-8)
  [[ $line == "Changing $image volume label to '????? ?'"$'\n''Done!' ]] || fail "unexpected: $line"
  build-test/volquill "$unpacked/host.iso" "$label" >/dev/null
  cmp "$image" "$unpacked/host.iso" || fail "the relabelled image differs from the host build's"
  [[ $(build-test/volquill "$image") == "Volume label of $image: $label" ]] || fail "label not written"
  # On a console every character shows.
  build-test/tests/make_sample_image "$image"
  line=$(script -qec "$runner ${exe@Q} ${image@Q} ${label@Q}" /dev/null </dev/null |
         sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g' | tr -d '\r')
  [[ $line == "Changing $image volume label to '$label'"$'\n''Done!' ]] ||
    fail "unexpected on a console: $(printf %q "$line")"
  echo "Changing ... '$label' on a console, and its image as the host build's"
  rm -rf "$unpacked"
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
  trap 'wineserver -k 2>/dev/null || true; rm -rf "${unpacked:-}"' EXIT
  timed "wine prefix (first start)" wine wineboot --init </dev/null >/dev/null 2>&1
  # In a UTF-8 locale wine hands arguments over in the ANSI code page
  # Windows-1252.
  whole_run_tests "windows run_tests under wine" "$out/windows/volquill.exe" \
    "env LC_ALL=C.UTF-8 wine" x64 VOLQUILL_STDOUT=windows-1252

  step "Windows x64: cpack -G ZIP, its volquill.exe under wine"
  zip_check "$out/windows" volquill-1.0-win64.zip volquill-1.0-win64 "env LC_ALL=C.UTF-8 wine"
  wineserver -k 2>/dev/null || true
  trap - EXIT
fi

if wants windows-arm64; then
  step "Windows ARM64: Zig build, whole-run tests under arm64 wine through qemu-user"
  timed "windows-arm64 arm64 wine root" scripts/wine-arm64.sh setup >/dev/null
  cross_build windows-arm64 cmake/zig-aarch64-windows.cmake
  wine_arm64=(bash "$PWD/scripts/wine-arm64.sh")
  # Two shards of the tests side by side, each with a prefix and a wineserver
  # of its own: one wineserver, itself under qemu, would serve them in turn.
  export WINEDEBUG=-all
  prefixes=("$PWD/$out/wineprefix-arm64-0" "$PWD/$out/wineprefix-arm64-1")
  each_prefix() {
    local prefix status=0
    for prefix in "${prefixes[@]}"; do
      mkdir -p "$prefix"
      WINEPREFIX=$prefix "$@" &
    done
    for prefix in "${prefixes[@]}"; do wait -n || status=$?; done
    return "$status"
  }
  each_prefix "${wine_arm64[@]}" wineserver -p
  trap 'each_prefix "${wine_arm64[@]}" wineserver -k 2>/dev/null || true; rm -rf "${unpacked:-}"' EXIT
  timed "arm64 wine prefixes (first start)" each_prefix "${wine_arm64[@]}" run wineboot --init \
    </dev/null >/dev/null 2>&1
  export WINEPREFIX=${prefixes[0]}
  echo "built with Zig $(cat "$(scripts/zig-toolchain.sh)/../version")," \
       "run with wine64 $(dpkg-query --admindir="$(scripts/wine-arm64.sh setup)/var/lib/dpkg" -W -f='${Version}' wine64):arm64" \
       "and $(qemu-aarch64-static --version | head -1)"
  # What the first run on this machine set up, and how long it took.
  cat "$(scripts/zig-toolchain.sh)/../made" "$(scripts/wine-arm64.sh setup)/../made"
  # Each shard in one mount namespace with the root's directories bound, so
  # that a run costs little more than wine's start.
  shard() {
    WINEPREFIX=${prefixes[$1]} GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$1 \
      VOLQUILL_BINARY="$PWD/$out/windows-arm64/volquill.exe" VOLQUILL_PROCESSOR=arm64 \
      VOLQUILL_RUNNER="${wine_arm64[*]} run" VOLQUILL_STDOUT=windows-1252 "${wine_arm64[@]}" bound \
      "$run_tests" --gtest_brief=1 >"$out/windows-arm64/run_tests.$1.log" 2>&1
  }
  shards() {
    local status=0
    shard 0 &
    shard 1 || status=$?
    wait $! || status=$?
    cat "$out/windows-arm64/run_tests.0.log" "$out/windows-arm64/run_tests.1.log"
    return "$status"
  }
  timed "windows-arm64 run_tests under arm64 wine" shards

  step "Windows ARM64: cpack -G ZIP, its volquill.exe under arm64 wine"
  zip_check "$out/windows-arm64" volquill-1.0-win-arm64.zip volquill-1.0-win-arm64 "${wine_arm64[*]} run"
  each_prefix "${wine_arm64[@]}" wineserver -k 2>/dev/null || true
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
