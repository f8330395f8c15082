#!/usr/bin/env bash
# The terminal display links the display service's client and nothing of its server: no HTTP
# server (libmicrohttpd), no answer history database (libsqlite3), no session bus (libsystemd),
# directly or through another library. ldd lists what the loader would bring in.
# Usage: linked_libraries_test.sh <program>
set -u
program=$1
command -v ldd >/dev/null 2>&1 || { echo "SKIP: ldd is not installed"; exit 77; }
[ -x "$program" ] || { echo "FAIL: $program is not a program"; exit 1; }

libraries=$(ldd "$program") || { echo "FAIL: ldd could not read $program"; exit 1; }
status=0
for server in libmicrohttpd libsqlite3 libsystemd; do
  if grep -q "$server" <<<"$libraries"; then
    echo "FAIL: $(basename "$program") links $server:"
    grep "$server" <<<"$libraries"
    status=1
  fi
done
[ "$status" = 0 ] && echo "$(basename "$program") links none of libmicrohttpd, libsqlite3, libsystemd"
exit $status
