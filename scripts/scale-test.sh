#!/usr/bin/env bash
# Many recorders and fetches on one shared PostgreSQL catalogue, measured and checked.
#
#   scripts/scale-test.sh [--recorders N] [--channels C] [--fetchers M] [--minutes T]
#                         [--build DIR] [--keep]
#
# Defaults (small enough for a CI-sized machine of 2 cores): 2 recorders x 10 channels, 2 fetches,
# 2 minutes. It starts a throwaway PostgreSQL cluster (scripts/pg-cluster.sh), one isi-sim serving
# N x C channels of 20 samples per second (an hour of history, then live data), N headless
# recorders, each with its own folder, data directory and station, all on the one catalogue, and
# M concurrent `gleaner fetch` runs of overlapping windows of the recorders' stations, each from a
# folder of its own, all into one data directory apart from the recorders' (the operators' host:
# a station's files live in one data directory, which every program writing them shares). The server drops every recorder's first connection part way through
# the history; one recorder is killed (SIGKILL) and restarted; the catalogue server is restarted.
# After T minutes everything is stopped the orderly way and every file of every program is checked
# against isi-sim's samples (no hole the server could still fill, no sample twice) with
# sim-verify, and each data directory with `kvrdb check`.
#
# It prints the figures of the run and, last, "SCALE OK ..." or "SCALE FAIL <reason>"; the exit
# status agrees (0, or 1). Where PostgreSQL cannot run here it prints "SCALE SKIP <reason>" and
# exits 77. --keep leaves the work folder (its path is printed) for a look afterwards.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
recorders=2 channels=10 fetchers=2 minutes=2 build=$root/build keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --recorders) recorders=$2; shift 2 ;;
    --channels) channels=$2; shift 2 ;;
    --fetchers) fetchers=$2; shift 2 ;;
    --minutes) minutes=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "scale-test: unknown option $1" >&2; sed -n '4,5p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
for v in "$recorders" "$channels" "$fetchers" "$minutes"; do
  case "$v" in ''|*[!0-9]*) echo "scale-test: counts and minutes are whole numbers" >&2; exit 2 ;; esac
done
[ "$recorders" -ge 1 ] && [ "$recorders" -le 99 ] || { echo "scale-test: 1 to 99 recorders" >&2; exit 2; }
[ "$channels" -ge 1 ] && [ "$channels" -le 2600 ] || { echo "scale-test: 1 to 2600 channels" >&2; exit 2; }
for p in server/isi-sim rillet/rillet-headless gleaner/gleaner kvrdb/kvrdb tools/sim-verify; do
  [ -x "$build/$p" ] || { echo "scale-test: $build/$p is not built (./run build)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/scale.XXXXXX)
pids=()
result() { # result OK|FAIL|SKIP TEXT
  echo "SCALE $1 $2"
  case "$1" in OK) exit 0 ;; SKIP) exit 77 ;; *) exit 1 ;; esac
}
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  wait 2>/dev/null
  "$root/scripts/pg-cluster.sh" stop "$work/pg" >/dev/null 2>&1
  if [ $keep -eq 1 ]; then echo "scale-test: work folder kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'result FAIL "interrupted"' INT TERM

# ---- the catalogue ------------------------------------------------------------------------------
"$root/scripts/pg-cluster.sh" start "$work/pg" >"$work/pg.log" 2>&1 || { cat "$work/pg.log"; result FAIL "the PostgreSQL cluster did not start"; }
[ -f "$work/pg/skip" ] && result SKIP "$(cat "$work/pg/skip")"
export ODBCINI=$work/pg/odbc.ini ODBCSYSINI=$work/pg
pgport=$(sed -n 's/^port=//p' "$work/pg/cluster")
pgfolder=$(sed -n 's/^folder=//p' "$work/pg/cluster")
psql_query() { # psql_query DATABASE SQL: one value
  local as=()
  [ "$(id -u)" -eq 0 ] && as=(runuser -u postgres --)
  "${as[@]}" psql -X -At -h "$pgfolder" -p "$pgport" -U postgres -d "$1" -c "$2" 2>/dev/null || echo 0
}
psql_count() { # the number of connections to the catalogue now
  psql_query postgres "select count(*) from pg_stat_activity where datname='KVR'"
}
"$build/kvrdb/kvrdb" init >"$work/kvrdb-init.log" 2>&1 || { cat "$work/kvrdb-init.log"; result FAIL "kvrdb init failed"; }

