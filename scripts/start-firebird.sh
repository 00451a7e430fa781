#!/usr/bin/env bash
# Starts the Firebird 3 server for the tests if it is not running, creates the
# tests' database if it is missing, and prints the environment the tests read
# (use: eval "$(./scripts/start-firebird.sh)"). Progress goes to stderr.
# Safe to run again. Needs root and firebird3.0-server (scripts/install-deps.sh).
#
# The password: the updater logs in to alias "Talvir" as SYSDBA with the
# password "quillrose", while this machine's server keeps its own SYSDBA
# password ("masterkey", in /etc/firebird/3.0/SYSDBA.password). Rather than
# change the server-wide account, the test database is made its own security
# database (an entry in databases.conf with SecurityDatabase pointing at
# itself), and a SYSDBA with the password "quillrose" is created inside it.
# So "SYSDBA"/"quillrose" logs in to the test database only, by path or by
# alias, and everything else on the server is left as it was.
set -euo pipefail

dir=${VX_FB_DIR:-/var/lib/vendarix-test/firebird}
db=$dir/talvir.fdb
alias_name=vx_talvir
password=quillrose
conf=/etc/firebird/3.0/databases.conf
run=/run/firebird3.0
log() { echo "start-firebird: $*" >&2; }

if [ ! -x /usr/sbin/fbguard ]; then
  log "firebird3.0-server is not installed (run scripts/install-deps.sh)"
  exit 1
fi

port_open() { (exec 3<>/dev/tcp/127.0.0.1/3050) 2>/dev/null; }

# 1. The database and its own SYSDBA, made with the embedded engine before the
#    server ever opens the file (the embedded engine cannot open a file the
#    server holds).
mkdir -p "$dir"
chown firebird:firebird "$dir"
if ! grep -q "^$alias_name = " "$conf"; then
  log "registering $alias_name in $conf"
  cat >>"$conf" <<CONF

# Test database of the updater's engine: its own security database, so that
# its SYSDBA has the password the updater sends (scripts/start-firebird.sh).
$alias_name = $db
{
	SecurityDatabase = $alias_name
}
CONF
fi
if [ ! -s "$db" ]; then
  log "creating $db"
  lock=$(mktemp -d)
  # A server already running would hold the new file once it is created;
  # creating it embedded first keeps the two apart.
  echo "CREATE DATABASE '$alias_name' USER 'SYSDBA' DEFAULT CHARACTER SET UTF8;
        CREATE USER SYSDBA PASSWORD '$password'; COMMIT;" |
    (cd "$dir" && FIREBIRD_LOCK=$lock isql-fb -q) >&2
  rm -rf "$lock"
  chown firebird:firebird "$db"
  chmod 660 "$db"
fi

# 2. The server, started as the Debian service would start it.
if ! port_open; then
  log "starting fbguard"
  mkdir -p "$run"
  chown firebird:firebird "$run"
  start-stop-daemon --start --quiet --oknodo --chuid firebird --pidfile "$run/firebird.pid" \
    --exec /usr/sbin/fbguard -- -daemon -forever -pidfile "$run/firebird.pid"
  for _ in $(seq 100); do port_open && break; sleep 0.1; done
  port_open || { log "the server did not open port 3050"; exit 1; }
fi

# 3. A login as the updater makes it.
if ! echo "SELECT 1 FROM RDB\$DATABASE;" |
  isql-fb -q -user SYSDBA -password "$password" "127.0.0.1:$db" >/dev/null 2>&1; then
  log "cannot log in to 127.0.0.1:$db as SYSDBA"
  exit 1
fi
log "ready: 127.0.0.1:$db"

echo "export VX_FB_DATABASE='127.0.0.1:$db'"
echo "export VX_FB_USER=SYSDBA"
echo "export VX_FB_PASSWORD='$password'"
