#!/usr/bin/env bash
# The Windows build's whole runs under 64-bit Wine, one case each: a shop
# folder (Brevanto.ini naming local Paradox tables in dados\, an old
# Vendarix.exe that is a tiny Windows program noting in started.log that it
# ran), the maker's archives served by vsftpd on loopback, and
# build-win/AtualizarVendarix.exe run unattended in the shop on one virtual
# display. Each case states what the shop must hold afterwards, the exit
# status and the message boxes (the "dialog:" lines on standard error).
#   ./scripts/e2e-windows.sh               every case (after build-windows.sh)
#   ./scripts/e2e-windows.sh kill signed   only the cases named
#   ./scripts/e2e-windows.sh -l            the list of cases
# The tables are made and read by the Linux build's paradox_show
# (VX_LINUX_BUILD, build/ by default), built here when it is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# name | what the case shows
cases=(
    "update|the whole update: program replaced, backup kept, fields added in place, new program started"
    "no-program|program archive missing on the server: its message, the old program kept and started, tables updated"
    "no-schema|schema archive missing on the server: its message, the old program kept and started, tables untouched"
    "login-refused|the server refuses the login: the connection message, exit 1, nothing touched"
    "no-server|nothing listens at the port: the connection message, exit 1, nothing touched"
    "signed|signing key set and both archives signed: the update goes in, no signature left behind"
    "bad-signature|program archive changed after signing, schema signed by another key: exit 3, shop unchanged"
    "no-signature|signing key set, nothing signed: exit 3, shop unchanged, old program started"
    "kill|the updater killed (SIGKILL) in the middle of extracting a 192 MiB program: the next run puts it in whole"
    "running|the old program is running during the update: renamed aside, the new one put in beside it"
    "open-file|LEIAME.TXT held open by another program: its entry fails in the box (ignore), the rest goes in"
    "case-blind|old program and a stale backup in capitals: one program afterwards, under its usual name"
    "accents|shop folder 'Loja São João' (CP1252, not ASCII): the whole update"
    "non-ansi|shop folder named with characters outside CP1252 (Greek, Chinese): the whole update"
    "long-path|shop folder whose path is longer than 260 characters: Wine starts the updater in C:\\windows, which it refuses (exit 2)"
    "aliases|an MSSQL shop without UPDATER_DBCONFIG: its alias is looked up in %ProgramData%\\Vendarix\\aliases.ini"
    "long-tables|Caminho names a table folder whose path is longer than 260 characters: the whole update"
)

if [ "${1:-}" = "-l" ]; then
    for c in "${cases[@]}"; do printf '%-14s %s\n' "${c%%|*}" "${c#*|}"; done
    exit 0
fi

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
# Each case says every setting it wants: the caller's own (the test stage
# exports UPDATER_DBCONFIG for the database tests) must not reach the updater,
# which Wine hands the whole Linux environment.
while read -r v; do unset "$v"; done < <(compgen -e | grep '^UPDATER_' || true)
if [ ! -e "$WINEPREFIX/system.reg" ]; then
    WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
fi

work=$(mktemp -d /tmp/vx-e2e-win.XXXXXX)
# The background processes this script started, ended by their ids: the
# servers, and the updater or a holder while one runs.
pids=()
updater=
holder=
stop() { { kill -9 "$1" && wait "$1"; } 2>/dev/null || true; }
cleanup() {
    local p
    for p in "${pids[@]}" $updater $holder; do stop "$p"; done
    rm -rf "$work"
}
trap cleanup EXIT
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# One display for every case.
Xvfb -displayfd 9 -screen 0 800x600x24 -nolisten tcp 9>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
DISPLAY=":$(cat "$work/display")"
export DISPLAY

# --- What every case starts from -------------------------------------------

# A Windows program standing in for the shop's: without arguments it notes
# "Vendarix <version>" in started.log; "hold <file|-> <seconds>" keeps the
# file open (sharing reads only) or just runs for that long, noting in
# holding.log that it holds.
program() { # version, output
    cat >"$work/p.c" <<C
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
int main(int argc, char** argv) {
    if (argc > 3 && strcmp(argv[1], "hold") == 0) {
        HANDLE h = INVALID_HANDLE_VALUE;
        if (strcmp(argv[2], "-") != 0)
            h = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
        FILE* f = fopen("holding.log", "a");
        if (f) { fputs(strcmp(argv[2], "-") == 0 || h != INVALID_HANDLE_VALUE ? "yes\n" : "no\n", f); fclose(f); }
        Sleep(atoi(argv[3]) * 1000);
        return 0;
    }
    FILE* f = fopen("started.log", "a");
    if (f) { fputs("Vendarix $1\n", f); fclose(f); }
    return 0;
}
C
    $host-gcc-posix -O1 -s -o "$2" "$work/p.c"
}

