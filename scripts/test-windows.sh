#!/usr/bin/env bash
# Runs the Windows build's tests (build-win/, made by build-windows.sh)
# under 64-bit Wine through ctest. One wineserver is kept running for the
# whole run: without it every test program pays Wine's start-up again.
#   ./scripts/test-windows.sh                 every Windows test, then e2e-windows.sh
#   ./scripts/test-windows.sh -R Win32Files   ctest arguments pass through
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
[ -d build-win ] || { echo "build-win/ is missing: run ./scripts/build-windows.sh first" >&2; exit 1; }

export WINEDEBUG=-all
export WINEPREFIX=${VX_WINEPREFIX:-$HOME/.wine-vx}
# The first start makes the prefix (a minute or so); later ones reuse it.
if [ ! -e "$WINEPREFIX/system.reg" ]; then
    echo "== making the Wine prefix $WINEPREFIX"
    WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
fi
# A server already running (a wineboot just done, say) is used as it is.
/usr/lib/wine/wineserver -p 2>/dev/null || true
# Wine's own background programs (services, explorer) start with the first
# Windows program and outlive it; started here, they hold /dev/null rather
# than ctest's output pipes, which ctest would otherwise wait on to close.
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT

echo "== Windows tests under Wine"
cd build-win
junit="$(mktemp)"
if ! ctest --output-on-failure -j"${VX_JOBS:-2}" --timeout 300 --output-junit "$junit" "$@"; then
    # Under load Wine now and then fails to start a program at all: the test
    # then failed in no time with not one line of output. Only such tests are
    # run once more, by name; a test that ran and failed fails the stage.
    # Prints a pattern of the silent failures' names; fails when any failed
    # test said something.
    if ! regex="$(python3 - "$junit" <<'PY'
import re, sys, xml.etree.ElementTree as ET
failed = [c for c in ET.parse(sys.argv[1]).getroot().iter("testcase") if c.get("status") == "fail"]
silent = [c.get("name") for c in failed if not (c.findtext("system-out") or "").strip()]
if not failed or len(silent) != len(failed):
    sys.exit(1)
print("^(" + "|".join(re.escape(n) for n in silent) + ")$")
PY
)"; then
        rm -f "$junit"
        exit 1
    fi
    echo "== not started by Wine, run once more: $regex"
    ctest --output-on-failure --timeout 300 -R "$regex" || { rm -f "$junit"; exit 1; }
fi
rm -f "$junit"
cd "$root"
# The whole update under Wine, unless only some tests were asked for.
if [ $# -eq 0 ]; then
    echo "== the update end to end under Wine"
    ./scripts/e2e-windows.sh
fi
