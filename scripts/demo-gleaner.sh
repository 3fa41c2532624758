#!/usr/bin/env bash
# Gleaner without its dialog: one "gleaner fetch" of the last ten minutes of two channels from the
# stand-in server, and the KVR 4.0 files and FILELIST rows it made.
#   - isi-sim serves a few synthetic streams on a free loopback port;
#   - a demo folder of its own holds KVR.ini (found through WINDIR) naming the data directory, and
#     an SQLite catalogue reached as data source "KVR" through its own ODBCINI, with the tables;
#   - gleaner fetch shows its progress on standard error and exits 0 when the whole window arrived;
#   - then the files and rows are listed, and the catalogue is checked against the files.
#
#   scripts/demo-gleaner.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: demo-gleaner.sh BUILD_DIR}
build=$(cd "$build" && pwd)
sim=$build/server/isi-sim
gleaner=$build/gleaner/gleaner
kvrdb=$build/kvr/kvrdb
for exe in "$sim" "$gleaner" "$kvrdb"; do
  [ -x "$exe" ] || { echo "demo-gleaner: $exe is not built" >&2; exit 1; }
done

demo=$(mktemp -d /tmp/gleaner-demo.XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
mkdir -p "$demo/windows" "$demo/data" "$demo/run"
echo "demo folder: $demo"

# Station ABC with a 20 sps channel with location 00 and a 1 sps one; XYZ with a 40 sps channel.
"$sim" --host 127.0.0.1 --port 0 --port-file "$demo/port" --history 7200 --quiet \
  -s ABC.BHZ.00:20 -s ABC.LHZ:1:10 -s XYZ.BHZ:40 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$demo/port" ] && break; sleep 0.1; done
port=$(cat "$demo/port")
echo "isi-sim listening on 127.0.0.1:$port"

# The catalogue: data source "KVR" on an SQLite file, in this folder's own ODBCINI; the data
# directory in KVR.ini of the "Windows directory".
export ODBCINI=$demo/odbc.ini ODBCSYSINI=$demo
: >"$demo/odbcinst.ini"
export WINDIR=$demo/windows
printf '[DATA]\r\nDIR=%s\\\r\n' "$demo/data" >"$WINDIR/KVR.ini"
"$kvrdb" dsn sqlite "$demo/kvr.db"
"$kvrdb" init

now=$(date +%s)
begin=$(( now - 660 ))
end=$(( now - 60 ))
echo
echo "---- gleaner fetch of ABC.BHZ.00 and ABC.LHZ, $(date -u -d "@$begin" +%H:%M:%S) to $(date -u -d "@$end" +%H:%M:%S) UTC"
set +e
(cd "$demo/run" && "$gleaner" fetch --server "127.0.0.1:$port" --begin "$begin" --end "$end" \
  ABC.BHZ.00 ABC.LHZ)
rc=$?
set -e
echo "---- gleaner fetch exited with $rc (0: the whole window arrived and was written)"

echo
echo "---- files under the data directory"
find "$demo/data" -type f -printf '%8s bytes  %P\n' | sort -k3
echo
echo "---- FILELIST rows"
"$kvrdb" files
echo
echo "---- catalogue check (rows against files)"
"$kvrdb" check --data-dir "$demo/data" || true
[ "$rc" -eq 0 ]
