#!/usr/bin/env bash
# Starts every server the tests and the demo need, if it is not running yet,
# and prints the environment variables that point the tests at them
# (use: eval "$(./scripts/start-services.sh)"). Progress goes to stderr.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for s in start-firebird.sh start-postgres.sh; do
  if [ -x "$here/$s" ]; then
    "$here/$s"
  fi
done
