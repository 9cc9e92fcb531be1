#!/usr/bin/env bash
# Checks what users install: `cmake --install` puts the program, its manual
# page, its bash completion and the licence in place, the manual page renders
# without a warning, and `cpack -G DEB` makes a package holding them all, the
# licence as the package's copyright file. The package's program is then run
# on a sample image: unpacked into a scratch directory, or, with --install
# (and always under CI=true), installed with apt-get, run from PATH and
# removed again.
set -euo pipefail
cd "$(dirname "$0")/.."
# The Release build of scripts/test.sh, made here if it is not there yet.
out=build-test
install_package=false
[[ ${1:-} == --install || ${CI:-} == true ]] && install_package=true

scripts/install-deps.sh cmake g++ make libgtest-dev libgmock-dev nlohmann-json3-dev dpkg-dev groff-base \
  man-db

fail() {
  echo "package check failed: $*" >&2
  exit 1
}

echo "== Release build"
scripts/release-build.sh volquill make_sample_image

echo "== cmake --install"
stage=$out/stage
rm -rf "$stage"
cmake --install "$out" --prefix "$PWD/$stage"
[[ -x $stage/bin/volquill ]] || fail "no bin/volquill"
for file in share/man/man1/volquill.1 share/bash-completion/completions/volquill \
  share/doc/volquill/copyright; do
  [[ -f $stage/$file ]] || fail "no $file"
done

echo "== Manual page"
warnings=$(groff -man -ww -z doc/volquill.1 2>&1)
[[ -z $warnings ]] || fail "groff warns: $warnings"
warnings=$(MANWIDTH=80 man --warnings -l doc/volquill.1 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man warns: $warnings"
page=$(MANWIDTH=80 man -l "$stage/share/man/man1/volquill.1" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" DIAGNOSTICS EXAMPLES; do
  grep -q "^$section" <<<"$page" || fail "manual page has no $section section"
done
# Every option --help lists is in the page, rendered wide so that no line break splits one.
wide=$(MANWIDTH=1000 man -l "$stage/share/man/man1/volquill.1" 2>/dev/null)
for option in $("$out/volquill" --help | sed -n 's/^\t\(-[a-zA-Z]\)\{0,1\},\{0,1\} \{0,1\}\(--[a-z-]*\) .*/\1 \2/p'); do
  grep -Eq -- "(^|[^-a-z])$option([^-a-z]|\$)" <<<"$wide" || fail "manual page lacks $option"
done

echo "== cpack -G DEB"
rm -f "$out"/volquill_*.deb
(cd "$out" && cpack -G DEB >/dev/null)
debs=("$out"/volquill_*.deb)
[[ -f ${debs[0]} ]] || fail "no package made"
deb=$PWD/${debs[0]}
dpkg-deb --field "$deb" Package Version Architecture Depends
contents=$(dpkg-deb --contents "$deb")
grep -q ' \./usr/bin/volquill$' <<<"$contents" || fail "package lacks /usr/bin/volquill"
grep -q ' \./usr/share/man/man1/volquill\.1' <<<"$contents" || fail "package lacks the manual page"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/volquill/copyright | cmp - LICENSE ||
  fail "package's copyright file is not LICENSE"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/bash-completion/completions/volquill |
  cmp - completion/volquill.bash || fail "package's bash completion is not completion/volquill.bash"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$out/tests/make_sample_image" "$scratch/sample.iso"

# Runs the packaged program from PATH on the sample image.
try_from_path() {
  local usage
  usage=$(volquill)
  echo "${usage%%$'\n'*}"
  volquill "$scratch/sample.iso" "Packaged" >/dev/null
  local line
  line=$(volquill "$scratch/sample.iso")
  [[ $line == "Volume label of $scratch/sample.iso: Packaged" ]] || fail "unexpected: $line"
  echo "$line"
}

if $install_package; then
  echo "== apt-get install $deb"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q "$deb" >/dev/null
  [[ $(command -v volquill) == /usr/bin/volquill ]] || fail "volquill is not on PATH"
  man -w volquill >/dev/null || fail "man does not find the page"
  try_from_path
  apt-get remove -y -q volquill >/dev/null
else
  echo "== dpkg-deb --extract (run with --install to install it with apt-get)"
  dpkg-deb --extract "$deb" "$scratch/root"
  PATH=$scratch/root/usr/bin:$PATH try_from_path
fi
echo "== Package check passed: $(basename "$deb")"
