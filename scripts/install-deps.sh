#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages named on the command line that
# are not installed yet. Runs apt-get update at most once per call.
set -euo pipefail
missing=()
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]} == 0)); then exit 0; fi
echo "Installing: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "not root: cannot install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null
apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