# ---- the server ---------------------------------------------------------------------------------
# Station SCnn of recorder nn; channels A00..A99, B00.. (20 samples per second, packets of 100).
rate=20
history=3600
chan_code() { printf '%s%02d\n' "$(printf "\\$(printf '%03o' $((65 + $1 / 100)))")" $(($1 % 100)); }
station() { printf 'SC%02d' "$1"; }
: >"$work/streams.txt"
for r in $(seq 1 "$recorders"); do
  for c in $(seq 0 $((channels - 1))); do
    echo "$(station "$r") $(chan_code "$c") -- $rate 100" >>"$work/streams.txt"
  done
done
# Every recorder's first connection is dropped a third of the way through its history.
dropAfter=$(( channels * history / 5 / 3 ))
"$build/server/isi-sim" --port 0 --port-file "$work/port" -c "$work/streams.txt" \
  --history $((history + 600)) --heartbeat 2 --log "$work/isi-sim.log" \
  --fault "close:$dropAfter:$recorders" &
simpid=$!
pids+=("$simpid")
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || result FAIL "isi-sim did not start"
port=$(cat "$work/port")
"$build/kvrdb/kvrdb" sitechan load "127.0.0.1:$port" >"$work/sitechan.log" 2>&1 ||
  { cat "$work/sitechan.log"; result FAIL "kvrdb sitechan load failed"; }

# ---- the recorders ------------------------------------------------------------------------------
t0=$(date +%s)
start=$(( (t0 - history) / 5 * 5 ))   # an hour back, on a packet boundary
declare -A recpid
start_recorder() { # start_recorder R
  local r=$1 dir=$work/rec$1
  ( cd "$dir" && WINDIR=$dir exec "$build/rillet/rillet-headless" --headless -C "$dir" ) \
    >>"$dir/stdout.log" 2>>"$dir/stderr.log" &
  recpid[$r]=$!
  pids+=("${recpid[$r]}")
}
for r in $(seq 1 "$recorders"); do
  dir=$work/rec$r
  mkdir -p "$dir/data" "$dir/log"
  printf '[DATA]\nDIR=%s\n' "$dir/data" >"$dir/KVR.ini"
  chans=$(for c in $(seq 0 $((channels - 1))); do chan_code "$c"; done | paste -sd,)
  {
    printf '[SYSTEM]\nSERVER=127.0.0.1\nPORT=%s\nGROUPS=1\n[LOG]\nDIR=%s\n' "$port" "$dir/log"
    printf '[GROUP1]\nSTATION=%s\nSIZEMB=2000\nFILELENGTH(MIN)=10\nCHAN=%s\n' \
      "$(station "$r" | tr 'A-Z' 'a-z')" "$chans"
    for c in $(seq 0 $((channels - 1))); do echo "$(chan_code "$c")=$start"; done
  } >"$dir/rillet.ini"
  start_recorder "$r"
done

# ---- the fetches, the kill and the catalogue restart, while the time runs -----------------------
end=$((t0 + minutes * 60))
fetch_window() { # fetch_window I: overlapping windows inside the history, 20 minutes each
  local i=$1
  echo $((start + 300 + (i - 1) * 300)) $((start + 300 + (i - 1) * 300 + 1200))
}
declare -A fetchpid
mkdir -p "$work/fetched"
for i in $(seq 1 "$fetchers"); do
  mkdir -p "$work/fetch$i"
  read -r b e < <(fetch_window "$i")
  streams=()
  for r in $(seq 1 $(( recorders < 2 ? recorders : 2 ))); do
    for c in $(seq 0 $(( (channels < 5 ? channels : 5) - 1 ))); do streams+=("$(station "$r").$(chan_code "$c")"); done
  done
  ( cd "$work/fetch$i" && exec "$build/gleaner/gleaner" fetch --server "127.0.0.1:$port" \
      --begin "$b" --end "$e" --data-dir "$work/fetched" "${streams[@]}" ) \
    >"$work/fetch$i.out" 2>"$work/fetch$i.err" &
  fetchpid[$i]=$!
  pids+=("${fetchpid[$i]}")
