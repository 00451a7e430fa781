#!/usr/bin/env bash
# Builds the updater as a native Windows program (build-win/) on Debian 12:
# installs the cross toolchain and Wine when missing, cross-builds the
# libraries Debian does not package for mingw once into a cached prefix
# outside the checkout, then configures and builds.
#   ./scripts/build-windows.sh                 deps (cached) + build-win/
#   VX_WIN_PREFIX=/some/dir ./scripts/build-windows.sh   another deps cache
#   VX_JOBS=4 ./scripts/build-windows.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${VX_JOBS:-2}
host=x86_64-w64-mingw32
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

install_packages() {
    local packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
        libz-mingw-w64-dev wine64 xvfb xauth dpkg-dev autoconf automake libtool tcl gcc cmake make pkg-config)
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    # The libraries are built from Debian's own sources of this release.
    local src=/etc/apt/sources.list.d/vx-deb-src.sources
    local update=
    if [ ! -e "$src" ] && ! grep -rqs '^\(Types: *deb-src\|deb-src\)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$src" >/dev/null
        update=1
    fi
    if [ ${#missing[@]} -gt 0 ] || [ -n "$update" ]; then
        echo "== installing: ${missing[*]:-(source index only)}"
        export DEBIAN_FRONTEND=noninteractive
        $SUDO apt-get update -q
        [ ${#missing[@]} -eq 0 ] || $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

srcversion() { apt-cache showsrc "$1" | awk '/^Version:/ {print $2}' | sort -V | tail -1; }

build_deps() {
    local prefix=$1 work
    work=$(mktemp -d /tmp/vx-win-deps.XXXXXX)
    trap 'rm -rf "$work"' RETURN
    echo "== cross-building SQLite, libsodium, libdeflate, GoogleTest into $prefix"
    mkdir -p "$prefix"/{lib/pkgconfig,include}
    cd "$work"
    # Debian's sources with Debian's patches (security fixes included).
    apt-get source -q sqlite3 libsodium libdeflate googletest >/dev/null 2>&1
    local d
    for d in sqlite3 libsodium libdeflate googletest; do mv "$(ls -d "$d"-*/ | head -1)" "$d"; done

    # SQLite: the amalgamation is made by the native tools of its tree, then
    # compiled for Windows. Its configure keeps the Unix VFS under mingw, so
    # the Windows one is asked for outright.
    (mkdir -p sqlite3/bld && cd sqlite3/bld && ../configure -q >/dev/null && make -s sqlite3.c >/dev/null &&
        $host-gcc-posix -O2 -DSQLITE_OS_WIN=1 -DSQLITE_THREADSAFE=1 -DSQLITE_ENABLE_FTS5 -c sqlite3.c -o sqlite3.o &&
        $host-ar rcs "$prefix/lib/libsqlite3.a" sqlite3.o && cp sqlite3.h sqlite3ext.h "$prefix/include/")

    # libsodium: Debian's source has no configure script.
    (cd libsodium && { [ -x configure ] || ./autogen.sh -s >/dev/null 2>&1; } &&
        ./configure -q --host=$host CC=$host-gcc-posix --prefix="$prefix" --disable-shared --enable-static \
            --disable-dependency-tracking >/dev/null &&
        make -s -j"$jobs" -C src >/dev/null && make -s -C src install >/dev/null && cp libsodium.pc "$prefix/lib/pkgconfig/")

    local cm=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DVX_WIN_PREFIX="$prefix"
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF)
    # libdeflate: its own Makefile, the library only.
    (cd libdeflate && make -s -j"$jobs" CC=$host-gcc-posix AR=$host-ar libdeflatestatic.lib >/dev/null &&
        cp libdeflatestatic.lib "$prefix/lib/libdeflate.a" && cp libdeflate.h "$prefix/include/" &&
        printf 'prefix=%s\nName: libdeflate\nDescription: libdeflate\nVersion: %s\nLibs: -L${prefix}/lib -ldeflate\nCflags: -I${prefix}/include\n' \
            "$prefix" "$(srcversion libdeflate)" >"$prefix/lib/pkgconfig/libdeflate.pc")
    cmake -S googletest -B googletest/bld "${cm[@]}" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
    cmake --build googletest/bld -j"$jobs" >/dev/null && cmake --install googletest/bld >/dev/null
    cd "$root"
    touch "$prefix/.complete"
}

t0=$(date +%s)
install_packages
key="sqlite3-$(srcversion sqlite3)_sodium-$(srcversion libsodium)_deflate-$(srcversion libdeflate)_gtest-$(srcversion googletest)_gcc-$($host-gcc-posix -dumpversion)"
prefix=${VX_WIN_PREFIX:-/var/cache/vx-win/$key}
if [ ! -e "$prefix/.complete" ]; then
    # A half-built cache of this script's own is started again; a folder
    # the caller named is built into as it is, never emptied.
    [ -n "${VX_WIN_PREFIX:-}" ] || rm -rf "$prefix"
    build_deps "$prefix"
fi
t1=$(date +%s)
echo "== libraries ready in $prefix ($((t1 - t0)) s)"

echo "== build (build-win/)"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DVX_WIN_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=${VX_WIN_BUILD_TYPE:-Release} -DVX_TESTS=${VX_WIN_TESTS:-ON} -DVX_WERROR=ON \
    ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} >/dev/null
cmake --build build-win -j"$jobs"
t2=$(date +%s)
echo "== built in $((t2 - t1)) s"

# Every .exe must need only Windows' own DLLs.
for exe in $(find build-win -maxdepth 4 -name '*.exe'); do
    bad=$($host-objdump -p "$exe" | awk '/DLL Name:/ {print $3}' |
        grep -viE '^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|ole32|oleaut32|ws2_32|odbc32|msvcrt|bcrypt|secur32|crypt32|shlwapi|version|winmm|imm32|uxtheme)\.dll$' || true)
    if [ -n "$bad" ]; then
        echo "$exe needs non-system DLLs: $bad" >&2
        exit 1
    fi
done
echo "== every .exe needs only Windows' own DLLs"
