#!/usr/bin/env bash
# Rillet, headless, for half a minute against the stand-in server:
#   - isi-sim serves a few synthetic stations on a free loopback port;
#   - a demo folder of its own holds KVR.ini (found through WINDIR), rillet.ini with two groups,
#     an SQLite catalogue reached as data source "KVR" through its own ODBCINI, the tables, and
#     SITECHAN rows loaded from the server's configuration list;
#   - rillet --headless records (resume times set back, so history arrives at once and the small
#     disk loop of the second group trims), then SIGTERM stops it in order;
#   - the files, FILELIST rows and log lines it left are shown.
#
#   scripts/demo-rillet.sh BUILD_DIR
# RILLET_DEMO_SECONDS sets the recording time (30); RILLET_DEMO_KEEP=1 keeps the demo folder.
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/demo-lib.sh"
build=${1:?usage: demo-rillet.sh BUILD_DIR}
build=$(cd "$build" && pwd)
seconds=${RILLET_DEMO_SECONDS:-30}
sim=$build/server/isi-sim
rillet=$build/rillet/rillet
kvrdb=$build/kvrdb/kvrdb
demo_require_built demo-rillet "$sim" "$rillet" "$kvrdb" || exit 1

demo_folder rillet-demo "${RILLET_DEMO_KEEP:-0}"
demo=$DEMO_FOLDER
mkdir -p "$demo/run" "$demo/data"
echo "demo folder: $demo"

# The server: station ABC with two 20 sps channels and a 1 sps one, XYZ with two 40 sps channels.
# Two hours of disk loop.
demo_sim_start "$sim" "$demo/port" 0 --history 7200 --quiet \
  -s ABC.BHZ:20 -s ABC.BHN.00:20 -s ABC.LHZ:1:10 -s XYZ.BHZ:40 -s XYZ.BHE:40 ||
  { echo "demo-rillet: isi-sim did not start" >&2; exit 1; }
port=$DEMO_SIM_PORT
echo "isi-sim listening on 127.0.0.1:$port"

# The catalogue: data source "KVR" on an SQLite file, in this folder's own ODBCINI.
demo_kvr_ini "$demo" "$demo/data"
demo_sqlite_catalog "$kvrdb" "$demo"
"$kvrdb" sitechan load "127.0.0.1:$port" >/dev/null
echo "SITECHAN, from the server's configuration list:"
"$kvrdb" sitechan list

# rillet.ini: ABC an hour back in 10-minute files, XYZ two hours back in a 1 MB loop. XYZ's BHN has
# no SITECHAN rate, so it is not recorded.
now=$(date +%s)
abc_from=$(( (now - 3600) / 5 * 5 ))
xyz_from=$(( (now - 7200) / 5 * 5 ))
cat >"$demo/run/rillet.ini" <<INI
[SYSTEM]
SERVER=127.0.0.1
PORT=$port
GROUPS=2
[GROUP1]
STATION=ABC
SIZEMB=50
FILELENGTH(MIN)=10
CHAN=BHZ, BHN.00; LHZ
BHZ=$abc_from
BHN.00=$abc_from
[GROUP2]
STATION=xyz
SIZEMB=1
FILELENGTH(MIN)=5
CHAN=BHZ,BHE,BHN
BHZ=$xyz_from
BHE=$xyz_from
[LOG]
DIR=..\\log
INI

echo
echo "---- rillet --headless for ${seconds} s"
"$rillet" --headless -C "$demo/run" &
rillet_pid=$!
sleep "$seconds"
kill -TERM "$rillet_pid"
set +e
wait "$rillet_pid"
rc=$?
set -e
echo "---- rillet exited with $rc (XYZ.BHN has no SITECHAN rate and was not recorded)"

echo
for sta in abc xyz; do
  echo "---- files of $sta under the data directory (last 6 of $(find "$demo/data/$sta" -type f 2>/dev/null | wc -l))"
  find "$demo/data/$sta" -type f -printf '%8s bytes  %P\n' 2>/dev/null | sort -k3 | tail -n 6
done
echo
for sta in abc xyz; do
  echo "---- FILELIST rows of $sta (last 6)"
  "$kvrdb" files --sta "$sta" | tail -n 7
done
echo
echo "---- catalogue check (rows against files)"
"$kvrdb" check --data-dir "$demo/data" || true
echo
echo "---- resume times in rillet.ini"
grep -E '^(BH|LH)[A-Z](\.[0-9A-Z]+)?=' "$demo/run/rillet.ini" || true
echo
echo "---- log ($(ls "$demo/log"))"
cat "$demo"/log/*.log | tr -d '\r' | grep -v '^$' | head -n 8
echo "..."
cat "$demo"/log/*.log | tr -d '\r' | grep -c 'Deleted file' | sed 's/^/Deleted file lines: /'
cat "$demo"/log/*.log | tr -d '\r' | tail -n 4
[ "$rc" -eq 0 ]
