#!/usr/bin/env bash
# Stops the servers scripts/start-services.sh started (their data stays, so a
# later start is quick).
set -uo pipefail
root=${VX_PG_ROOT:-/var/lib/vendarix-test}
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
if [ -n "$bindir" ] && [ -s "$root/pg/PG_VERSION" ]; then
  (cd / && runuser -u postgres -- "$bindir/pg_ctl" -D "$root/pg" -m fast -w stop >/dev/null 2>&1) &&
    echo "stop-services: PostgreSQL stopped" >&2
fi
if [ -x /usr/sbin/fbguard ]; then
  start-stop-daemon --stop --quiet --oknodo --retry 10 --exec /usr/sbin/fbguard &&
    echo "stop-services: Firebird stopped" >&2
fi
exit 0
