#!/usr/bin/env bash
# A real seismogram: the miniSEED example of Debian's libmseed-doc, 70 minutes of the long-period
# vertical channel COLA.LHZ.00 (College, Alaska) recorded on 2010-02-27 during the great Chile
# earthquake, served by isi-sim --mseed (shifted so that its newest sample is now).
#   - isicat shows the stream and its time range;
#   - tremlive --snapshot draws the whole record;
#   - gleaner fetch stores it as KVR 4.0 files with FILELIST rows, checked by kvrdb.
#
#   scripts/demo-mseed.sh BUILD_DIR     (MSEED_DEMO_FILE another miniSEED file; the picture goes
#                                        to DEMO_OUT, else BUILD_DIR/demo)
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/demo-lib.sh"
build=${1:?usage: demo-mseed.sh BUILD_DIR}
build=$(cd "$build" && pwd)
sim=$build/server/isi-sim
cat=$build/isicat/isicat
tremlive=$build/tremlive/tremlive
gleaner=$build/gleaner/gleaner
kvrdb=$build/kvrdb/kvrdb
demo_require_built demo-mseed "$sim" "$cat" "$tremlive" "$gleaner" "$kvrdb" || exit 1
record=${MSEED_DEMO_FILE:-}
if [ -z "$record" ]; then
  for f in /usr/share/doc/libmseed-doc/examples/test.mseed /usr/share/doc/libmseed-dev/examples/test.mseed; do
    [ -r "$f" ] && record=$f && break
  done
fi
[ -n "$record" ] || { echo "demo-mseed: no test.mseed (install libmseed-doc)" >&2; exit 1; }

demo_folder mseed-demo "${MSEED_DEMO_KEEP:-0}"
demo=$DEMO_FOLDER
mkdir -p "$demo/data" "$demo/run"
echo "demo folder: $demo"
demo_qt_runtime "$demo"
echo "record: $record"

demo_sim_start_tremlive "$sim" "$demo/port" --quiet --mseed "$record" ||
  { echo "demo-mseed: no free port for isi-sim" >&2; exit 1; }
port=$DEMO_SIM_PORT
server=127.0.0.1:$port
printf '\n$ isicat soh %s\n' "$server"
"$cat" soh "$server" | tee "$demo/soh.txt"
read -r sta chn loc first last <"$demo/soh.txt"

# The whole record in one band: seventy minutes displayed and buffered.
{
  printf '[-CONFIG-]\r\nSERVER=127.0.0.1\r\nPORT=%s\r\nDISPLAYEDTIME=4260\r\nBUFFEREDTIME=4260\r\n' "$port"
  printf 'REFRESHTIME=1\r\nDELAY=0\r\n[-STATIONS-]\r\nN=1\r\nSTATION0=%s\r\n' "$sta"
  printf '[%s]\r\nN=1\r\nCH0=%s\r\nCH0.SpS=1.0000\r\nCH0.LCODE=%s\r\nCH0.Selected=1\r\n' "$sta" "$chn" "$loc"
} >"$demo/run/TREMLIVE.INI"
png=$(demo_picture_folder "$build")/chile-2010.png
echo
echo "---- tremlive --snapshot of $sta.$chn.$loc"
(cd "$demo/run" && "$tremlive" --snapshot "$png" --seconds 5 --size 1200x500) >"$demo/tremlive.log" 2>&1 || {
  echo "demo-mseed: tremlive failed:" >&2
  cat "$demo/tremlive.log" >&2
  exit 1
}
echo "snapshot: $png ($(stat -c %s "$png") bytes)"

demo_kvr_ini "$demo" "$demo/data"
demo_sqlite_catalog "$kvrdb" "$demo" >/dev/null
begin=${first%.*}
end=$(( ${last%.*} + 1 ))
echo
echo "---- gleaner fetch of the whole record"
set +e
(cd "$demo/run" && "$gleaner" fetch --server "$server" --begin "$begin" --end "$end" "$sta.$chn.$loc")
rc=$?
set -e
echo "---- gleaner fetch exited with $rc"
"$kvrdb" files
"$kvrdb" check --data-dir "$demo/data"
[ "$rc" -eq 0 ]
