# Steps the demo scripts share; sourced, not run:
#   source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/demo-lib.sh"
# The functions leave errexit to the caller and report failure by their status.

DEMO_SIM_PID=""
DEMO_SIM_PORT=""
DEMO_FOLDER=""
DEMO_KEEP=0

# demo_folder NAME [KEEP]
# Makes a new temporary folder /tmp/NAME.XXXXXX, sets DEMO_FOLDER to it and, at the script's exit,
# stops the isi-sim demo_sim_start started and removes the folder, unless KEEP is 1 (then it says
# where the folder is kept). Call it in the script itself, not in a subshell.
demo_folder() {
  DEMO_FOLDER=$(mktemp -d "/tmp/$1.XXXXXX")
  DEMO_KEEP=${2:-0}
  trap demo_exit EXIT
}

demo_exit() {
  demo_sim_stop
  [ -n "$DEMO_FOLDER" ] || return 0
  if [ "$DEMO_KEEP" = 1 ]; then echo "demo folder kept: $DEMO_FOLDER"; else rm -rf "$DEMO_FOLDER"; fi
}

# demo_qt_runtime FOLDER: without a session's XDG_RUNTIME_DIR, Qt would make /tmp/runtime-USER and
# leave it behind; FOLDER/runtime (private to the user) stands in for it.
demo_qt_runtime() {
  [ -z "${XDG_RUNTIME_DIR:-}" ] || return 0
  mkdir -p -m 700 "$1/runtime"
  export XDG_RUNTIME_DIR=$1/runtime
}

# demo_picture_folder BUILD_DIR: where the demonstration's pictures go, made if missing: DEMO_OUT,
# else BUILD_DIR/demo. They outlive the temporary folders.
demo_picture_folder() {
  local out=${DEMO_OUT:-$1/demo}
  mkdir -p "$out" && (cd "$out" && pwd)
}

# demo_require_built SCRIPT EXE...
# Returns 1, saying so on standard error under the name SCRIPT, when an EXE is not built.
demo_require_built() {
  local script=$1 exe
  shift
  for exe in "$@"; do
    [ -x "$exe" ] || { echo "$script: $exe is not built" >&2; return 1; }
  done
}

# demo_sim_start SIM PORT_FILE PORT [ISI-SIM OPTIONS...]
# Starts isi-sim (path SIM) in the background on 127.0.0.1:PORT (0: the system picks a free port)
# and waits, up to 10 s, until it has written the port it listens on into PORT_FILE. Sets
# DEMO_SIM_PID and DEMO_SIM_PORT. Returns 1, with the server stopped, when it exited first (say,
# the port was taken) or did not write the file in time.
demo_sim_start() {
  local sim=$1 port_file=$2 port=$3
  shift 3
  rm -f "$port_file"
  "$sim" --host 127.0.0.1 --port "$port" --port-file "$port_file" "$@" &
  DEMO_SIM_PID=$!
  local _
  for _ in $(seq 100); do
    [ -s "$port_file" ] && break
    kill -0 "$DEMO_SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ -s "$port_file" ]; then
    DEMO_SIM_PORT=$(cat "$port_file")
    return 0
  fi
  demo_sim_stop
  return 1
}

# demo_sim_start_tremlive SIM PORT_FILE [ISI-SIM OPTIONS...]
# demo_sim_start on a port Tremlive's settings accept (10000 to 60000, so not one the system
# picks): random ones are tried until the server can listen. Returns 1 when twenty tries failed.
demo_sim_start_tremlive() {
  local sim=$1 port_file=$2 _
  shift 2
  for _ in $(seq 20); do
    demo_sim_start "$sim" "$port_file" $(( 20000 + RANDOM % 30000 )) "$@" && return 0
  done
  return 1
}

# demo_sim_stop: stops the isi-sim demo_sim_start started, if it still runs, and waits for it.
# Safe to call twice, and from an EXIT trap.
demo_sim_stop() {
  if [ -n "$DEMO_SIM_PID" ]; then
    kill "$DEMO_SIM_PID" 2>/dev/null || true
    wait "$DEMO_SIM_PID" 2>/dev/null || true
  fi
  DEMO_SIM_PID=""
}

# demo_private_odbc FOLDER
# Points unixODBC at a data source file of FOLDER's own (and an empty driver list beside it), so
# the user's ~/.odbc.ini is left alone; kvrdb dsn writes data source "KVR" into it.
demo_private_odbc() {
  export ODBCINI=$1/odbc.ini ODBCSYSINI=$1
  : >"$1/odbcinst.ini"
}

# demo_kvr_ini FOLDER DATA_DIR
# Makes FOLDER/windows the "Windows directory" (WINDIR) and writes its KVR.ini naming DATA_DIR as
# the data directory, with CRLF lines and the trailing backslash the recorders write.
demo_kvr_ini() {
  export WINDIR=$1/windows
  mkdir -p "$WINDIR"
  printf '[DATA]\r\nDIR=%s\\\r\n' "$2" >"$WINDIR/KVR.ini"
}

# demo_sqlite_catalog KVRDB FOLDER
# The catalogue: data source "KVR" on the SQLite file FOLDER/kvr.db, in FOLDER's own ODBCINI,
# with the tables made by "kvrdb init" (KVRDB: the path of kvrdb).
demo_sqlite_catalog() {
  demo_private_odbc "$2"
  "$1" dsn sqlite "$2/kvr.db" && "$1" init
}