done

maxconn=0 killed=0 pgrestarted=0 cpubefore=0
killAt=$((t0 + minutes * 60 / 3)) pgAt=$((t0 + minutes * 60 / 2))
while [ "$(date +%s)" -lt "$end" ]; do
  sleep 2
  n=$(psql_count); [ "${n:-0}" -gt "$maxconn" ] && maxconn=$n
  if [ $killed -eq 0 ] && [ "$(date +%s)" -ge "$killAt" ]; then
    cpubefore=$(awk -v t="$(getconf CLK_TCK)" '{printf "%.2f", ($14 + $15) / t}' "/proc/${recpid[1]}/stat" 2>/dev/null || echo 0)
    kill -KILL "${recpid[1]}" 2>/dev/null; wait "${recpid[1]}" 2>/dev/null
    start_recorder 1
    killed=1
  fi
  if [ $pgrestarted -eq 0 ] && [ "$(date +%s)" -ge "$pgAt" ]; then
    "$root/scripts/pg-cluster.sh" restart "$work/pg" 3 >>"$work/pg.log" 2>&1 ||
      result FAIL "the catalogue server did not come back"
    pgrestarted=1
  fi
done

# ---- figures, then the orderly stop -------------------------------------------------------------
ticks=$(getconf CLK_TCK)
declare -A reccpu recrss
for r in $(seq 1 "$recorders"); do
  p=${recpid[$r]}
  reccpu[$r]=$(awk -v t="$ticks" '{printf "%.2f", ($14 + $15) / t}' "/proc/$p/stat" 2>/dev/null || echo 0)
  [ "$r" -eq 1 ] && reccpu[1]=$(echo "${reccpu[1]} $cpubefore" | awk '{printf "%.2f", $1 + $2}')
  recrss[$r]=$(awk '/VmHWM/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)
done
simrss=$(awk '/VmHWM/ {print $2}' "/proc/$simpid/status" 2>/dev/null || echo 0)
for r in $(seq 1 "$recorders"); do kill -TERM "${recpid[$r]}" 2>/dev/null; done
stopfail=0
for r in $(seq 1 "$recorders"); do wait "${recpid[$r]}" || stopfail=$((stopfail + 1)); done
fetchfail=0
for i in $(seq 1 "$fetchers"); do
  wait "${fetchpid[$i]}"; rc=$?
  [ $rc -eq 0 ] || { fetchfail=$((fetchfail + 1)); echo "fetch $i exited $rc:"; tail -n 5 "$work/fetch$i.err"; }
done
kill -TERM "$simpid" 2>/dev/null; wait "$simpid" 2>/dev/null
elapsed=$(( $(date +%s) - t0 ))

# ---- checks ----------------------------------------------------------------------------------------
faults=()
declare -A recsamples
[ $stopfail -eq 0 ] || faults+=("$stopfail recorders did not stop cleanly")
[ $fetchfail -eq 0 ] || faults+=("$fetchfail fetches failed")
total=0
for r in $(seq 1 "$recorders"); do
  sta=$(station "$r" | tr 'A-Z' 'a-z')
  out=$("$build/tools/sim-verify" --data-dir "$work/rec$r/data" --sta "$sta" --holes-after "$start")
  echo "recorder $r: $(echo "$out" | tail -n 1)"
  grep -q '^VERIFY OK' <<<"$out" || { faults+=("recorder $r's files"); echo "$out" | head -n 10; }
  samples=$(echo "$out" | tail -n 1 | sed -n 's/.*samples=\([0-9]*\).*/\1/p')
  recsamples[$r]=${samples:-0}
  total=$((total + ${samples:-0}))
done
# Concurrent fetches of overlapping windows each store their whole window (none sees what the
# others are still writing), so their files may overlap by up to a window; no more.
out=$("$build/tools/sim-verify" --data-dir "$work/fetched" --creater Gleaner --allow-repeat 1200)
echo "fetches: $(echo "$out" | tail -n 1)"
grep -q '^VERIFY OK' <<<"$out" || { faults+=("the fetched files"); echo "$out" | head -n 10; }
for dir in "$work"/rec*/data "$work"/fetched; do
  if ! "$build/kvrdb/kvrdb" check --data-dir "$dir" >"$work/check.log" 2>&1; then
    faults+=("kvrdb check of ${dir#"$work"/}")
    head -n 5 "$work/check.log"
  fi
done
# Every statement the programs run on FILELIST finds its rows through an index, however large the
# table grows: with sequential scans priced out, a plan that still scans the table has no index.
scans=0
for sql in \
  "delete from filelist where cpath='sc01/x'" \
  "update filelist set tbegin=1,tqty=2 where cpath='sc01/x' and sta='sc01' and ch='A00' and lcode='??'" \
  "select sum(sps*tqty*4+512) as DLSize from filelist where creater='NRTSDISKLOOP' and tqty>0. and sta='sc01'" \
  "select cpath,sps,tqty from filelist where creater='NRTSDISKLOOP' and sta='sc01'  order by tbegin" \
  "select cpath from FILELIST where sta='sc01' and ch='A00' and lcode='??' and creater='NRTSDISKLOOP' order by TBEGIN desc,CPATH desc limit 1" \
  "select cpath from FILELIST where STA='SC01' and upper(CH)=upper('A00') and upper(LCODE)=upper('??') and CREATER='Gleaner'"; do
  plan=$(psql_query KVR "set enable_seqscan=off; explain $sql")
  case "$plan" in
    *Index*) ;;
    *) scans=$((scans + 1)); echo "scans the whole FILELIST: $sql"; echo "$plan" ;;
  esac
