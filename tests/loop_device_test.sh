#!/usr/bin/env bash
# A block device on Linux: query and relabel through a loop device, read back
# by the tool, blkid and udfinfo; the refusal to write while another opener
# holds the device exclusively, as a mounted file system does; and the
# refusal to relabel the file behind a loop device whose file system is
# mounted.
#
#   loop_device_test.sh BINARY SAMPLE_MAKER
#
# Exits 77 (skipped), saying why, when no loop device can be set up here.
set -uo pipefail

binary=$1
sample_maker=$2

skip() {
  echo "loop device test skipped: $*"
  exit 77
}
[[ $(uname -s) == Linux ]] || skip "not Linux"
((EUID == 0)) || skip "not root (losetup needs root)"
command -v losetup >/dev/null || skip "losetup not installed"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

work=$(mktemp -d)
device=
holder=
mounted=
cleanup() {
  if [[ -n $holder ]]; then kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null; fi
  [[ -n $mounted ]] && umount "$work/mnt"
  [[ -n $device ]] && losetup -d "$device"
  rm -rf "$work"
}
trap cleanup EXIT

image=$work/volume.img
if command -v mkudffs >/dev/null; then
  old="Loop Start"
  truncate -s 16M "$image"
  mkudffs --blocksize=2048 --media-type=hd --label="$old" "$image" >/dev/null || exit 1
else
  old="Sample Disc"
  "$sample_maker" "$image" || exit 1
fi
device=$(losetup --find --show "$image" 2>"$work/losetup") ||
  { device=; skip "no loop device could be set up: $(cat "$work/losetup")"; }

# expect_run WHAT STATUS OUTPUT ARG...: the tool's exit status and whole output.
expect_run() {
  local what=$1 status=$2 expected=$3 output
  shift 3
  output=$("$binary" "$@" 2>&1)
  local got=$?
  ((got == status)) || fail "$what: exit status $got, expected $status"
  [[ $output == "$expected" ]] || fail "$what: printed [$output], expected [$expected]"
}

new="Loop Label"
expect_run "query" 0 "Volume label of $device: $old" "$device"
output=$("$binary" "$device" "$new" 2>&1) || fail "relabel: exit status $?: $output"
[[ $output == *"Done!" ]] || fail "relabel: no \"Done!\" in [$output]"
expect_run "query after the relabel" 0 "Volume label of $device: $new" "$device"
if command -v blkid >/dev/null; then
  label=$(blkid -p -s LABEL -o value "$device")
  [[ $label == "$new" ]] || fail "blkid -p shows [$label] after the relabel"
fi
if command -v udfinfo >/dev/null; then
  label=$(udfinfo "$device" 2>/dev/null | sed -n 's/^label=//p')
  [[ $label == "$new" ]] || fail "udfinfo shows [$label] after the relabel"
fi

# Another opener holds the device exclusively: a relabel is refused and
# writes nothing; a query still reads it.
if command -v python3 >/dev/null; then
  python3 -c 'import os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_EXCL)
print("held", flush=True)
time.sleep(120)' "$device" >"$work/held" 2>&1 &
  holder=$!
  for _ in $(seq 50); do
    [[ -s $work/held ]] && break
    sleep 0.1
  done
  if [[ $(cat "$work/held") != held ]]; then
    fail "could not hold $device exclusively: $(cat "$work/held")"
  else
    before=$(sha256sum <"$device")
    expect_run "relabel while held" 1 \
      "Changing $device volume label to 'Refused'"$'\n'"Error opening file for writing: $device" \
      "$device" "Refused"
    [[ $(sha256sum <"$device") == "$before" ]] || fail "relabel while held wrote to $device"
    expect_run "query while held" 0 "Volume label of $device: $new" "$device"
  fi
else
  echo "python3 not installed: the exclusive hold not checked"
fi

# The image file itself, once the loop device's file system is mounted: a
# relabel is refused before anything is read, whatever the file system; a
# query still reads it. With the device only attached, the file is
# relabelled. The kernel mounts the UDF volume where it can, else an ext2
# file system made in a second file (the check comes before recognition).
output=$("$binary" "$image" "File Label" 2>&1) || fail "relabel of the attached file: $output"
mkdir "$work/mnt"
target=$image
target_device=$device
if ! mount -o ro "$device" "$work/mnt" 2>"$work/mount" && command -v mkfs.ext2 >/dev/null; then
  target=$work/ext2.img
  truncate -s 8M "$target"
  mkfs.ext2 -q "$target" 2>>"$work/mount"
  losetup -d "$device"
  device=$(losetup --find --show "$target" 2>>"$work/mount") || device=
  target_device=$device
  [[ -n $device ]] && mount -o ro "$device" "$work/mnt" 2>>"$work/mount"
fi
if mountpoint -q "$work/mnt"; then
  mounted=yes
  before=$(sha256sum <"$target")
  expect_run "relabel of the mounted file" 1 \
    "Changing $target volume label to 'Refused'"$'\n'"Error opening file for writing: $target (mounted through $target_device)" \
    "$target" "Refused"
  [[ $(sha256sum <"$target") == "$before" ]] || fail "relabel of the mounted file wrote to it"
  if [[ $target == "$image" ]]; then
    expect_run "query of the mounted file" 0 "Volume label of $image: File Label" "$image"
  fi
  echo "mounted through $target_device: the relabel of $(basename "$target") refused"
else
  echo "no file system could be mounted from a loop device here ($(tr '\n' ' ' <"$work/mount")): the mounted file not checked"
fi

if ((failures > 0)); then
  exit 1
fi
echo "loop device checks passed"
