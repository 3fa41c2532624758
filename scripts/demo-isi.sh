#!/usr/bin/env bash
# The ISI part of the demonstration: starts the stand-in server isi-sim on a free loopback port,
# lists its streams and their time ranges with isicat, fetches a few packets, and stops it.
#   scripts/demo-isi.sh BUILD_DIR
set -euo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/demo-lib.sh"
build=${1:?usage: demo-isi.sh BUILD_DIR}
sim="$build/server/isi-sim"
cat="$build/isicat/isicat"

demo_folder demo-isi
work=$DEMO_FOLDER

show() { printf '\n$ %s\n' "$*"; "$@"; }

# Port 0: the system picks a free port, which isi-sim writes into the port file.
demo_sim_start "$sim" "$work/port" 0 --history 3600 --heartbeat 5 \
  --stream DEMO.BHZ.00:20:40 --stream DEMO.BHN.00:20:40 --stream DEMO.LHZ:1:20 \
  --stream DEMO.VHZ:0.1:10 --log "$work/isi-sim.log" --run-seconds 300 ||
  { echo "isi-sim did not start" >&2; exit 1; }
server="127.0.0.1:$DEMO_SIM_PORT"
echo "isi-sim (pid $DEMO_SIM_PID) listening on $server"

show "$cat" cnf "$server"
show "$cat" soh "$server"
# Ten seconds of the past, all streams, with the ISI difference compression: a line a packet.
show "$cat" data "$server" 'DEMO.*.*' --begin now-70 --end now-60
# Live data from the newest packet on (a packet every 2 s), with the first samples of each.
printf '\n$ %s\n' "$cat data $server DEMO.BHZ.00 --samples --count 3 | cut -c1-150"
"$cat" data "$server" DEMO.BHZ.00 --samples --count 3 | cut -c1-150

# A stream the server does not have is refused before any request: the point is the status.
show "$cat" data "$server" DEMO.XYZ --begin now-70 --end now-60 ||
  echo "(isicat exited with $?, as it should: 3 means the server has no such stream)"

demo_sim_stop
printf '\nisi-sim log:\n'
sed 's/^/  /' "$work/isi-sim.log"
