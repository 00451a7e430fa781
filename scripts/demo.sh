#!/usr/bin/env bash
# The whole update on a local demo set-up:
#  - a demo shop folder (demo/shop) with Brevanto.ini, the old program and
#    its local tables (demo/shop/dados): Paradox tables, one of them
#    encrypted with the program's password;
#  - the maker's FTP server, vsftpd on 127.0.0.1:2121, serving a program
#    archive and a schema archive made now with Info-ZIP zip;
#  - the maker's key pair (minisign), with which both archives are signed;
#    the updater checks the signatures against the maker's public key;
#  - the updater run in the shop folder (unattended when there is no
#    display), then an account of what changed;
#  - a second run after the program archive on the server was replaced by
#    someone without the maker's key: it is refused and the shop keeps the
#    program it has;
#  - a third run with the earlier release on the server, signed by the maker
#    before the one installed: it is refused as a rollback.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
PY=/usr/bin/python3
port=${DEMO_FTP_PORT:-2121}

./scripts/install-deps.sh >/dev/null
echo "== building"
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build build -j2 --target AtualizarVendarix paradox_show; } > /tmp/vx-demo-build.log 2>&1; then
  cat /tmp/vx-demo-build.log; exit 1
fi
updater="$root/build/AtualizarVendarix"
show="$root/build/tests/db/paradox_show"

demo="$root/demo"
# A server left running by an interrupted demo, by the pid it wrote.
if [ -f "$demo/vsftpd.pid" ]; then kill "$(cat "$demo/vsftpd.pid")" 2>/dev/null || true; fi
rm -rf "$demo"
mkdir -p "$demo/shop/dados" "$demo/ftp/Pagina/Download" "$demo/make/program/Relatorios" "$demo/make/schema" "$demo/empty"
shop="$demo/shop"

echo "== making the demo shop in $shop"
cat > "$shop/Brevanto.ini" <<INI
[BDados]
Tipo=Standard
Caminho=$shop/dados
SistemaVendarix=Vendarix
INI
make_program() { # version, file
  cat > "$2" <<PROG
#!/bin/sh
# Vendarix point of sale, version $1 (demo stand-in)
echo "Vendarix $1 started at \$(date +%T)" >> "\$(dirname "\$0")/started.log"
PROG
  chmod +x "$2"
}
make_program 2.0 "$shop/Vendarix.exe"

# The shop's local tables: Paradox tables made by the engine; Caixa is
# encrypted with the program's password.
"$show" make "$shop/dados"

echo "== making the archives the maker's server offers"
make_program 2.1 "$demo/make/program/VENDARIX.EXE"
printf 'Vendarix 2.1\r\nNovidades: relatório de vendas por vendedor.\r\n' > "$demo/make/program/LEIAME.TXT"
printf 'RELATORIO VENDAS\r\n' > "$demo/make/program/Relatorios/Vendas.rpt"
(cd "$demo/make/program" && zip -q -r -X "$demo/ftp/Pagina/Download/Vendarix.zip" VENDARIX.EXE LEIAME.TXT Relatorios)
$PY - "$demo/make/schema/Talvir.db" <<'PYEOF'
import sqlite3, sys
c = sqlite3.connect(sys.argv[1])
c.execute("CREATE TABLE Talvir (Tabela Varchar(40), Campo Varchar(40), Tipo Varchar(30))")
rows = [
    ("Cad_Clientes", "Codigo", "Integer"), ("Cad_Clientes", "Nome", "Varchar(40)"),
    ("Cad_Clientes", "Email", "Varchar(60)"), ("Cad_Clientes", "MalaDireta", "Varchar(1)"),
    ("Produtos", "Codigo", "Integer"), ("Produtos", "Descricao", "Varchar(60)"), ("Produtos", "Preco", "Money"),
    ("Caixa", "Numero", "Integer"), ("Caixa", "Valor", "Money"),
    ("Vendas", "Numero", "Integer"), ("Vendas", "Data", "Date"), ("Vendas", "Cliente", "Integer"),
    ("Vendas", "Total", "Float"),
    ("ComissaoVendedores", "Vendedor", "Varchar(2)"), ("ComissaoVendedores", "Desconto", "Float"),
    ("ComissaoVendedores", "Percentual", "Float"),
]
c.executemany("INSERT INTO Talvir VALUES (?,?,?)", rows)
c.commit(); c.close()
PYEOF
(cd "$demo/make/schema" && zip -q -X "$demo/ftp/Pagina/Download/TabelasTalvir.zip" Talvir.db)

echo "== signing the archives with the maker's key (minisign)"
mkdir -p "$demo/keys"
minisign -G -W -p "$demo/keys/maker.pub" -s "$demo/keys/maker.key" >/dev/null
minisign -S -s "$demo/keys/maker.key" -m "$demo/ftp/Pagina/Download/Vendarix.zip" \
  "$demo/ftp/Pagina/Download/TabelasTalvir.zip" >/dev/null
signing_key=$(sed -n 2p "$demo/keys/maker.pub")
echo "   public key built in (here through UPDATER_SIGNING_KEY): $signing_key"
ls "$demo/ftp/Pagina/Download" | sed 's/^/   served: /'