mkdir -p "$work/make/program" "$work/make/schema" "$work/served" "$work/ftp/Pagina/Download" "$work/empty"
program 2.0 "$work/old.exe"
program 2.1 "$work/make/program/VENDARIX.EXE"
printf 'Vendarix 2.1\r\n' >"$work/make/program/LEIAME.TXT"
(cd "$work/make/program" && zip -q -X "$work/served/Vendarix.zip" VENDARIX.EXE LEIAME.TXT)
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
(cd "$work/make/schema" && zip -q -X "$work/served/TabelasTalvir.zip" Talvir.db)

# The maker's keys, and a stranger's.
minisign -G -f -W -p "$work/maker.pub" -s "$work/maker.key" >/dev/null
minisign -G -f -W -p "$work/stranger.pub" -s "$work/stranger.key" >/dev/null
maker_key=$(sed -n 2p "$work/maker.pub")
sign() { # file served, key name
    minisign -S -s "$work/$2.key" -m "$download/$1" >/dev/null
}

port=${VX_E2E_FTP_PORT:-$(free_port)}
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
pids+=($!)
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
download="$work/ftp/Pagina/Download"

# One wineserver for every run: each run would otherwise start its own.
/usr/lib/wine/wineserver -p30 2>/dev/null || true

# A fresh shop in a folder of the given name (under $work), served the
# usual two archives. Its tables are named by their folder's full path
# ("Z:\...\dados", in CP1252 as the ini file is) or, when the code page
# cannot spell the path, by the relative "dados".
new_shop() { # [folder name]
    shop="$work/shops/${1:-shop}"
    rm -rf "$work/shops" && mkdir -p "$shop/dados"
    cp "$work/old.exe" "$shop/Vendarix.exe"
    local caminho
    if ! caminho="Z:$(printf '%s' "${shop//\//\\}\\dados" | iconv -f UTF-8 -t CP1252 2>/dev/null)"; then
        caminho=dados
    fi
    printf '[BDados]\r\nTipo=Standard\r\nCaminho=%s\r\nSistemaVendarix=Vendarix\r\n' "$caminho" >"$shop/Brevanto.ini"
    # paradox_show takes a folder's name as ASCII: the tables are made aside.
    rm -rf "$work/tables" && mkdir -p "$work/tables"
    "$show" make "$work/tables" >/dev/null
    cp "$work/tables"/* "$shop/dados/"
    rm -f "$download"/* && cp "$work/served"/* "$download/"
    rm -f "$work/stderr"
}

# Runs the updater unattended in the shop with the extra settings given
# (NAME=value ...). While it runs, the function named by $while_running (if
# any) is called every 10 ms with the updater's process id. Sets status and
# dialogs (the dialog lines, without their prefix, one a line).
while_running=
run_updater() {
    local start=$SECONDS
    (cd "$shop" && exec env UPDATER_UNATTENDED=1 UPDATER_FTP_HOST=127.0.0.1 UPDATER_FTP_PORT=$port \
        UPDATER_FTP_USER=anonymous UPDATER_FTP_PASSWORD=e2e@example.com UPDATER_FTP_PASSIVE=1 \
        UPDATER_FTP_TIMEOUT=30000 UPDATER_SIGNING_KEY= "$@" \
        /usr/lib/wine/wine64 "$exe" 2>>"$work/stderr" >/dev/null) &
    updater=$!
    # Standard error is closed to bash's own note of a process killed here.
    {
        while kill -0 "$updater"; do
            if [ $((SECONDS - start)) -gt 100 ]; then kill -9 "$updater" || true; fi
            [ -z "$while_running" ] || "$while_running" "$updater"
            sleep 0.01
        done
        set +e
        wait "$updater"
        status=$?
        set -e
    } 2>/dev/null
    updater=
    dialogs=$(sed -n 's/\r$//; s/^dialog: //p' "$work/stderr" 2>/dev/null || true)
}

# The shop's files with their sums, leaving out what a run always writes.
snapshot() {
    (cd "$shop" && find . -type f ! -name AtualizarVendarix.log ! -name started.log -print0 | sort -z |
        xargs -0 md5sum)
    tables
}

fail=0
case_failed=0
expect() { # what, condition
    if ! eval "$2"; then
        echo "   FAIL: $1" >&2
        case_failed=1
    fi
}
# The tables as paradox_show reads them (through an ASCII name).
tables() { rm -rf "$work/tables" && cp -r "$shop/dados" "$work/tables" && "$show" show "$work/tables"; }
has_tables_updated() { local t; t=$(tables) && grep -q MalaDireta <<<"$t" && grep -q Percentual <<<"$t"; }
readonly title="Atualizarvendarix: "
dialog_download() { echo "${title}Problemas ao descarregar arquivo \"$1\" [ok]"; }
readonly dialog_connect="${title}Falha na conexão, verifique a conexão com a Internet e tente novamente. [ok]"
# The program is started as the updater ends: its note comes a moment later.
started() {
    for _ in $(seq 100); do [ -s "$shop/started.log" ] && break; sleep 0.05; done
    [ "$(tr -d "\r" <"$shop/started.log" 2>/dev/null)" = "Vendarix $1" ]
}
# The whole update went in: what every successful run must show.
expect_updated() {
    expect "exit status 0 (was $status)" '[ "$status" -eq 0 ]'
    expect "no message box (got: $dialogs)" '[ -z "$dialogs" ]'
    expect "Vendarix.bkp is the old program" 'cmp -s "$shop/Vendarix.bkp" "$work/old.exe"'
    expect "Vendarix.exe is the new program" 'cmp -s "$shop/Vendarix.exe" "$work/make/program/VENDARIX.EXE"'
    expect "LEIAME.TXT extracted" 'cmp -s "$shop/LEIAME.TXT" "$work/make/program/LEIAME.TXT"'
    expect "the schema's fields added" has_tables_updated
    expect "the schema's UPDATE written" \
        '[ "$(tables | grep -c "Maria da Silva | NULL | T")" -eq 2 ]'
    expect "no download, schema table or temporary left" \
        '[ -z "$(cd "$shop" && ls -a | grep -iE "\.zip|\.minisig|^talvir\.db$|^~vx")" ]'
    expect "the new program started" 'started 2.1'
}
# A run that changed nothing of the shop's but the log (and started.log).
expect_untouched() {
    expect "the shop unchanged" '[ "$(snapshot)" = "$before" ]'
}

# --- The cases -------------------------------------------------------------

case_update() {
    new_shop
    run_updater
    expect_updated
    expect "the Paradox tables read by pxlib too" '! tables | grep -qi "mismatch\|error"'
}

case_no-program() {
    new_shop
    rm "$download/Vendarix.zip"
    run_updater
    expect "exit status 0 (was $status)" '[ "$status" -eq 0 ]'
    expect "its message" '[ "$dialogs" = "$(dialog_download Vendarix.zip)" ]'
    expect "Vendarix.exe is the old program" 'cmp -s "$shop/Vendarix.exe" "$work/old.exe"'
    expect "no backup left" '[ ! -e "$shop/Vendarix.bkp" ]'
    expect "the tables updated" has_tables_updated
    expect "the old program started" 'started 2.0'
}

case_no-schema() {
    new_shop
    rm "$download/TabelasTalvir.zip"
    before=$(snapshot)
    run_updater
    expect "exit status 0 (was $status)" '[ "$status" -eq 0 ]'
    expect "its message" '[ "$dialogs" = "$(dialog_download TabelasTalvir.zip)" ]'
    expect_untouched
    expect "the old program started" 'started 2.0'
}

case_login-refused() {
    new_shop
    before=$(snapshot)
    run_updater UPDATER_FTP_USER=lojista
    expect "exit status 1 (was $status)" '[ "$status" -eq 1 ]'
    expect "the connection message" '[ "$dialogs" = "$dialog_connect" ]'
    expect_untouched
    expect "nothing started" '[ ! -e "$shop/started.log" ]'
}

case_no-server() {
    new_shop
    before=$(snapshot)
    run_updater UPDATER_FTP_PORT="$(free_port)"
    expect "exit status 1 (was $status)" '[ "$status" -eq 1 ]'
    expect "the connection message" '[ "$dialogs" = "$dialog_connect" ]'
    expect_untouched
    expect "nothing started" '[ ! -e "$shop/started.log" ]'
}

case_signed() {
    new_shop
    sign Vendarix.zip maker
    sign TabelasTalvir.zip maker
    run_updater UPDATER_SIGNING_KEY="$maker_key"
    expect_updated
    expect "the release recorded" 'grep -q "Vendarix.zip" "$shop/AtualizarVendarix.estado"'
}

case_bad-signature() {
    new_shop
    sign Vendarix.zip maker
    printf 'x' >>"$download/Vendarix.zip"
    sign TabelasTalvir.zip stranger
    before=$(snapshot)
    run_updater UPDATER_SIGNING_KEY="$maker_key"
    expect "exit status 3 (was $status)" '[ "$status" -eq 3 ]'
    expect "both messages" \
        '[ "$dialogs" = "$(dialog_download Vendarix.zip; dialog_download TabelasTalvir.zip)" ]'
    expect "the refusals logged" 'grep -q "Vendarix.zip: refused, damaged" "$shop/AtualizarVendarix.log" &&
        grep -q "TabelasTalvir.zip: refused, wrong key" "$shop/AtualizarVendarix.log"'
    expect_untouched
    expect "the old program started" 'started 2.0'
}

case_no-signature() {
    new_shop
    before=$(snapshot)
    run_updater UPDATER_SIGNING_KEY="$maker_key"
    expect "exit status 3 (was $status)" '[ "$status" -eq 3 ]'
    expect "both messages" \
        '[ "$dialogs" = "$(dialog_download Vendarix.zip; dialog_download TabelasTalvir.zip)" ]'
    expect_untouched
    expect "the old program started" 'started 2.0'
}

# Kills the updater once the temporary that VENDARIX.EXE is extracted into
# holds a third of it.
killed=
kill_in_extraction() {
    [ -z "$killed" ] || return 0
    local t size
    for t in "$shop"/~vx*.tmp; do
        [ -e "$t" ] || continue
        size=$(stat -c %s "$t" 2>/dev/null || echo 0)
        if [ "$size" -ge $((64 << 20)) ]; then
            kill -9 "$1" 2>/dev/null || true
            killed="at $((size >> 20)) MiB"
        fi
    done
}

case_kill() {
    # A program of 192 MiB (the small program and zeros after it, which a
    # Windows program may carry) that deflates to almost nothing.
    local big="$work/big/VENDARIX.EXE"
    if [ ! -e "$work/big.zip" ]; then
        mkdir -p "$work/big"
        cp "$work/make/program/VENDARIX.EXE" "$big"
        truncate -s $((192 << 20)) "$big"
        (cd "$work/big" && zip -q -X "$work/big.zip" VENDARIX.EXE)
    fi
    new_shop
    cp "$work/big.zip" "$download/Vendarix.zip"
    killed=
    while_running=kill_in_extraction
    run_updater
    while_running=
    expect "killed in the extraction (the run ended with status $status first)" '[ -n "$killed" ]'
    [ -z "$killed" ] || echo "   killed $killed"
    expect "the old program kept whole, under its name or as its backup" \
        'cmp -s "$shop/Vendarix.bkp" "$work/old.exe" || cmp -s "$shop/Vendarix.exe" "$work/old.exe"'
    # The next run, undisturbed.
    rm -f "$work/stderr"
    run_updater
    expect "the next run: exit status 0 (was $status)" '[ "$status" -eq 0 ]'
    expect "the next run: the new program whole" 'cmp -s "$shop/Vendarix.exe" "$big"'
    expect "the next run: no temporary left" '[ -z "$(find "$shop" -name "~vx*")" ]'
    expect "the next run: the tables updated" has_tables_updated
    expect "the next run: the new program started" 'started 2.1'
}

# Starts the old program (or a copy of it) as a holder in the shop and waits
# until it holds; sets holder.
hold() { # file or -, program to run
    rm -f "$shop/holding.log"
    (cd "$shop" && exec /usr/lib/wine/wine64 "$2" hold "$1" 60 >/dev/null 2>&1) &
    holder=$!
    for _ in $(seq 200); do [ -s "$shop/holding.log" ] && break; sleep 0.05; done
    expect "the holder holds" 'grep -q yes "$shop/holding.log"'
    rm -f "$shop/holding.log"
}

case_running() {
    new_shop
    hold - Vendarix.exe
    run_updater
    stop "$holder"
    holder=
    expect_updated
}

case_open-file() {
    new_shop
    printf 'Vendarix 2.0\r\n' >"$shop/LEIAME.TXT"
    cp "$work/old.exe" "$work/holder.exe"
    hold LEIAME.TXT "$work/holder.exe"
    run_updater UPDATER_ANSWERS=ignore
    stop "$holder"
    holder=
    expect "exit status 0 (was $status)" '[ "$status" -eq 0 ]'
    expect "the entry's failure box (got: $dialogs)" \
        '[ "$dialogs" = "${title}ZipArchiver: Cannot create file \"$(cd "$shop" && pwd -P | sed "s,/,\\\\,g; s,^,Z:,")\\LEIAME.TXT\". File processing error, possibly disk is full [abort,retry,ignore]" ] ||
         echo "$dialogs" | grep -q "LEIAME.TXT.*File processing error.*\[abort,retry,ignore\]"'
    expect "LEIAME.TXT as it was" '[ "$(cat "$shop/LEIAME.TXT")" = "$(printf "Vendarix 2.0\r")" ]'
    expect "Vendarix.exe is the new program" 'cmp -s "$shop/Vendarix.exe" "$work/make/program/VENDARIX.EXE"'
    expect "the tables updated" has_tables_updated
    expect "the new program started" 'started 2.1'
}

case_case-blind() {
    new_shop
    mv "$shop/Vendarix.exe" "$shop/VENDARIX.EXE"
    printf 'stale' >"$shop/VENDARIX.BKP"
    run_updater
    expect_updated
    expect "one program and one backup, in their usual spelling (got: $(cd "$shop" && ls | tr '\n' ' '))" \
        '[ "$(cd "$shop" && ls | grep -i "^vendarix\.\(exe\|bkp\)$" | tr "\n" " ")" = "Vendarix.bkp Vendarix.exe " ]'
}

case_accents() {
    new_shop "Loja São João"
    run_updater
    expect_updated
}

case_non-ansi() {
    new_shop "Loja Ωμέγα 商店"
    run_updater
    expect_updated
}

# A folder name of more than 260 characters, below the given one.
long_name() {
    local name="$1" i
    for i in 1 2 3 4 5 6 7; do name+="/Filial numero $i da rede de lojas Vendarix"; done
    echo "$name"
}

case_long-path() {
    new_shop "$(long_name Lojas)"
    rm -f "$WINEPREFIX/drive_c/windows/AtualizarVendarix.log"
    before=$(snapshot)
    run_updater
    # Wine cannot make the folder the program's working folder and starts it
    # in C:\windows instead; the updater sees that it is not in a shop.
    expect "exit status 2 (was $status)" '[ "$status" -eq 2 ]'
    expect "the reason on standard error" 'grep -q "working folder is the system" "$work/stderr"'
    expect_untouched
    expect "nothing written to C:\windows" '[ ! -e "$WINEPREFIX/drive_c/windows/AtualizarVendarix.log" ]'
}

case_long-tables() {
    new_shop
    local deep
    deep="$(long_name "$shop/Tabelas")"
    mkdir -p "$deep" && mv "$shop/dados" "$deep/dados"
    printf '[BDados]\r\nTipo=Standard\r\nCaminho=Z:%s\\dados\r\nSistemaVendarix=Vendarix\r\n' "${deep//\//\\}" \
        >"$shop/Brevanto.ini"
    run_updater
    # The table check reads the tables where they are.
    mv "$deep/dados" "$shop/dados"
    expect_updated
}

case_aliases() {
    new_shop
    printf '[BDados]\r\nTipo=MSSQL\r\nCaminho=Loja\r\nSistemaVendarix=Vendarix\r\n' >"$shop/Brevanto.ini"
    run_updater
    expect "the alias looked up in the machine's file (got: $dialogs)" \
        'grep -qF "Unknown alias: Loja (engine configuration C:\ProgramData\Vendarix\aliases.ini)" <<<"$dialogs"'
}

# --- Run them --------------------------------------------------------------

wanted=("$@")
t0=$SECONDS
ran=0
for c in "${cases[@]}"; do
    name=${c%%|*}
    if [ ${#wanted[@]} -gt 0 ] && [[ " ${wanted[*]} " != *" $name "* ]]; then continue; fi
    ran=$((ran + 1))
    case_failed=0
    t=$SECONDS
    "case_$name"
    if [ "$case_failed" -eq 0 ]; then
        printf '== %-14s passed (%d s)\n' "$name" $((SECONDS - t))
    else
        printf '== %-14s FAILED (%d s): %s\n' "$name" $((SECONDS - t)) "${c#*|}"
        echo "   exit status $status; files: $(cd "$shop" && ls | tr '\n' ' ')"
        echo "   dialogs:"; printf '%s\n' "$dialogs" | sed 's/^/      /'
        echo "   started.log: $(tr '\r\n' '~|' <"$shop/started.log" 2>/dev/null || true)"
        echo "   log:"; sed 's/^/      /' "$shop/AtualizarVendarix.log" 2>/dev/null || true
        fail=1
    fi
done
[ "$ran" -gt 0 ] || { echo "no case named: ${wanted[*]} (-l lists them)" >&2; exit 1; }
if [ "$fail" -eq 0 ]; then
    echo "== e2e under Wine: $ran cases passed in $((SECONDS - t0)) s"
else
    echo "== e2e under Wine: FAILED ($((SECONDS - t0)) s)"
fi
exit "$fail"
