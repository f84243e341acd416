#!/usr/bin/env bash
# deb_test.sh BUILD-DIR - the Debian packages `make package` built in BUILD-DIR (prefix /usr):
# their files, their Depends, the library's shlibs and what z9tar.pc requires.
set -euo pipefail
cd "$1"
v=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' CMakeCache.txt) l=usr/lib/x86_64-linux-gnu d=usr/share/doc
deb() { echo "$PWD/$1_${v}_amd64.deb"; }
names() { for p; do dpkg-deb -f "$(deb "$p")" Depends | tr ',' '\n' | awk '{ print $1 }'; done | sort -u | xargs; }
{ for p in libz9tar1 libz9tar-dev z9tar-host; do
    echo "$p:" $(dpkg-deb -c "$(deb $p)" | awk '$1 !~ /^d/ { print substr($6, 3) }')
  done
  names libz9tar1 && dpkg-deb -f "$(deb libz9tar-dev)" Depends && dpkg-deb -f "$(deb z9tar-host)" Depends | cut -d, -f1
  dpkg-deb --ctrl-tarfile "$(deb libz9tar1)" | tar xO ./shlibs
  dpkg-deb --fsys-tarfile "$(deb libz9tar-dev)" | tar xO ./$l/pkgconfig/z9tar.pc | grep Requires.private
} >packages.txt
diff -u - packages.txt <<END
libz9tar1: $l/libz9tar.so.1 $l/libz9tar.so.1.0.0 $d/libz9tar1/copyright
libz9tar-dev: usr/include/z9tar.h $l/cmake/z9tar/z9tarConfig.cmake $l/cmake/z9tar/z9tarConfigVersion.cmake \
$l/cmake/z9tar/z9tarTargets-relwithdebinfo.cmake $l/cmake/z9tar/z9tarTargets.cmake $l/libz9tar.so \
$l/pkgconfig/z9tar.pc $d/libz9tar-dev/README.md $d/libz9tar-dev/copyright
z9tar-host: usr/bin/z9tar-host $d/z9tar-host/copyright usr/share/man/man1/z9tar-host.1.gz
libbz2-1.0 libc6 libdeflate0 libisal2 liblzma5 libzstd1 zlib1g
libz9tar1 (= $v), zlib1g-dev, libzstd-dev, liblzma-dev, libisal-dev, libdeflate-dev, libbz2-dev
libz9tar1 (= $v)
libz9tar 1 libz9tar1 (>= $v)
Requires.private: zlib libzstd liblzma libisal libdeflate
END
echo "deb test passed"
