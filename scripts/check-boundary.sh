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

# Every room is one namespace, so a class or struct defined twice in a room
# would be two definitions of one name: the linker keeps either and the
# program misbehaves without a word. Lists the names defined at namespace
# scope (not forward declarations, not inside an anonymous namespace) per room
# and fails on a name defined twice. The posix/ and win32/ halves of a
# facility may both define a name, since only one of them is compiled.
dups=$(git ls-files -z -- 'app/*' 'db/*' 'net/*' 'zip/*' 'platform/*' | grep -zE '\.(h|cpp)$' | xargs -0 -r awk '
  FNR == 1 { anon = 0; n = split(FILENAME, p, "/"); room = p[1];
             half = (p[2] == "posix" || p[2] == "win32") ? p[2] : "common" }
  /^namespace \{/ { anon = 1 }
  /^\} \/\/ namespace$/ { anon = 0 }
  !anon && /^(class|struct) [A-Za-z_][A-Za-z_0-9]*( final)?( *[:{].*)?$/ {
    key = room " " $2; seen[key, half] = seen[key, half] FILENAME " "; count[key, half]++; keys[key] = 1 }
  END {
    for (key in keys) {
      c = count[key, "common"] + 0; x = count[key, "posix"] + 0; w = count[key, "win32"] + 0
      if (c > 1 || (c && (x || w)) || x > 1 || w > 1)
        print key ": " seen[key, "common"] seen[key, "posix"] seen[key, "win32"]
    }
  }')
if [ -n "$dups" ]; then
  echo "Classes or structs defined twice in one room:" >&2
  echo "$dups" >&2
  exit 1
fi
echo "boundary: no class or struct defined twice in a room"
