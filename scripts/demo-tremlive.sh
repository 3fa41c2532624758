#!/usr/bin/env bash
# Tremlive without a display: isi-sim serves a few synthetic channels on a free loopback port, a
# demo folder gets a TREMLIVE.INI that selects them, and `tremlive --snapshot` acquires for a
# while and saves the main window's picture. Prints the PNG's path.
#
#   scripts/demo-tremlive.sh BUILD_DIR     (TREMLIVE_DEMO_SECONDS sets the acquisition time, 15;
#                                           TREMLIVE_DEMO_DIR the demo folder, kept, with the
#                                           picture in it; else a temporary one, removed, and the
#                                           picture in DEMO_OUT, else BUILD_DIR/demo)
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/demo-lib.sh"
build=${1:?usage: demo-tremlive.sh BUILD_DIR}
build=$(cd "$build" && pwd)
seconds=${TREMLIVE_DEMO_SECONDS:-15}
sim=$build/server/isi-sim
tremlive=$build/tremlive/tremlive
demo_require_built demo-tremlive "$sim" "$tremlive" || exit 1

if [ -n "${TREMLIVE_DEMO_DIR:-}" ]; then
  demo=$TREMLIVE_DEMO_DIR
  mkdir -p "$demo"
  png=$demo/tremlive.png
  trap demo_sim_stop EXIT
else
  demo_folder tremlive-demo
  demo=$DEMO_FOLDER
  png=$(demo_picture_folder "$build")/tremlive.png
fi
echo "demo folder: $demo"
demo_qt_runtime "$demo"

demo_sim_start_tremlive "$sim" "$demo/port" --history 3600 --quiet \
  -s ABC.BHZ.00:20:20 -s ABC.BHN.00:20:20 -s ABC.BHE.00:20:20 -s XYZ.LHZ:1:5 -s XYZ.BHZ:40:40 ||
  { echo "demo-tremlive: no free port for isi-sim" >&2; exit 1; }
port=$DEMO_SIM_PORT
echo "isi-sim listening on 127.0.0.1:$port"

# Ten minutes buffered, two displayed; XYZ.BHZ is configured but not selected. XYZ.LHZ has no
# location code (an empty LCODE stands for two blanks).
{
  printf '[-CONFIG-]\r\nSERVER=127.0.0.1\r\nPORT=%s\r\nDISPLAYEDTIME=120\r\nBUFFEREDTIME=600\r\n' "$port"
  printf 'REFRESHTIME=1\r\nDELAY=0\r\n'
  printf '[-STATIONS-]\r\nN=2\r\nSTATION0=ABC\r\nSTATION1=XYZ\r\n'
  printf '[ABC]\r\nN=3\r\n'
  k=0
  for ch in BHZ BHN BHE; do
    printf 'CH%d=%s\r\nCH%d.SpS=20.0000\r\nCH%d.LCODE=00\r\nCH%d.Selected=1\r\n' $k $ch $k $k $k
    k=$((k + 1))
  done
  printf '[XYZ]\r\nN=2\r\n'
  printf 'CH0=LHZ\r\nCH0.SpS=1.0000\r\nCH0.LCODE=\r\nCH0.Selected=1\r\n'
  printf 'CH1=BHZ\r\nCH1.SpS=40.0000\r\nCH1.LCODE=\r\nCH1.Selected=0\r\n'
} >"$demo/TREMLIVE.INI"
echo "---- TREMLIVE.INI"
tr -d '\r' <"$demo/TREMLIVE.INI" | head -n 12
echo "..."

echo "---- tremlive --snapshot for ${seconds} s"
(cd "$demo" && "$tremlive" --snapshot "$png" --seconds "$seconds" --size 1200x720) >"$demo/tremlive.log" 2>&1 || {
  echo "demo-tremlive: tremlive failed:" >&2
  cat "$demo/tremlive.log" >&2
  exit 1
}
echo "snapshot: $png ($(stat -c %s "$png") bytes)"
