#!/usr/bin/env bash
# The whole update with the Windows build under 64-bit Wine: a shop folder
# (Brevanto.ini naming local Paradox tables, an old Vendarix.exe that is a
# tiny Windows program), the maker's archives served by vsftpd on loopback,
# and build-win/AtualizarVendarix.exe run unattended in the shop on a
# virtual display. Passes when it exits 0 having kept Vendarix.bkp,
# installed the new program, added the schema's fields to the tables in
# place (and the schema's UPDATE written) and started the new program.
#   ./scripts/e2e-windows.sh        (after build-windows.sh)
# The tables are made and read by the Linux build's paradox_show
# (VX_LINUX_BUILD, build/ by default), built here when it is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
port=${VX_E2E_FTP_PORT:-2122}
host=x86_64-w64-mingw32
exe="$root/build-win/AtualizarVendarix.exe"
[ -x "$exe" ] || { echo "$exe is missing: run ./scripts/build-windows.sh first" >&2; exit 1; }
lin=${VX_LINUX_BUILD:-$root/build}
show="$lin/tests/db/paradox_show"
if [ ! -x "$show" ]; then
    cmake -S . -B "$lin" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$lin" -j2 --target paradox_show >/dev/null
fi

export WINEDEBUG=-all
export WINEPREFIX=${VX_WINEPREFIX:-$HOME/.wine-vx}
if [ ! -e "$WINEPREFIX/system.reg" ]; then
    WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
fi

work=$(mktemp -d /tmp/vx-e2e-win.XXXXXX)
ftp_pid=
cleanup() {
    [ -z "$ftp_pid" ] || kill "$ftp_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
shop="$work/shop"
mkdir -p "$shop/dados" "$work/ftp/Pagina/Download" "$work/make/program" "$work/make/schema" "$work/empty"

# The program of the shop: a Windows program that notes that it started.
program() { # version, output
    printf '#include <stdio.h>\nint main(void){FILE*f=fopen("started.log","a");if(f){fputs("Vendarix %s\\n",f);fclose(f);}return 0;}\n' \
        "$1" >"$work/p.c"
    $host-gcc-posix -O1 -s -o "$2" "$work/p.c"
}
program 2.0 "$work/old.exe"
cp "$work/old.exe" "$shop/Vendarix.exe"
cat >"$shop/Brevanto.ini" <<INI
[BDados]
Tipo=Standard
Caminho=Z:${shop//\//\\}\\dados
SistemaVendarix=Vendarix
INI
"$show" make "$shop/dados"

program 2.1 "$work/make/program/VENDARIX.EXE"
printf 'Vendarix 2.1\r\n' >"$work/make/program/LEIAME.TXT"
(cd "$work/make/program" && zip -q -X "$work/ftp/Pagina/Download/Vendarix.zip" VENDARIX.EXE LEIAME.TXT)
/usr/bin/python3 - "$work/make/schema/Talvir.db" <<'PYEOF'
import sqlite3, sys
c = sqlite3.connect(sys.argv[1])
c.execute("CREATE TABLE Talvir (Tabela Varchar(40), Campo Varchar(40), Tipo Varchar(30))")
c.executemany("INSERT INTO Talvir VALUES (?,?,?)", [
    ("Cad_Clientes", "Email", "Varchar(60)"), ("Cad_Clientes", "MalaDireta", "Varchar(1)"),
    ("Vendas", "Total", "Float"), ("ComissaoVendedores", "Vendedor", "Varchar(2)"),
    ("ComissaoVendedores", "Percentual", "Float")])
c.commit(); c.close()
PYEOF
(cd "$work/make/schema" && zip -q -X "$work/ftp/Pagina/Download/TabelasTalvir.zip" Talvir.db)

cat >"$work/vsftpd.conf" <<CONF
listen=YES
listen_address=127.0.0.1
listen_port=$port
anonymous_enable=YES
local_enable=NO
write_enable=NO
anon_root=$work/ftp
no_anon_password=YES
anon_world_readable_only=NO
secure_chroot_dir=$work/empty
background=NO
seccomp_sandbox=NO
connect_from_port_20=NO
CONF
vsftpd "$work/vsftpd.conf" &
ftp_pid=$!
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done

before=$("$show" show "$shop/dados")
set +e
(cd "$shop" && UPDATER_UNATTENDED=1 UPDATER_FTP_HOST=127.0.0.1 UPDATER_FTP_PORT=$port UPDATER_FTP_USER=anonymous \
    UPDATER_FTP_PASSWORD=e2e@example.com UPDATER_FTP_PASSIVE=1 UPDATER_FTP_TIMEOUT=30000 UPDATER_SIGNING_KEY= \
    timeout 100 xvfb-run -a /usr/lib/wine/wine64 "$exe")
status=$?
set -e
sleep 1
after=$("$show" show "$shop/dados")
echo "exit status: $status"
echo "files: $(cd "$shop" && ls | tr '\n' ' ')"
echo "tables before:"; echo "$before" | sed 's/^/   /'
echo "tables after:"; echo "$after" | sed 's/^/   /'
echo "log:"; sed 's/^/   /' "$shop/AtualizarVendarix.log" 2>/dev/null || true

fail=0
check() { if ! eval "$2"; then echo "FAIL: $1" >&2; fail=1; fi; }
check "exit status 0" '[ "$status" -eq 0 ]'
check "Vendarix.bkp kept (the old program)" 'cmp -s "$shop/Vendarix.bkp" "$work/old.exe"'
check "Vendarix.exe is the new program" 'cmp -s "$shop/Vendarix.exe" "$work/make/program/VENDARIX.EXE"'
check "LEIAME.TXT extracted" '[ -f "$shop/LEIAME.TXT" ]'
check "the schema's fields added" 'echo "$after" | grep -q MalaDireta && echo "$after" | grep -q Percentual'
check "the schema's UPDATE written to the table" '[ "$(echo "$after" | grep -c "Maria da Silva | NULL | T")" -eq 2 ]'
check "the new program started" 'grep -q "Vendarix 2.1" "$shop/started.log"'
[ "$fail" -eq 0 ] && echo "== e2e under Wine: passed"
exit "$fail"