echo "== starting the FTP server (vsftpd on 127.0.0.1:$port)"
cat > "$demo/vsftpd.conf" <<CONF
listen=YES
listen_address=127.0.0.1
listen_port=$port
anonymous_enable=YES
local_enable=NO
write_enable=NO
anon_root=$demo/ftp
no_anon_password=YES
anon_world_readable_only=NO
secure_chroot_dir=$demo/empty
background=NO
seccomp_sandbox=NO
connect_from_port_20=NO
vsftpd_log_file=$demo/vsftpd.log
CONF
vsftpd "$demo/vsftpd.conf" &
ftp_pid=$!
echo $ftp_pid > "$demo/vsftpd.pid"
trap 'kill $ftp_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done

snapshot() { # folder -> listing with sizes
  (cd "$1" && find . -type f ! -name started.log -printf '%P %s\n' | sort)
}
schema() { # each table through the engine and through pxlib
  "$show" show "$shop/dados"
}
before_files=$(snapshot "$shop"); before_schema=$(schema)

run_updater() {
  set +e
  (cd "$shop" && UPDATER_FTP_HOST=127.0.0.1 UPDATER_FTP_PORT=$port UPDATER_FTP_USER=anonymous \
     UPDATER_FTP_PASSWORD=demo@example.com UPDATER_FTP_TIMEOUT=30000 UPDATER_SIGNING_KEY="$signing_key" "$updater")
  status=$?
  set -e
  sleep 0.5 # the started program writes its line
}

echo "== running the updater in $shop"
if [ -z "${DISPLAY:-}" ]; then export QT_QPA_PLATFORM=offscreen; fi
run_updater

echo
echo "== what changed"
echo "exit status: $status (0 finished and started the program, 1 stopped at the connection, 2 broken, 3 an archive refused)"
echo "files before:"; echo "$before_files" | sed 's/^/   /'
echo "files after:";  snapshot "$shop" | sed 's/^/   /'
echo "tables before:"; echo "$before_schema"
echo "tables after:";  schema
echo "Vendarix.exe is now: $(sed -n 2p "$shop/Vendarix.exe" 2>/dev/null)"
echo "Vendarix.bkp holds:  $(sed -n 2p "$shop/Vendarix.bkp" 2>/dev/null)"
echo "started:             $(cat "$shop/started.log" 2>/dev/null || echo nothing)"
echo "releases installed (AtualizarVendarix.estado):"; sed 's/^/   /' "$shop/AtualizarVendarix.estado"

echo
echo "== someone without the maker's key replaces the program archive on the server"
make_program 6.6-intruso "$demo/make/program/VENDARIX.EXE"
rm -f "$demo/ftp/Pagina/Download/Vendarix.zip"
(cd "$demo/make/program" && zip -q -r -X "$demo/ftp/Pagina/Download/Vendarix.zip" VENDARIX.EXE LEIAME.TXT Relatorios)
echo "   minisign -V on the server's files: $(minisign -V -p "$demo/keys/maker.pub" \
  -m "$demo/ftp/Pagina/Download/Vendarix.zip" 2>&1 || true)"
rm -f "$shop/started.log"
echo "== running the updater again"
run_updater
echo "exit status: $status"
echo "Vendarix.exe is still: $(sed -n 2p "$shop/Vendarix.exe" 2>/dev/null)"
echo "started:              $(cat "$shop/started.log" 2>/dev/null || echo nothing)"
left=$(cd "$shop" && ls -d Vendarix.zip* TabelasTalvir.zip* 2>/dev/null | tr '\n' ' ' || true)
echo "downloads left:       ${left:-none}"
echo "run log:              $(grep 'signature' "$shop/AtualizarVendarix.log" | tail -1 | cut -c21-)"

echo
echo "== the server offers the earlier release again, 2.0, signed by the maker a day before 2.1"
installed=$(awk '$2 == "Vendarix.zip" {print $1}' "$shop/AtualizarVendarix.estado")
make_program 2.0 "$demo/make/program/VENDARIX.EXE"
rm -f "$demo/ftp/Pagina/Download/Vendarix.zip" "$demo/ftp/Pagina/Download/Vendarix.zip.minisig"
(cd "$demo/make/program" && zip -q -r -X "$demo/ftp/Pagina/Download/Vendarix.zip" VENDARIX.EXE LEIAME.TXT Relatorios)
minisign -S -s "$demo/keys/maker.key" -m "$demo/ftp/Pagina/Download/Vendarix.zip" \
  -t "$(printf 'timestamp:%s\tfile:Vendarix.zip' $((installed - 86400)))" >/dev/null
echo "   minisign -V on the server's files: $(minisign -V -p "$demo/keys/maker.pub" \
  -m "$demo/ftp/Pagina/Download/Vendarix.zip" 2>&1 | head -1 || true)"
rm -f "$shop/started.log"
echo "== running the updater a third time"
run_updater
echo "exit status: $status"
echo "Vendarix.exe is still: $(sed -n 2p "$shop/Vendarix.exe" 2>/dev/null)"
echo "started:              $(cat "$shop/started.log" 2>/dev/null || echo nothing)"
echo "run log:              $(grep 'signature' "$shop/AtualizarVendarix.log" | tail -1 | cut -c21-)"
