#!/usr/bin/env bash
# What a run of the tool costs besides starting a process, counted rather
# than timed: the shared libraries and static initialisers of the executable,
# and the reads and writes it makes on the image.
#
#   footprint_test.sh BINARY SAMPLE_MAKER STATIC_RUNTIME SANITIZED OBJECT...
#
# STATIC_RUNTIME is 1 when the build links the C++ runtime statically,
# SANITIZED 1 in sanitizer builds (whose instrumentation adds initialisers);
# the OBJECTs are the tool's own object files. Exits 77 (skipped) when strace
# cannot trace here, after the checks of the executable.
set -euo pipefail

binary=$1
sample_maker=$2
static_runtime=$3
sanitized=$4
shift 4
objects=("$@")

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# --- The executable -------------------------------------------------------

symbols=$(nm "$binary" 2>/dev/null || true)
if grep -q '_ZNSt8ios_base4Init' <<<"$symbols"; then
  fail "the executable uses iostreams: their static initialiser runs at every start"
fi
if [[ $static_runtime == 1 ]]; then
  needed=$(readelf -d "$binary" 2>/dev/null | grep NEEDED || true)
  if grep -Eq 'libstdc\+\+|libgcc_s' <<<"$needed"; then
    fail "the executable loads the C++ runtime dynamically: $needed"
  fi
fi
if [[ $sanitized != 1 ]]; then
  for object in "${objects[@]}"; do
    if ! sections=$(readelf -S "$object"); then
      fail "cannot read $object"
    elif grep -Eq '\.(init_array|ctors)' <<<"$sections"; then
      fail "$(basename "$object") has a static initialiser"
    fi
  done
fi

# --- Reads and writes on the image -----------------------------------------

if ! command -v strace >/dev/null || ! strace -o /dev/null true 2>/dev/null; then
  echo "strace cannot trace here: image access not checked"
  ((failures == 0)) || exit 1
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The operations of one run on the image, one per line, the image's path
# replaced by IMG: call, size and offset, and the result.
trace_run() {
  local image=$1
  shift
  strace -f -qq -y -s 0 -o "$work/trace" \
    -e trace=read,pread64,readv,preadv,preadv2,write,pwrite64,writev,pwritev,pwritev2,lseek \
    "$binary" "$image" "$@" >/dev/null
  grep -F "<$image>" "$work/trace" | sed -E -e "s#[0-9]+<$image>#<IMG>#" -e 's/^[0-9]+ +//' || true
}

# The same volume as a small file and as a sparse 50 GiB one: a run must make
# the same reads and writes on both, whatever the image's size (only the
# offsets of the anchor probes near the image's end and the size differ).
"$sample_maker" "$work/small.iso"
cp "$work/small.iso" "$work/large.iso"
truncate -s 50G "$work/large.iso"

without_offsets() {
  sed -E -e 's/^([a-z0-9]+\(<IMG>, [^,]*, [0-9]+), [0-9]+\)/\1)/' -e 's/^(lseek\(.*SEEK_END\)) = [0-9]+/\1/'
}

for mode in query relabel; do
  args=()
  [[ $mode == relabel ]] && args=("New Label")
  small=$(trace_run "$work/small.iso" "${args[@]}")
  large=$(trace_run "$work/large.iso" "${args[@]}")
  if [[ "$(without_offsets <<<"$small")" != "$(without_offsets <<<"$large")" ]]; then
    fail "$mode: a 50 GiB image is read or written differently from a small one"
    diff <(echo "$small") <(echo "$large") || true
  fi
  reads=$(grep -E '^(read|pread64|readv|preadv|preadv2)\(' <<<"$small" || true)
  read_bytes=$(awk '{ total += $NF } END { print total + 0 }' <<<"$reads")
  if ((read_bytes > 100 * 1024)); then
    fail "$mode: $read_bytes bytes read, more than 100 KiB"
  fi
  # Sequences are read in chunks of 16 sectors.
  largest=$(awk '{ if ($NF > m) m = $NF } END { print m + 0 }' <<<"$reads")
  if ((largest > 16 * 2048)); then
    fail "$mode: a single read of $largest bytes, more than 16 sectors"
  fi
  if [[ $mode == query ]] && grep -qE '^(write|pwrite64|writev|pwritev|pwritev2)\(' <<<"$small"; then
    fail "query: the image was written"
  fi
done

if ((failures > 0)); then
  exit 1
fi
echo "footprint checks passed"
