#!/usr/bin/env bash
# Takes a screenshot of the updater's real window while it downloads a
# program archive from a throttled vsftpd on loopback, at about 40 %.
#   ./scripts/screenshot.sh            the Linux build (Qt's xcb platform under
#                                      Xvfb), writes docs/window.png
#   ./scripts/screenshot.sh --windows  the Windows build (build-win/, under
#                                      64-bit Wine on Xvfb), writes
#                                      docs/window-windows.png
set -euo pipefail
windows=0
case "${1:-}" in
  "") ;;
  --windows) windows=1 ;;
  *) echo "usage: $0 [--windows]" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ $windows = 1 ]; then
  exe="$root/build-win/AtualizarVendarix.exe"
  [ -x "$exe" ] || { echo "$exe is missing: run ./scripts/build-windows.sh first" >&2; exit 1; }
  export WINEDEBUG=-all
  export WINEPREFIX=${VX_WINEPREFIX:-$HOME/.wine-vx}
  work=$(mktemp -d /tmp/vx-shot-win.XXXXXX)
  shop_path="Z:${work//\//\\}\\shop"
  port=${VX_SHOT_FTP_PORT:-2132}
  run="UPDATER_FTP_PASSIVE=1 /usr/lib/wine/wine64 '$exe'"
  delay='${VX_SHOT_DELAY:-9}'
else
  ./scripts/install-deps.sh >/dev/null
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target AtualizarVendarix >/dev/null
  work=$(mktemp -d /tmp/vx-shot.XXXXXX)
  shop_path="$work/shop"
  port=2131
  run="'$root/build/AtualizarVendarix'"
  delay=5.2
  unset QT_QPA_PLATFORM
fi
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/shop" "$work/ftp/Pagina/Download" "$work/src" "$work/empty"
printf '[BDados]\r\nTipo=Standard\r\nCaminho=%s\r\nSistemaVendarix=Vendarix\r\n' "$shop_path" >"$work/shop/Brevanto.ini"
# 4 MB that do not compress, sent at 400 kB/s: ten seconds of transfer.
head -c 4000000 /dev/urandom >"$work/src/VENDARIX.EXE"
(cd "$work/src" && zip -q -0 "$work/ftp/Pagina/Download/Vendarix.zip" VENDARIX.EXE)
cat >"$work/vsftpd.conf" <<CONF
listen=YES
listen_address=127.0.0.1
listen_port=$port
anonymous_enable=YES
local_enable=NO
anon_root=$work/ftp
no_anon_password=YES
anon_world_readable_only=NO
anon_max_rate=400000
secure_chroot_dir=$work/empty
background=NO
seccomp_sandbox=NO
CONF
vsftpd "$work/vsftpd.conf" &
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
mkdir -p docs
if [ $windows = 1 ]; then
  # Xvfb has no window manager to draw the caption bar: Wine is asked to draw
  # the window's frame and caption itself (a setting of the prefix, harmless
  # where a window manager is there).
  /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 || true
fi
xvfb-run -a -s "-screen 0 640x400x24" bash -c "
  cd '$work/shop'
  UPDATER_FTP_HOST=127.0.0.1 UPDATER_FTP_PORT=$port UPDATER_FTP_USER=anonymous UPDATER_FTP_PASSWORD=x \
    $run 2>/dev/null &
  sleep $delay
  /usr/bin/import -window root '$work/screen.png'
  kill \$! 2>/dev/null || true
"
if [ $windows = 1 ]; then
  cp "$work/screen.png" /tmp/vx-shot-win-full.png
  /usr/bin/convert "$work/screen.png" -trim +repage -bordercolor black -border 20 docs/window-windows.png
  echo "wrote docs/window-windows.png"
else
  # Keep the window and a margin of the screen around it.
  /usr/bin/convert "$work/screen.png" -crop 400x190+120+105 +repage docs/window.png
  echo "wrote docs/window.png"
fi
