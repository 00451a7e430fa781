#!/usr/bin/env bash
# Takes a screenshot of the updater's real window (Qt's xcb platform under
# Xvfb) while it downloads a program archive from a throttled vsftpd on
# loopback, at about 40 %, and writes docs/window.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/install-deps.sh >/dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target AtualizarVendarix >/dev/null
work=$(mktemp -d /tmp/vx-shot.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/shop" "$work/ftp/Pagina/Download" "$work/src" "$work/empty"
printf '[BDados]\r\nTipo=Standard\r\nCaminho=%s\r\nSistemaVendarix=Vendarix\r\n' "$work/shop" > "$work/shop/Brevanto.ini"
# 4 MB that do not compress, sent at 400 kB/s: ten seconds of transfer.
head -c 4000000 /dev/urandom > "$work/src/VENDARIX.EXE"
(cd "$work/src" && zip -q -0 "$work/ftp/Pagina/Download/Vendarix.zip" VENDARIX.EXE)
port=2131
cat > "$work/vsftpd.conf" <<CONF
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
unset QT_QPA_PLATFORM
mkdir -p docs
xvfb-run -a -s "-screen 0 640x400x24" bash -c "
  cd '$work/shop'
  UPDATER_FTP_HOST=127.0.0.1 UPDATER_FTP_PORT=$port UPDATER_FTP_USER=anonymous UPDATER_FTP_PASSWORD=x \
    '$root/build/AtualizarVendarix' 2>/dev/null &
  sleep 5.2
  /usr/bin/import -window root '$work/screen.png'
  kill \$! 2>/dev/null || true
"
# Keep the window and a margin of the screen around it.
/usr/bin/convert "$work/screen.png" -crop 400x190+120+105 +repage docs/window.png
echo "wrote docs/window.png"
