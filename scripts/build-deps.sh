#!/usr/bin/env bash
# Builds the static i686 libraries the archive library links (liblzma, libbz2, libarchive with
# Windows' own CNG for its ZIP encryption, the case-sensitive header checks of its build
# answered by hand) from Debian's source packages, plus zlib from the
# mingw package, into a cache directory. zlib's Deflate64 decoder, contrib/infback9, is not in
# Debian's zlib source (it is cut from it); binutils' source carries zlib whole, contrib and all,
# so infback9 comes from there: its sources are kept in CACHE/infback9 for the native build, and
# built for i686 as libinfback9.a.
# The cache is keyed by the package versions; a complete cache is reused as it is.
#
#   build-deps.sh CACHE_PARENT      prints the cache directory on its last line
set -euo pipefail

parent=${1:?cache parent directory}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$parent"
parent=$(cd "$parent" && pwd)

host=i686-w64-mingw32
cc=$host-gcc-posix
ar=$host-ar
ranlib=$host-ranlib
sysroot=/usr/$host

# A private apt configuration whose only sources are the system's own, as deb-src.
aptdir=$parent/apt
apt_opts=(-o "Dir::Etc::SourceList=$aptdir/sources.list" -o "Dir::Etc::SourceParts=$aptdir/parts"
          -o "Dir::State::Lists=$aptdir/lists" -o "Dir::Cache=$aptdir/cache"
          -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1")
make_apt_config() {
  mkdir -p "$aptdir/parts" "$aptdir/lists/partial" "$aptdir/cache/archives/partial"
  : > "$aptdir/sources.list"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -e 's/^Types:.*/Types: deb-src/' "$f" > "$aptdir/parts/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -n -e 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list > "$aptdir/sources.list"
  fi
  apt-get "${apt_opts[@]}" update -qq >/dev/null
}

source_version() { # the version apt would fetch for a source package
  apt-cache "${apt_opts[@]}" showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1
}

if [ ! -f "$aptdir/lists/.updated" ]; then
  make_apt_config
  touch "$aptdir/lists/.updated"
fi

v_xz=$(source_version xz-utils)
v_bz=$(source_version bzip2)
v_la=$(source_version libarchive)
v_bu=$(source_version binutils)
if [ -z "$v_xz" ] || [ -z "$v_bz" ] || [ -z "$v_la" ] || [ -z "$v_bu" ]; then
  make_apt_config
  v_xz=$(source_version xz-utils); v_bz=$(source_version bzip2); v_la=$(source_version libarchive)
  v_bu=$(source_version binutils)
fi
key=$(echo "xz-$v_xz bz2-$v_bz la-$v_la-cng ib9-$v_bu" | tr ':~+ ' '____')
cache=$parent/$key
if [ -f "$cache/.complete" ]; then
  echo "$cache"
  exit 0
fi

echo "deps: building $key" >&2
rm -rf "$cache"
mkdir -p "$cache/include" "$cache/lib"
work=$parent/src-$key
rm -rf "$work"
mkdir -p "$work"
cd "$work"
apt-get "${apt_opts[@]}" source -qq xz-utils bzip2 libarchive >/dev/null 2>&1 \
  || apt-get "${apt_opts[@]}" source xz-utils bzip2 libarchive >&2
# Of binutils only its copy of zlib's headers and infback9 is unpacked.
apt-get "${apt_opts[@]}" source -qq --download-only binutils >/dev/null 2>&1 \
  || apt-get "${apt_opts[@]}" source --download-only binutils >&2

jobs=$(nproc)
toolchain=$here/../cmake/mingw-i686.cmake

# liblzma
xzsrc=$(find . -maxdepth 1 -type d -name 'xz-utils-*' | head -n 1)
cmake -S "$xzsrc" -B build-xz -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DHAVE_GETOPT_LONG=OFF \
  -DCMAKE_INSTALL_PREFIX="$cache" >/dev/null
cmake --build build-xz -j"$jobs" --target liblzma >/dev/null
cp build-xz/liblzma.a "$cache/lib/"
cp -r "$xzsrc/src/liblzma/api/lzma" "$xzsrc/src/liblzma/api/lzma.h" "$cache/include/"

# libbz2
bzsrc=$(find . -maxdepth 1 -type d -name 'bzip2-*' | head -n 1)
make -C "$bzsrc" -j"$jobs" libbz2.a CC="$cc" AR="$ar" RANLIB="$ranlib" \
  CFLAGS="-O2 -D_FILE_OFFSET_BITS=64" >/dev/null
cp "$bzsrc/libbz2.a" "$cache/lib/"
cp "$bzsrc/bzlib.h" "$cache/include/"

# libarchive, against the two above and the mingw zlib
lasrc=$(find . -maxdepth 1 -type d -name 'libarchive-*' | head -n 1)
off=()
for o in OPENSSL MBEDTLS NETTLE LIBB2 LZ4 LZO ZSTD LIBXML2 EXPAT PCREPOSIX ICONV ACL XATTR \
         TEST TAR CPIO CAT INSTALL LIBGCC; do
  off+=("-DENABLE_$o=OFF")
done
cmake -S "$lasrc" -B build-la -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_FIND_ROOT_PATH="$cache;$sysroot" -DZLIB_USE_STATIC_LIBS=ON \
  -DWINDOWS_VERSION=WIN7 -DPOSIX_REGEX_LIB=NONE -DHAVE_LZMA_STREAM_ENCODER_MT=1 \
  -DLIBLZMA_INCLUDE_DIR="$cache/include" -DLIBLZMA_LIBRARY="$cache/lib/liblzma.a" \
  -DBZIP2_INCLUDE_DIR="$cache/include" -DBZIP2_LIBRARIES="$cache/lib/libbz2.a" \
  -DBZIP2_LIBRARY_RELEASE="$cache/lib/libbz2.a" \
  -DENABLE_CNG=ON -DHAVE_BCRYPT_H=1 -DHAVE_WINCRYPT_H=1 \
  -DCMAKE_C_FLAGS="-DLZMA_API_STATIC" "${off[@]}" >/dev/null
cmake --build build-la -j"$jobs" --target archive_static >/dev/null
cp build-la/libarchive/libarchive_static.a "$cache/lib/libarchive.a"
cp "$lasrc/libarchive/archive.h" "$lasrc/libarchive/archive_entry.h" "$cache/include/"

# infback9, from binutils' zlib; its allocator fallbacks are renamed, since the library always
# hands it allocators of its own and zlib's are not exported.
butar=$(find . -maxdepth 1 -name 'binutils_*.orig.tar.*' | head -n 1)
tar xf "$butar" --wildcards '*/zlib/contrib/infback9/*' '*/zlib/zutil.h' '*/zlib/zlib.h' \
  '*/zlib/zconf.h'
zsrc=$(find . -maxdepth 2 -type d -path "./binutils-*/zlib" | head -n 1)
mkdir -p "$cache/infback9"
cp "$zsrc"/contrib/infback9/*.[ch] "$zsrc"/contrib/infback9/README "$zsrc/zutil.h" "$zsrc/zlib.h" \
  "$zsrc/zconf.h" "$cache/infback9/"
for c in infback9 inftree9; do
  "$cc" -O2 -Dzcalloc=infback9_zcalloc -Dzcfree=infback9_zcfree -I"$cache/infback9" \
    -c "$cache/infback9/$c.c" -o "$c.o"
done
"$ar" rcs "$cache/lib/libinfback9.a" infback9.o inftree9.o
cp "$cache/infback9/infback9.h" "$cache/include/"

cd "$parent"
rm -rf "$work"
touch "$cache/.complete"
echo "$cache"
