#!/usr/bin/env bash
# The operating system and Qt are reached through platform/ alone: a file of
# the logic that includes a system or Qt header would have to be written
# twice for the Windows build. Lists the offenders and fails when there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
leaks=$(git ls-files -z -- 'app/*' 'db/*' 'net/*' 'zip/*' | xargs -0 -r grep -nE \
  '^\s*#\s*include\s*<(Q[A-Za-z]+|unistd\.h|fcntl\.h|sys/[a-z_]+\.h|dirent\.h|spawn\.h|poll\.h|iconv\.h|windows\.h|winsock2\.h|ws2tcpip\.h|pthread\.h|dlfcn\.h|netinet/[a-z_]+\.h|arpa/[a-z_]+\.h|netdb\.h|signal\.h)>' || true)
if [ -n "$leaks" ]; then
  echo "System or Qt headers outside platform/:" >&2
  echo "$leaks" >&2
  exit 1
fi
echo "boundary: no system or Qt header outside platform/"
