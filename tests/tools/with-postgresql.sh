#!/usr/bin/env bash
# Runs a command next to a throwaway PostgreSQL server: Debian's postgresql
# package (initdb and pg_ctl) in a temporary folder, reachable only through a
# Unix socket in that folder, run as the postgres user when started as root
# (the server refuses root). The command gets the server's address in
# QUELLOX_TEST_POSTGRESQL; the server and its folder go when it ends.
set -euo pipefail
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$bindir/initdb" ] || { echo "with-postgresql: Debian's postgresql package is not installed" >&2; exit 1; }
dir=$(mktemp -d /tmp/quellox-pg.XXXXXX)
as=()
user=$(id -un)
if [ "$(id -u)" = 0 ]; then
  chown postgres "$dir"
  as=(runuser -u postgres --)
  user=postgres
fi
chmod 755 "$dir"
cleanup() {
  "${as[@]}" "$bindir/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
"${as[@]}" "$bindir/initdb" -D "$dir/data" -A trust -U "$user" -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 ||
  { cat "$dir/initdb.log" >&2; exit 1; }
"${as[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
  -o "-k $dir -c listen_addresses= -c max_connections=50" start >/dev/null ||
  { cat "$dir/server.log" >&2; exit 1; }
export QUELLOX_TEST_POSTGRESQL="postgresql:///postgres?host=$dir&user=$user"
"$@"
