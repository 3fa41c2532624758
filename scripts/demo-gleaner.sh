#!/usr/bin/env bash
# Gleaner without its dialog: one "gleaner fetch" of the last ten minutes of two channels from the
# stand-in server, and the KVR 4.0 files and FILELIST rows it made.
#   - isi-sim serves a few synthetic streams on a free loopback port;
#   - a demo folder of its own holds KVR.ini (found through WINDIR) naming the data directory, and
#     an SQLite catalogue reached as data source "KVR" through its own ODBCINI, with the tables;
#   - gleaner fetch shows its progress on standard error and exits 0 when the whole window arrived;
#   - then the files and rows are listed, and the catalogue is checked against the files.
#
#   scripts/demo-gleaner.sh BUILD_DIR     (GLEANER_DEMO_KEEP=1 keeps the demo folder)
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/demo-lib.sh"
build=${1:?usage: demo-gleaner.sh BUILD_DIR}
build=$(cd "$build" && pwd)
sim=$build/server/isi-sim
gleaner=$build/gleaner/gleaner
kvrdb=$build/kvrdb/kvrdb
demo_require_built demo-gleaner "$sim" "$gleaner" "$kvrdb" || exit 1

demo_folder gleaner-demo "${GLEANER_DEMO_KEEP:-0}"
demo=$DEMO_FOLDER
mkdir -p "$demo/data" "$demo/run"
echo "demo folder: $demo"

# Station ABC with a 20 sps channel with location 00 and a 1 sps one; XYZ with a 40 sps channel.
demo_sim_start "$sim" "$demo/port" 0 --history 7200 --quiet \
  -s ABC.BHZ.00:20 -s ABC.LHZ:1:10 -s XYZ.BHZ:40 ||
  { echo "demo-gleaner: isi-sim did not start" >&2; exit 1; }
port=$DEMO_SIM_PORT
echo "isi-sim listening on 127.0.0.1:$port"

# The catalogue: data source "KVR" on an SQLite file, in this folder's own ODBCINI; the data
# directory in KVR.ini of the "Windows directory".
demo_kvr_ini "$demo" "$demo/data"
demo_sqlite_catalog "$kvrdb" "$demo"

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
ls -l --time-style=+%T -R "$demo/data" >"$demo/before.txt"

echo
echo "---- the same fetch again: every sample is already stored, nothing is written"
set +e
(cd "$demo/run" && "$gleaner" fetch --server "127.0.0.1:$port" --begin "$begin" --end "$end" \
  ABC.BHZ.00 ABC.LHZ 2>&1 | grep -v '%')
again=${PIPESTATUS[0]}
set -e
ls -l --time-style=+%T -R "$demo/data" >"$demo/after.txt"
cmp -s "$demo/before.txt" "$demo/after.txt" && echo "---- files unchanged (exit $again)"

echo
echo "---- files under the data directory"
find "$demo/data" -type f -printf '%8s bytes  %P\n' | sort -k3
echo
echo "---- FILELIST rows"
"$kvrdb" files
echo
echo "---- catalogue check (rows against files)"
"$kvrdb" check --data-dir "$demo/data" || true
[ "$rc" -eq 0 ] && [ "$again" -eq 0 ]
