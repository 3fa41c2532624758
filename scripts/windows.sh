#!/usr/bin/env bash
# Cross-builds the protocol library and the headless programs for Windows with mingw-w64 (the
# project's toolchain files, runtime linked statically), both widths, then runs the 64-bit tests
# under wine64 and shows the programs' --help. 32-bit programs are built and linked only: Debian's
# wine64 runs 64-bit Windows programs alone.
#   scripts/windows.sh ROOT
set -euo pipefail
root=${1:?usage: windows.sh ROOT}
cd "$root"
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# The programs a Windows build makes (Qt and libmseed are not there: no Tremlive, no dialogs, no
# --mseed); Rillet without its window.
programs=(isicat/isicat kvrdb/kvrdb gleaner/gleaner server/isi-sim tools/iacp-loopback rillet/rillet
  rillet/rillet-headless)
optional=()

wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64

for arch in i686 x86_64; do
  if [ "$arch" = x86_64 ]; then dir=build-win64 tests=ON; else dir=build-win32 tests=OFF; fi
  echo "== Windows $arch: configuring $dir"
  mkdir -p "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKVR_TESTS=$tests -DKVR_BENCH=OFF >"$dir/configure.log"
  grep -E "skipped|not found" "$dir/configure.log" | sed 's/^-- /   /' || true
  cmake --build "$dir" -j "$jobs"
  for p in "${programs[@]}" ${optional[@]+"${optional[@]}"}; do
    exe="$dir/$p.exe"
    if [ ! -f "$exe" ]; then
      [[ " ${optional[*]} " == *" $p "* ]] && { echo "   $exe: not built here"; continue; }
      echo "missing: $exe" >&2
      exit 1
    fi
    # Only the system's own DLLs: the compiler's runtime is linked in.
    dlls=$("$arch-w64-mingw32-objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
    echo "   $exe: $(stat -c %s "$exe") bytes; DLLs: $dlls"
    if echo "$dlls" | grep -qiE "libstdc|libgcc|libwinpthread"; then
      echo "$exe needs the compiler's DLLs" >&2
      exit 1
    fi
  done
done

if [ -z "$wine" ]; then
  echo "wine64 is not installed: the Windows tests were built, not run" >&2
  exit 1
fi
export WINEDEBUG=-all WINEPREFIX="$root/build-win64/wineprefix"
# Starts wine's server once; later programs attach to it.
"$wine" cmd /c exit >/dev/null 2>&1 || true
for p in isicat/isicat kvrdb/kvrdb rillet/rillet; do
  exe=build-win64/$p.exe
  [ -f "$exe" ] || continue
  echo "== wine64 $p.exe --help"
  "$wine" "$exe" --help
done
echo "== the x86-64 tests under wine64"
ctest --test-dir build-win64 --output-on-failure --timeout 600 -j "$jobs" | tee build-win64/ctest.log
# The cases run inside the suites, and those skipped with their reasons.
log=build-win64/Testing/Temporary/LastTest.log
awk '/^\[  PASSED  \] [0-9]+ test/ { p += $4 } /^\[  SKIPPED \] [0-9]+ test/ { s += $4 }
     END { print "cases passed: " p ", skipped: " s + 0 }' "$log"
grep -h -A1 ": Skipped$" "$log" | grep -v "^--$" || true
