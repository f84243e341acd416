#!/usr/bin/env bash
# deps.sh - the one list of Debian packages that building, testing and
# packaging z9tar need, and the check that installs the missing ones: with
# apt-get as root, through `sudo -n` when that works without a password, and
# otherwise it names the apt-get command to run and fails. `make demo`,
# `make test`, `make package` and .ci/run call it; extra package names given
# as arguments (the fuzz build's) join the list.
# Usage: tools/deps.sh [PACKAGE...]
set -euo pipefail

packages=(
  g++ make cmake ninja-build pkgconf libgtest-dev   # compiler, build, GoogleTest
  zlib1g-dev libzstd-dev liblzma-dev libbz2-dev libisal-dev libdeflate-dev   # the codec libraries
  python3 tar gzip zstd xz-utils bzip2 binutils   # the tests' independent readers and tools
  dpkg-dev file groff-base   # the Debian packages and the manual page's lint
  "$@"
)

if ! command -v dpkg-query >/dev/null; then
  echo "deps.sh: not a Debian system; make sure these are installed: ${packages[*]}" >&2
  exit 0
fi

# dpkg-query names the installed ones ("ii"); it is silent about unknown names.
installed=" $(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
  awk '$1 == "ii" { printf "%s ", $2 }')"
missing=()
for p in "${packages[@]}"; do
  [[ $installed == *" $p "* ]] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" = 0 ]; then
  as_root=()
elif sudo -n true 2>/dev/null; then
  as_root=(sudo -n)
else
  echo "deps.sh: missing Debian packages; as root, run: apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "deps.sh: installing ${missing[*]}" >&2
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
