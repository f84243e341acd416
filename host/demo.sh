#!/usr/bin/env bash
# The newcomer's demo: drives libz9tar.so through z9tar-host, the stand-in
# host, in a scratch directory. Usage: bash host/demo.sh [build-dir]
set -u
build=$(cd "${1:-build}" && pwd)
host="$build/z9tar-host"
work=$(mktemp -d /tmp/z9tar-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

step() { printf '\n$ z9tar-host %s\n' "$*"; "$host" "$@"; }

printf 'hello from the host\n' > greeting.txt
head -c 3000 /dev/urandom > blob.bin

echo "== z9tar demo in $work"
step help | head -12
step put -ARCHIVE demo.tar -MEMBER greeting.txt -c --in greeting.txt
step put -ARCHIVE demo.tar -MEMBER blob.bin -a --in blob.bin
step get -ARCHIVE demo.tar -CAT -T listing.txt
echo "--- listing.txt"; cat listing.txt 2>/dev/null
step get -ARCHIVE demo.tar -MEMBER blob.bin -x --out blob.out
cmp -s blob.bin blob.out && echo "blob.bin came back byte for byte"
step get -ARCHIVE demo.tar -MEMBER greeting.txt -x
echo
echo "--- refusals"
step get -ARCHIVE demo.tar
step get -MEMBER greeting.txt -x
step get -ARCHIVE demo.tar -MEMBER x -c
step put -ARCHIVE demo.tar -MEMBER x -x
step get -ARCHIVE demo.tar -MEMBER missing -x
echo "--- the operator's policy for every call: Z9TAR_OPTIONS=\"-SAFE -STRICT\""
Z9TAR_OPTIONS="-SAFE -STRICT" step get -ARCHIVE demo.tar -MEMBER blob.bin -SAEF -x
step get -ARCHIVE demo.tar -MEMBER greeting.txt -d
step get -ARCHIVE demo.tar -CAT -T listing.txt
echo "--- listing.txt after the delete"; cat listing.txt 2>/dev/null
if command -v tar >/dev/null; then echo "--- GNU tar reads it:"; tar tvf demo.tar; fi
exit 0
