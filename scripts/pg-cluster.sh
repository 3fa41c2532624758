#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the catalogue tests.
#
#   scripts/pg-cluster.sh start STATEDIR [PSQLODBC_DRIVER]
#   scripts/pg-cluster.sh stop STATEDIR
#   scripts/pg-cluster.sh restart STATEDIR [SECONDS]
#
# start: initdb into a new folder under /tmp (as the postgres user when run as root, else as the
# calling user), listen on 127.0.0.1 on a free port, create the role and database "KVR" (quoted
# names, password "JXQ"), and write into STATEDIR:
#   odbc.ini       data source "KVR" for the cluster (use it through ODBCINI=STATEDIR/odbc.ini)
#   odbcinst.ini   an empty driver list (ODBCSYSINI=STATEDIR), so /etc does not leak in
#   cluster        the cluster folder and port, for stop
# When PostgreSQL is not installed, or cannot run as an unprivileged user here, it writes
# STATEDIR/skip with the reason and exits 0, so that the tests skip instead of failing. As root
# with PostgreSQL installed, a failure to start is an error.
# stop: stops the cluster and removes its folder and STATEDIR's files.
# restart: stops the running cluster (dropping every connection), waits SECONDS (default 0) and
# starts it again on the same port with its data, as a catalogue server restart would.
set -uo pipefail

pgbin=${PGBIN:-}
if [ -z "$pgbin" ]; then
  for d in /usr/lib/postgresql/*/bin; do [ -x "$d/initdb" ] && pgbin=$d; done
fi

usage() { sed -n '4,6p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

skip() { # skip REASON
  echo "$1" >"$state/skip"
  echo "pg-cluster: PostgreSQL tests will be skipped: $1"
  exit 0
}

fail() { # fail REASON
  echo "pg-cluster: $1" >&2
  [ -n "${cluster:-}" ] && [ -f "$cluster/log" ] && tail -n 20 "$cluster/log" >&2
  [ -n "${cluster:-}" ] && rm -rf "$cluster"
  exit 1
}

# Runs a command as the cluster's owner.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

port_in_use() { ss -Htln 2>/dev/null | awk '{print $4}' | grep -q "[:.]$1\$"; }

find_driver() {
  local given=${1:-}
  if [ -n "$given" ] && [ -f "$given" ]; then echo "$given"; return; fi
  for f in /usr/lib/*/odbc/psqlodbcw.so /usr/lib/odbc/psqlodbcw.so /usr/lib64/psqlodbcw.so; do
    [ -f "$f" ] && { echo "$f"; return; }
  done
}

start() {
  mkdir -p "$state"
  # A run that was interrupted before its stop leaves its cluster behind: stop that one first.
  [ -f "$state/cluster" ] && stop >/dev/null
  rm -f "$state/skip" "$state/odbc.ini" "$state/cluster"
  : >"$state/odbcinst.ini"
  [ -n "$pgbin" ] && [ -x "$pgbin/initdb" ] || skip "PostgreSQL server binaries not installed (postgresql package)"
  local driver
  driver=$(find_driver "${1:-}")
  [ -n "$driver" ] || skip "psqlODBC driver psqlodbcw.so not installed (odbc-postgresql package)"
  if [ "$(id -u)" -eq 0 ]; then
    id postgres >/dev/null 2>&1 || skip "running as root but there is no postgres user to own the cluster"
  fi

  cluster=$(mktemp -d /tmp/kvr-pg.XXXXXX) || fail "cannot make a temporary folder"
  chmod 755 "$cluster"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$cluster"
  if ! as_owner "$pgbin/initdb" -D "$cluster/data" -U postgres -E UTF8 --no-locale \
      --auth-local=trust --auth-host=scram-sha-256 >"$cluster/initdb.log" 2>&1; then
    if [ "$(id -u)" -ne 0 ]; then
      rm -rf "$cluster"
      skip "initdb failed for user $(id -un) (run the tests as root or as a user that may run PostgreSQL)"
    fi
    cat "$cluster/initdb.log" >&2
    fail "initdb failed"
  fi

  local port started=0
  for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 40000))
    port_in_use "$port" && continue
    if as_owner "$pgbin/pg_ctl" -D "$cluster/data" -l "$cluster/log" -w -t 60 \
        -o "-p $port -k $cluster -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
        start >/dev/null 2>&1; then
      started=1
      break
    fi
  done
  [ $started -eq 1 ] || fail "the cluster did not start"
  printf 'folder=%s\nport=%s\n' "$cluster" "$port" >"$state/cluster"

  as_owner "$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -h "$cluster" -p "$port" -U postgres -d postgres \
      -c "CREATE ROLE \"KVR\" LOGIN PASSWORD 'JXQ'" \
      -c "CREATE DATABASE \"KVR\" OWNER \"KVR\"" >/dev/null || { stop; fail "cannot create role and database \"KVR\""; }

  cat >"$state/odbc.ini" <<EOF
[KVR]
Description=KVR catalogue test cluster
Driver=$driver
Servername=127.0.0.1
Port=$port
Database=KVR
EOF
  echo "pg-cluster: PostgreSQL running on 127.0.0.1:$port, data source in $state/odbc.ini"
}

stop() {
  [ -f "$state/cluster" ] || { rm -f "$state/skip" "$state/odbc.ini"; return 0; }
  local folder port
  folder=$(sed -n 's/^folder=//p' "$state/cluster")
  port=$(sed -n 's/^port=//p' "$state/cluster")
  case "$folder" in /tmp/kvr-pg.*) ;; *) echo "pg-cluster: refusing to remove '$folder'" >&2; return 1 ;; esac
  if [ -d "$folder/data" ]; then
    as_owner "$pgbin/pg_ctl" -D "$folder/data" -m immediate -w -t 60 stop >/dev/null 2>&1 ||
      echo "pg-cluster: the cluster on port $port was not running" >&2
  fi
  rm -rf "$folder"
  rm -f "$state/cluster" "$state/odbc.ini" "$state/skip"
  echo "pg-cluster: stopped"
}

restart() {
  [ -f "$state/cluster" ] || { echo "pg-cluster: no cluster in $state" >&2; return 1; }
  local folder port
  folder=$(sed -n 's/^folder=//p' "$state/cluster")
  port=$(sed -n 's/^port=//p' "$state/cluster")
  as_owner "$pgbin/pg_ctl" -D "$folder/data" -m fast -w -t 60 stop >/dev/null 2>&1 ||
    { echo "pg-cluster: the cluster on port $port did not stop" >&2; return 1; }
  sleep "${1:-0}"
  as_owner "$pgbin/pg_ctl" -D "$folder/data" -l "$folder/log" -w -t 60 \
    -o "-p $port -k $folder -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
    start >/dev/null 2>&1 || { echo "pg-cluster: the cluster on port $port did not start again" >&2; return 1; }
  echo "pg-cluster: restarted on 127.0.0.1:$port"
}

cmd=${1:-}
state=${2:-}
[ -n "$cmd" ] && [ -n "$state" ] || usage
case "$cmd" in
  start) start "${3:-}" ;;
  stop) stop ;;
  restart) restart "${3:-}" ;;
  *) usage ;;
esac
