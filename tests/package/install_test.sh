#!/usr/bin/env bash
# install_test.sh - installs the build into a scratch prefix, builds the plain-C
# host test against the installed tree through pkg-config and through
# find_package(z9tar), runs both, then the installed z9tar-host on an archive.
# Usage: install_test.sh BUILD-DIR SOURCE-DIR
set -euo pipefail
build=$1 src=$2
t=$(mktemp -d /tmp/z9tar-install.XXXXXX)
trap 'rm -rf "$t"' EXIT
cmake --install "$build" --prefix "$t/usr" >/dev/null

export PKG_CONFIG_PATH=$t/usr/lib/pkgconfig
cc -Wall -Wextra -Werror -o "$t/pc_host" "$src/tests/c/c_host_test.c" \
  $(pkg-config --cflags --libs z9tar) -Wl,-rpath,"$(pkg-config --variable=libdir z9tar)"
"$t/pc_host"

mkdir "$t/cm"
cat > "$t/cm/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.25)
project(cm_host C)
find_package(z9tar 1.0 REQUIRED)
add_executable(cm_host "$src/tests/c/c_host_test.c")
target_link_libraries(cm_host PRIVATE z9tar::z9tar)
END
cmake -S "$t/cm" -B "$t/cm/b" -G Ninja -DCMAKE_PREFIX_PATH="$t/usr" >/dev/null
cmake --build "$t/cm/b" >/dev/null
"$t/cm/b/cm_host"

# The installed host finds the installed library without being told where.
cd "$t"
printf 'installed\n' > m.txt
tar cf a.tar m.txt
host=$t/usr/bin/z9tar-host
[ "$("$host" --version)" = "z9tar tar archive adapter 1.0(101) (1.0.0.0(101)_64bit)" ]
[ "$("$host" get -ARCHIVE a.tar -MEMBER m.txt -x 2>&1)" = "installed
rc=0 GetArchive_succeeded" ]
echo "install test passed"
