#!/usr/bin/env bash
# The KVR catalogue demonstration: an SQLite catalogue through ODBC, set up and filled with kvrdb,
# a KVR 2.0 file with its FILELIST row, and kvrdb check before and after the file goes missing.
# Everything lives in a temporary folder (kept when KVR_DEMO_KEEP=1).
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/demo-lib.sh"
build=${1:?usage: demo-kvr.sh BUILD_DIR}
kvrdb="$build/kvrdb/kvrdb"
sim="$build/server/isi-sim"

demo_folder kvr-demo "${KVR_DEMO_KEEP:-0}"
demo=$DEMO_FOLDER

# A private data source file, so the user's ~/.odbc.ini is left alone.
demo_private_odbc "$demo"
show() { printf '\n$ %s\n' "$*"; "$@"; }

show "$kvrdb" dsn sqlite "$demo/kvr.db"
cat "$ODBCINI"
show "$kvrdb" init
show "$kvrdb" sitechan add ANMO bhz 00 20
show "$kvrdb" sitechan add ab LHZ "" 1

if [ -x "$sim" ] &&
  demo_sim_start "$sim" "$demo/port" 0 -q -s COLA.BHZ.00:40 -s COLA.LHZ:1 --run-seconds 60; then
  show "$kvrdb" sitechan load "127.0.0.1:$DEMO_SIM_PORT" || true
fi
show "$kvrdb" sitechan list

# One KVR 2.0 file of 100 samples (5 s at 20 sps): the 512-byte header, then little-endian floats.
data="$demo/data"
rel="anmo/13/02012006-130405-BHZ.anmo"
mkdir -p "$data/anmo/13"
{
  printf '[KVR2.0]\r\nData offset=512\r\nStart time=13 04 05\r\nStart date=02 01 2006\r\n'
  printf 'Time duration=00 00 00\r\nData Type=FLOAT\r\nSpS=20.000000\r\nGain=1\r\n'
  printf 'Station=anmo\r\nChannels="BHZ"\r\n\0'
} >"$data/$rel"
truncate -s 512 "$data/$rel"
head -c 400 /dev/zero >>"$data/$rel"
echo
echo "wrote $rel ($(stat -c %s "$data/$rel") bytes)"

# Its row, with the recorder's own insert statement.
sqlite3 "$demo/kvr.db" "insert into filelist (sta,tbegin,tqty,sps,gain,cpath,ch,lcode,datatype,creater, calib, calper) values ('anmo', 1136207045.000000, 5.000000, 20.000000, 1,'$rel','BHZ','00', 3,'NRTSDISKLOOP',-1.000000,-1.000000)"
show "$kvrdb" files
show "$kvrdb" check --data-dir "$data"

rm "$data/$rel"
echo
echo "removed $rel"
show "$kvrdb" check --data-dir "$data" ||
  echo "(kvrdb check exited with $?, as it should: the row names a file that is gone)"
# The mend after a crash: rows take their files' true lengths, rows without files go.
show "$kvrdb" check --data-dir "$data" --repair
