#!/usr/bin/env bash
# readme_test.sh BUILD-DIR SOURCE-DIR - what the README and the manual page promise: tools/deps.sh
# on imagined machines (fakes first on PATH) asks for the README's apt-get line; the sh blocks after
# "<!-- runnable -->" run as written; the page lints clean and names every token; a failed --out fails.
set -Eeuo pipefail
build=$(cd "$1" && pwd) src=$(cd "$2" && pwd)
t=$(mktemp -d /tmp/z9tar-readme.XXXXXX)
trap 'rm -rf "$t"' EXIT
trap 'echo "failed: line $LINENO"' ERR
cd "$t" && mkdir bin && ln -s "$build" build
fake() { printf '#!/bin/sh\n%s\n' "$2" >"bin/$1" && chmod +x "bin/$1"; }
fake dpkg-query 'for p; do case " $HAS " in *" $p "*) echo "ii  $p";; esac; done'
fake dpkg 'exit 1' && fake id 'echo "$ID"' && fake apt-get 'echo "apt-get $*" >>log' &&
  fake sudo '[ "$SUDO" = yes ] && shift && exec "$@"; exit 1'
all=$(grep -o 'apt-get install [a-z0-9 +.-]*' "$src/README.md" | head -1) && all=${all#apt-get install }
some=$(echo " $all " | sed 's/ zstd / /; s/ libisal-dev / /')
say="deps.sh: missing Debian packages; as root, run: apt-get install"
did="deps.sh: installing libisal-dev zstd|apt-get update -qq|apt-get install -y -qq libisal-dev zstd|"
while IFS=, read -r HAS ID SUDO want; do   # installed, uid, sudo works: status|stderr|apt-get calls
  : >log && s=0 && HAS=$HAS ID=$ID SUDO=$SUDO PATH="$PWD/bin:$PATH" bash "$src/tools/deps.sh" 2>err || s=$?
  [ "$s|$(cat err)|$(tr '\n' '|' <log)" = "$want" ] || { echo "$HAS,$ID,$SUDO: $(cat err)"; exit 1; }
done <<END
,1000,no,1|$say $all|
$some,1000,no,1|$say libisal-dev zstd|
$some,0,no,0|$did
$some,1000,yes,0|$did
$all,1000,no,0||
END
awk '/^<!-- runnable -->$/ { mark = NR + 1 } NR == mark && /^```sh$/ { on = 1; next }
     on && /^```$/ { on = 0 } on' "$src/README.md" >examples.sh
[ "$(grep -c z9tar-host examples.sh)" -ge 12 ]
env -u Z9TAR_OPTIONS bash -ex examples.sh >log 2>&1 || { cat log; exit 1; }
page=$src/host/z9tar-host.1 && [ -z "$(groff -ww -z -man "$page" 2>&1)" ]
for token in $(build/z9tar-host help | grep -o '^-[A-Za-z+]*'); do grep -qF -- "\\$token" "$page"; done
build/z9tar-host --help | grep -q '^usage: z9tar-host get|put'
ln -s /dev/full full && s=0
build/z9tar-host get -ARCHIVE data.tar -MEMBER entry1 -x --out full 2>err || s=$?
[ "$s" = 1 ] && grep -q "cannot write full: No space left on device" err && [ -L full ] ||
  { echo "--out full: exit $s: $(cat err)"; exit 1; }
echo "readme test passed"
