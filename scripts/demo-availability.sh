#!/usr/bin/env bash
# What the archive holds, after a short recording and three fetches that leave holes:
#   - isi-sim serves station ABC on a free loopback port; a demo folder of its own holds KVR.ini
#     (found through WINDIR), an SQLite catalogue reached as data source "KVR", and rillet.ini;
#   - rillet --headless records ABC.LHZ for a few seconds from an hour back (history arrives at
#     once); gleaner fetch takes three pieces of the last hour of ABC.BHZ.00, two holes between;
#   - kvrdb availability lists the spans, gaps and coverage, as text and as JSON, and draws them;
#   - the fetch of the whole hour asks the server only for the holes, and the availability
#     afterwards has none; kvrdb dayplot draws the day of ABC.BHZ.00.
#
#   scripts/demo-availability.sh BUILD_DIR
# AVAILABILITY_DEMO_KEEP=1 keeps the demo folder and its pictures.
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/demo-lib.sh"
build=${1:?usage: demo-availability.sh BUILD_DIR}
build=$(cd "$build" && pwd)
sim=$build/server/isi-sim
rillet=$build/rillet/rillet
gleaner=$build/gleaner/gleaner
kvrdb=$build/kvrdb/kvrdb
demo_require_built demo-availability "$sim" "$rillet" "$gleaner" "$kvrdb" || exit 1

demo=$(mktemp -d /tmp/availability-demo.XXXXXX)
cleanup() {
  demo_sim_stop
  if [ "${AVAILABILITY_DEMO_KEEP:-0}" = 1 ]; then echo "demo folder kept: $demo"; else rm -rf "$demo"; fi
}
trap cleanup EXIT
mkdir -p "$demo/run" "$demo/data"
echo "demo folder: $demo"

demo_sim_start "$sim" "$demo/port" 0 --history 7200 --quiet -s ABC.BHZ.00:20 -s ABC.LHZ:1:10 ||
  { echo "demo-availability: isi-sim did not start" >&2; exit 1; }
port=$DEMO_SIM_PORT
demo_kvr_ini "$demo" "$demo/data"
demo_sqlite_catalog "$kvrdb" "$demo"
"$kvrdb" sitechan add ABC LHZ '' 1 >/dev/null

now=$(date +%s)
hour=$(( now / 60 * 60 - 3600 ))
cat >"$demo/run/rillet.ini" <<INI
[SYSTEM]
SERVER=127.0.0.1
PORT=$port
GROUPS=1
[GROUP1]
STATION=ABC
SIZEMB=50
FILELENGTH(MIN)=10
CHAN=LHZ
LHZ=$hour
[LOG]
DIR=..\\log
INI
echo
echo "---- rillet --headless records ABC.LHZ from an hour back, for 5 s"
"$rillet" --headless -C "$demo/run" &
rillet_pid=$!
sleep 5
kill -TERM "$rillet_pid"
wait "$rillet_pid" || true

echo
echo "---- gleaner fetch of ABC.BHZ.00 in three pieces, holes of 2 and 5 minutes between"
fetch() { (cd "$demo/run" && "$gleaner" fetch --server "127.0.0.1:$port" "$@" 2>&1 | grep -v '%'); }
fetch --begin "$hour" --end $(( hour + 1200 )) ABC.BHZ.00 | tail -n 1
fetch --begin $(( hour + 1320 )) --end $(( hour + 2400 )) ABC.BHZ.00 | tail -n 1
fetch --begin $(( hour + 2700 )) --end $(( hour + 3600 )) ABC.BHZ.00 | tail -n 1

echo
echo "---- kvrdb availability --gaps --begin $hour --end $(( hour + 3600 )) (and the picture)"
plot=()
"$kvrdb" availability --help | grep -q -- --plot && plot=(--plot "$demo/coverage.png")
"$kvrdb" availability --gaps --begin "$hour" --end $(( hour + 3600 )) "${plot[@]}"
echo
echo "---- the same as JSON, for scripts"
"$kvrdb" availability --format json --begin "$hour" --end $(( hour + 3600 )) 'ABC.BHZ.*'

echo
echo "---- gleaner fetch of the whole hour: only the holes are asked for"
fetch --begin "$hour" --end $(( hour + 3600 )) ABC.BHZ.00
echo
"$kvrdb" availability --gaps --begin "$hour" --end $(( hour + 3600 )) 'ABC.BHZ.*'
if "$kvrdb" --help | grep -q dayplot; then
  echo
  "$kvrdb" dayplot ABC.BHZ.00 --day "$hour" --png "$demo/dayplot.png"
fi
[ -n "${plot[*]}" ] && echo "pictures: $demo/coverage.png $demo/dayplot.png"
exit 0
