#!/usr/bin/env bash
# Starts a private PostgreSQL cluster for the tests of the MSSQL kind (reached
# through psqlODBC, as SQL Server would be through FreeTDS) if it is not
# running, creates what the tests need, and prints the environment the tests
# read (use: eval "$(./scripts/start-postgres.sh)"). Progress goes to stderr.
# Safe to run again. Needs root and postgresql + odbc-postgresql + tdsodbc.
#
# What it makes, all under $VX_PG_ROOT (default /var/lib/vendarix-test):
# - a cluster of its own (initdb as user postgres) on 127.0.0.1:$VX_PG_PORT,
#   apart from any cluster of the machine;
# - database "vendarix" whose tables live in schema dbo (the owner the MSSQL
#   kind's names carry), login "sa" with the updater's password "7302518";
# - the SQL Server type names the updater sends made to work there: "DateTime"
#   as a domain over timestamp ("Int", "Float", "Varchar(n)" exist already);
# - odbc.ini with the data source "VendarixTest" (psqlODBC) and
#   "VendarixClosed" (FreeTDS at a loopback port where nothing listens);
# - aliases.ini, the engine's alias file, with the alias "Talvir" (INTERBASE,
#   when start-firebird.sh has made its database) and "VendarixTest" (MSSQL).
set -euo pipefail

root=${VX_PG_ROOT:-/var/lib/vendarix-test}
port=${VX_PG_PORT:-55432}
data=$root/pg
sock=$root/pg-run
odbcini=$root/odbc.ini
aliases=$root/aliases.ini
log() { echo "start-postgres: $*" >&2; }

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
  log "postgresql is not installed (run scripts/install-deps.sh)"
  exit 1
fi
as_pg() { (cd / && runuser -u postgres -- "$@"); }

mkdir -p "$root" "$sock"
chown postgres:postgres "$sock"
if [ ! -s "$data/PG_VERSION" ]; then
  log "initdb $data"
  mkdir -p "$data"
  chown postgres:postgres "$data"
  as_pg "$bindir/initdb" -D "$data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 >/dev/null
  # The superuser comes in by the socket only; logins over TCP need a password.
  cat >"$data/pg_hba.conf" <<HBA
local all postgres trust
host  all all 127.0.0.1/32 scram-sha-256
HBA
fi
if ! as_pg "$bindir/pg_ctl" -D "$data" status >/dev/null 2>&1; then
  log "starting on 127.0.0.1:$port"
  as_pg "$bindir/pg_ctl" -D "$data" -l "$data/server.log" -w -t 30 \
    -o "-p $port -k $sock -c listen_addresses=127.0.0.1" start >/dev/null
fi

psql_pg() { as_pg psql -h "$sock" -p "$port" -U postgres -v ON_ERROR_STOP=1 -qAt "$@"; }
if [ "$(psql_pg -d postgres -c "SELECT 1 FROM pg_database WHERE datname = 'vendarix'")" != 1 ]; then
  log "creating database vendarix"
  psql_pg -d postgres <<SQL
CREATE ROLE sa LOGIN PASSWORD '7302518';
CREATE DATABASE vendarix OWNER sa;
SQL
  psql_pg -d vendarix <<SQL
CREATE SCHEMA dbo AUTHORIZATION sa;
ALTER ROLE sa IN DATABASE vendarix SET search_path = dbo;
CREATE DOMAIN dbo.datetime AS timestamp;
SQL
fi

cat >"$odbcini" <<INI
[VendarixTest]
Description = PostgreSQL standing in for SQL Server (tables in schema dbo)
Driver = PostgreSQL Unicode
Servername = 127.0.0.1
Port = $port
Database = vendarix

[VendarixClosed]
Description = FreeTDS at a loopback port where nothing listens
Driver = FreeTDS
Server = 127.0.0.1
Port = 9
TDS_Version = 7.4
INI

fb=${VX_FB_DATABASE:-}
if [ -z "$fb" ] && [ -s "$root/firebird/talvir.fdb" ]; then fb=127.0.0.1:$root/firebird/talvir.fdb; fi
{
  echo "; Aliases of the updater's database engine, for the tests."
  if [ -n "$fb" ]; then
    printf '[Talvir]\nTYPE=INTERBASE\nSERVER NAME=%s\nUSER NAME=SYSDBA\n\n' "$fb"
  fi
  printf '[VendarixTest]\nTYPE=MSSQL\nODBC DSN=VendarixTest\nLOGIN TIMEOUT=5\n\n'
  printf '[VendarixClosed]\nTYPE=MSSQL\nODBC DSN=VendarixClosed\nLOGIN TIMEOUT=5\n'
} >"$aliases"

log "ready: 127.0.0.1:$port database vendarix, ODBC DSN VendarixTest in $odbcini"
echo "export ODBCINI='$odbcini'"
echo "export VX_PG_DSN=VendarixTest"
echo "export VX_PG_USER=sa"
echo "export VX_PG_PASSWORD=7302518"
echo "export VX_TDS_CLOSED_DSN=VendarixClosed"
echo "export UPDATER_DBCONFIG='$aliases'"