done
[ $scans -eq 0 ] || faults+=("$scans statements scan the whole FILELIST")
# Each recorder logs its catalogue statement times at an orderly stop: "catalogue statements N,
# median X ms, 99th percentile Y ms, retried R, failed F" (of its last life, for the one restarted).
declare -A stmtline
retried=0 failedst=0
for r in $(seq 1 "$recorders"); do
  line=$(cat "$work/rec$r"/log/*.log 2>/dev/null | grep -o 'catalogue statements [^#]*' | tail -n 1)
  stmtline[$r]=${line:-no statement times logged}
  read -r rr ff < <(echo "$line" | sed -n 's/.*retried \([0-9]*\), failed \([0-9]*\).*/\1 \2/p')
  retried=$((retried + ${rr:-0})) failedst=$((failedst + ${ff:-0}))
done
errorlines=$(cat "$work"/rec*/log/*.log 2>/dev/null | grep -ci 'error' || true)

echo "figures: recorders=$recorders channels=$channels fetchers=$fetchers seconds=$elapsed"
echo "figures: recorder samples stored=$total, $((total / (elapsed > 0 ? elapsed : 1))) per second"
for r in $(seq 1 "$recorders"); do
  per=$(echo "${reccpu[$r]} ${recsamples[$r]}" | awk '{ if ($2 > 0) printf "%.3f", $1 / $2 * 1e6; else print "-" }')
  echo "figures: recorder $r CPU ${reccpu[$r]} s over the run, $per s per 1e6 samples, peak RSS ${recrss[$r]} kB"
  echo "figures: recorder $r ${stmtline[$r]}"
done
echo "figures: isi-sim peak RSS $simrss kB; catalogue connections at most $maxconn, FILELIST rows $(psql_query KVR 'select count(*) from filelist')"
echo "figures: catalogue statements retried $retried, failed $failedst; recorder log lines naming an error $errorlines"
if [ ${#faults[@]} -eq 0 ]; then
  result OK "recorders=$recorders channels=$channels fetchers=$fetchers samples=$total"
fi
result FAIL "$(IFS=';'; echo "${faults[*]}")"
