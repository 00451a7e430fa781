# Cross-building the updater as a native 64-bit Windows program with Debian's
# mingw-w64 (the posix flavour: std::thread and std::mutex need it). Linked
# statically, so the .exe needs only Windows' own DLLs. The libraries that
# Debian does not package for mingw (SQLite, libsodium, libdeflate,
# GoogleTest) come from the prefix scripts/build-windows.sh cross-builds;
# zlib from libz-mingw-w64-dev lives in the compiler's own root.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VX_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VX_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VX_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${VX_MINGW}-windres)

# The prefix is read again in every try_compile, where the cache is not.
if(NOT VX_WIN_PREFIX AND DEFINED ENV{VX_WIN_PREFIX})
  set(VX_WIN_PREFIX $ENV{VX_WIN_PREFIX})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VX_WIN_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${VX_MINGW} ${VX_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must see the cross-built libraries only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${VX_WIN_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine (the wrapper keeps Wine's chatter quiet and
# uses the wineserver the test script keeps running).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
