#!/usr/bin/env bash
# Runs Windows ARM64 programs on this x86-64 machine: Debian's arm64 Wine in an
# arm64 root of its own, its Linux programs run by qemu-aarch64-static through
# binfmt_misc. scripts/cross-check.sh windows-arm64 uses it; it needs root.
#
#   scripts/wine-arm64.sh setup           makes the root (once) and registers qemu
#   scripts/wine-arm64.sh run PROGRAM...  runs wine64 PROGRAM... inside the root
#   scripts/wine-arm64.sh wineserver ARG  runs the root's wineserver (-p, -k)
#   scripts/wine-arm64.sh bound COMMAND...  runs COMMAND of this machine with
#                                         the directories bound once, where
#                                         `run` costs less
#
# The root is made by mmdebstrap from Debian's packages (in about 15 s on a
# fast mirror, 410 MB on disk) and kept in the cache folder (VOLQUILL_CACHE;
# /var/cache/volquill for root, else ~/.cache/volquill), named after what it
# is made of, so that it is made again when it is missing or that changes.
# libc-bin brings the C.UTF-8 locale: without it Wine reads the command line
# as ASCII. A run enters the root in a mount namespace of its own with /tmp,
# TMPDIR, this work tree and WINEPREFIX bound at the same paths, so that the
# paths given on the command line hold inside. qemu is registered with flag F
# (the interpreter opened at registration), so that it runs inside the root,
# which holds no qemu.
set -euo pipefail
# Inside `bound` a run only enters the root, in the current directory (which
# must lie in a bound one): the cheap way for the many runs of the tests.
if [[ ${1:-} == run && -n ${VOLQUILL_WINE_ARM64_BOUND:-} ]]; then
  shift
  exec unshare --root="$VOLQUILL_WINE_ARM64_BOUND" --wd="$PWD" /usr/lib/wine/wine64 "$@"
fi
tree=$(cd "$(dirname "$0")/.." && pwd)
if [[ -n ${VOLQUILL_CACHE:-} ]]; then
  cache=$VOLQUILL_CACHE
elif [[ $(id -u) -eq 0 ]]; then
  cache=/var/cache/volquill
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/volquill
fi
suite=bookworm
include=wine64,libwine,libc-bin,dash
key=$(echo "$suite $include" | sha256sum | cut -c1-16)
home=$cache/wine-arm64-$key
root=$home/root

fail() {
  echo "wine-arm64: $*" >&2
  exit 1
}

make_root() {
  [[ -f $home/complete ]] && return 0
  mkdir -p "$cache"
  exec 8>"$cache/wine-arm64.lock"
  flock 8
  [[ -f $home/complete ]] && return 0
  echo "Making the arm64 Wine root in $root" >&2
  local start=$SECONDS
  rm -rf "$home"
  mkdir -p "$home"
  mmdebstrap --quiet --variant=extract --arch=arm64 --include="$include" "$suite" "$root.new" >&2 ||
    fail "mmdebstrap could not make the root"
  [[ -x $root.new/usr/lib/wine/wine64 ]] || fail "no wine64 in the root"
  [[ -d $root.new/usr/lib/locale/C.utf8 ]] || fail "no C.UTF-8 locale in the root"
  mkdir -p "$root.new/proc" "$root.new/dev" "$root.new/tmp"
  mv "$root.new" "$root"
  echo "arm64 Wine root made in $((SECONDS - start)) s on $(date -u +%F) in $root" \
       "($(du -sm "$root" | cut -f1) MB)" >"$home/made"
  touch "$home/complete"
}

# qemu-aarch64-static for every aarch64 ELF program, with flag F.
register_qemu() {
  local binfmt=/proc/sys/fs/binfmt_misc entry
  [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt" ||
    fail "binfmt_misc cannot be mounted"
  entry=$binfmt/qemu-aarch64
  if [[ ! -e $entry ]]; then
    [[ -f /usr/lib/binfmt.d/qemu-aarch64.conf ]] || fail "qemu-user-static is not installed"
    cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register" || fail "qemu cannot be registered"
  fi
  grep -qx enabled "$entry" || fail "$entry is disabled"
  grep -q '^flags:.*F' "$entry" || fail "$entry is registered without flag F"
}

# Runs "$@" (a program of this machine) in a mount namespace of its own in
# which the root has the directories bound.
bound() {
  [[ -f $home/complete ]] || fail "no root yet: run scripts/wine-arm64.sh setup"
  local binds=(/tmp "$tree")
  [[ -n ${TMPDIR:-} ]] && binds+=("$TMPDIR")
  [[ -n ${WINEPREFIX:-} ]] && binds+=("$(dirname "$WINEPREFIX")")
  # WINELOADERNOEXEC: the loader starts the program without first executing
  # itself again. Through qemu that second start would cost a tenth of a
  # second and lose the signals the caller ignores (SIGXFSZ, which a test of
  # failing writes relies on): qemu catches them itself, and a caught signal
  # is reset by execve.
  # shellcheck disable=SC2016 # expanded by the inner shell
  LC_ALL=C.UTF-8 WINELOADERNOEXEC=1 VOLQUILL_WINE_ARM64_BOUND=$root exec unshare --mount --propagation private bash -c '
    root=$1
    shift
    mount --rbind /proc "$root/proc" && mount --rbind /dev "$root/dev" || exit 125
    while [[ $1 != -- ]]; do
      mkdir -p "$root$1" && mount --bind "$1" "$root$1" || exit 125
      shift
    done
    shift
    exec "$@"' bound "$root" "${binds[@]}" -- "$@"
}

# Runs the root's program "$@" inside it, in the current directory when that
# is bound, else in /.
enter() {
  local dir wd=/
  for dir in /tmp "$tree" ${TMPDIR:+"$TMPDIR"} ${WINEPREFIX:+"$(dirname "$WINEPREFIX")"}; do
    [[ $PWD == "$dir" || $PWD == "$dir"/* ]] && wd=$PWD
  done
  bound unshare --root="$root" --wd="$wd" "$@"
}

case ${1:-} in
  setup)
    make_root
    register_qemu
    echo "$root"
    ;;
  run)
    shift
    enter /usr/lib/wine/wine64 "$@"
    ;;
  bound)
    shift
    bound "$@"
    ;;
  wineserver)
    shift
    enter /usr/lib/wine/wineserver "$@"
    ;;
  *)
    echo "usage: scripts/wine-arm64.sh setup | run PROGRAM [ARG...] | wineserver ARG | bound COMMAND..." >&2
    exit 2
    ;;
esac
