#!/usr/bin/env bash
# The ISI part of the demonstration: starts the stand-in server isi-sim on a free loopback port,
# lists its streams and their time ranges with isicat, fetches a few packets, and stops it.
#   scripts/demo-isi.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: demo-isi.sh BUILD_DIR}
sim="$build/server/isi-sim"
cat="$build/isicat/isicat"

work=$(mktemp -d /tmp/demo-isi.XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

show() { printf '\n$ %s\n' "$*"; "$@"; }

# Port 0: the system picks a free port, which isi-sim writes into the port file.
"$sim" --host 127.0.0.1 --port 0 --port-file "$work/port" --history 3600 --heartbeat 5 \
  --stream DEMO.BHZ.00:20:40 --stream DEMO.BHN.00:20:40 --stream DEMO.LHZ:1:20 \
  --stream DEMO.VHZ:0.1:10 --log "$work/isi-sim.log" --run-seconds 300 &
pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "isi-sim did not start" >&2; exit 1; }
server="127.0.0.1:$(cat "$work/port")"
echo "isi-sim (pid $pid) listening on $server"

show "$cat" cnf "$server"
show "$cat" soh "$server"
# Ten seconds of the past, all streams, with the ISI difference compression: a line a packet.
show "$cat" data "$server" 'DEMO.*.*' --begin now-70 --end now-60
# Live data from the newest packet on (a packet every 2 s), with the first samples of each.
printf '\n$ %s\n' "$cat data $server DEMO.BHZ.00 --samples --count 3 | cut -c1-150"
"$cat" data "$server" DEMO.BHZ.00 --samples --count 3 | cut -c1-150

kill "$pid"
wait "$pid" 2>/dev/null || true
pid=""
printf '\nisi-sim log:\n'
sed 's/^/  /' "$work/isi-sim.log"
