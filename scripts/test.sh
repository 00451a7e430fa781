#!/usr/bin/env bash
# Runs the whole test suite on a fresh Debian 12 machine: installs what is
# missing, builds, starts the database servers the tests use, runs ctest,
# then does the same with AddressSanitizer and UndefinedBehaviorSanitizer, and
# makes sure a packager's Release build builds. Warnings are errors here.
#   ./scripts/test.sh            everything
#   VX_SKIP_SANITIZE=1 ./scripts/test.sh   only the normal build
#   VX_SKIP_WINDOWS=1 ./scripts/test.sh    without the Windows build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

./scripts/install-deps.sh
# The logic reaches the operating system and Qt through platform/ alone.
./scripts/check-boundary.sh

# Servers: each script starts its server if it is not running and prints the
# environment the tests read.
eval "$(./scripts/start-services.sh)"
# Servers this run started are stopped at the end (VX_KEEP_SERVICES=1 keeps them).
[ -n "${VX_KEEP_SERVICES:-}" ] || trap './scripts/stop-services.sh' EXIT
export VX_REQUIRE_SERVERS=${VX_REQUIRE_SERVERS:-1}
export QT_QPA_PLATFORM=offscreen

jobs=${VX_JOBS:-2}
echo "== build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_TESTS=ON -DVX_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
echo "== tests"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)

# The Windows build, cross-compiled, its tests under Wine (the libraries it
# needs are built once and cached outside the checkout). VX_SKIP_WINDOWS=1
# leaves it out.
if [ -z "${VX_SKIP_WINDOWS:-}" ]; then
  echo "== Windows build (build-win/) and its tests under Wine"
  ./scripts/build-windows.sh
  ./scripts/test-windows.sh
fi

if [ -z "${VX_SKIP_SANITIZE:-}" ]; then
  echo "== sanitizer build (build-asan/)"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVX_SANITIZE=ON -DVX_WERROR=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  echo "== tests under ASan+UBSan"
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd build-asan && ctest --output-on-failure -j"$jobs" --timeout 600 -LE nosanitize)
fi
if [ -z "${VX_SKIP_RELEASE:-}" ]; then
  # What a packager builds: -O3, no tests. Built only; the tests ran above.
  echo "== release build (build-release/)"
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVX_TESTS=OFF -DVX_WERROR=ON >/dev/null
  cmake --build build-release -j"$jobs"
fi
if [ -z "${VX_SKIP_FUZZ:-}" ]; then
  echo "== fuzz targets, ${VX_FUZZ_SECONDS:-30} s each"
  FUZZ_SECONDS=${VX_FUZZ_SECONDS:-30} ./scripts/fuzz.sh
fi
echo "== all tests passed"
