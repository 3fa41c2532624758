#!/usr/bin/env bash
# The demonstration that `./run demo` runs on a built tree: each stage shows one layer of the
# system working on loopback, from the connection layer up to the recorder. Every stage works in a
# temporary folder of its own and removes it; the pictures go to DEMO_OUT, else BUILD_DIR/demo.
set -euo pipefail
build=${1:?usage: demo.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)

stage() { printf '\n==== %s ====\n' "$*"; }

if [ -x "$build/tools/iacp-loopback" ]; then
  stage "Connection layer: handshake and one frame each way on loopback, with its traffic log"
  "$build/tools/iacp-loopback"
fi

if [ -x "$here/demo-isi.sh" ] && [ -x "$build/server/isi-sim" ]; then
  stage "ISI protocol: the stand-in server and the isicat client"
  "$here/demo-isi.sh" "$build"
fi

if [ -x "$here/demo-kvr.sh" ] && [ -x "$build/kvrdb/kvrdb" ]; then
  stage "KVR catalogue: an SQLite catalogue through ODBC"
  "$here/demo-kvr.sh" "$build"
fi

if [ -x "$here/demo-rillet.sh" ] && [ -x "$build/rillet/rillet" ]; then
  stage "Rillet: half a minute of continuous recording"
  "$here/demo-rillet.sh" "$build"
fi

if [ -x "$here/demo-gleaner.sh" ] && [ -x "$build/gleaner/gleaner" ]; then
  stage "Gleaner: gleaner fetch of ten minutes of two channels, then the same fetch again"
  "$here/demo-gleaner.sh" "$build"
fi

if [ -x "$here/demo-availability.sh" ] && [ -x "$build/kvrdb/kvrdb" ] && [ -x "$build/gleaner/gleaner" ] && [ -x "$build/rillet/rillet" ]; then
  stage "What the archive holds: availability of what was recorded and fetched, then a fetch of only the holes"
  "$here/demo-availability.sh" "$build"
fi

if [ -x "$here/demo-tremlive.sh" ] && [ -x "$build/tremlive/tremlive" ]; then
  stage "Tremlive: a snapshot of live channels"
  "$here/demo-tremlive.sh" "$build"
fi

if [ -x "$here/demo-mseed.sh" ] && [ -x "$build/gleaner/gleaner" ] && [ -x "$build/tremlive/tremlive" ]; then
  stage "A real seismogram: the great Chile earthquake of 2010 at COLA, served from miniSEED"
  "$here/demo-mseed.sh" "$build"
fi

stage "Demo finished"
if [ -d "${DEMO_OUT:-$build/demo}" ]; then echo "pictures: ${DEMO_OUT:-$build/demo}/"; fi
