#!/usr/bin/env bash
# install_test.sh BUILD CONSUMER SCRATCH
# Installs BUILD into SCRATCH/prefix, builds CONSUMER against it with find_package and with
# pkg-config, runs both programs (the shared one with the prefix's library path), checks the
# files an operator looks for, and verifies the service unit where systemd-analyze exists.
set -euo pipefail
build=$1 consumer=$2 scratch=$3
rm -rf "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >"$scratch.log" 2>&1 || { cat "$scratch.log"; exit 1; }
libdir=$(find "$prefix" -name 'libisiclient.so' -printf '%h\n' | head -1)
[ -n "$libdir" ] || { echo "no libisiclient.so installed"; exit 1; }
for f in "$libdir/libisiclient.a" "$libdir/pkgconfig/isiclient.pc" \
    "$libdir/cmake/isiclient/isiclientConfig.cmake" "$prefix/include/isiclient/isi/isi.h" \
    "$prefix/share/doc/waveform-tools/examples/rillet.ini" "$prefix/share/doc/waveform-tools/copyright"; do
  [ -e "$f" ] || { echo "missing after install: $f"; exit 1; }
done
[ -e "$prefix/share/doc/waveform-tools/changelog.gz" ] || [ -e "$prefix/share/doc/waveform-tools/changelog" ] ||
  { echo "missing after install: share/doc/waveform-tools/changelog.gz"; exit 1; }
for p in rillet rillet-headless gleaner tremlive isicat kvrdb isi-sim; do
  [ -x "$prefix/bin/$p" ] || { echo "missing after install: bin/$p"; exit 1; }
  [ -f "$prefix/share/man/man1/$p.1.gz" ] || [ -f "$prefix/share/man/man1/$p.1" ] ||
    { echo "missing after install: share/man/man1/$p.1.gz"; exit 1; }
done
# A page renders, with the sections help2man cannot take from --help; the window-less program's
# page leads to it.
if command -v man >/dev/null; then
  page=$(LC_ALL=C MANWIDTH=100 MANPATH="$prefix/share/man" man rillet-headless 2>/dev/null)
  for section in NAME SYNOPSIS FILES ENVIRONMENT 'EXIT STATUS'; do
    printf '%s\n' "$page" | grep -q "^$section" || { echo "rillet.1 has no $section section"; exit 1; }
  done
  printf '%s\n' "$page" | grep -q -- '--status' || { echo "rillet.1 does not show --status"; exit 1; }
  # A subcommand's options are on its program's page.
  for check in "gleaner:gleaner fetch:--on-error" "kvrdb:kvrdb dsn postgres:--password-stdin"; do
    IFS=: read -r program command option <<<"$check"
    page=$(LC_ALL=C MANWIDTH=100 MANPATH="$prefix/share/man" man "$program" 2>/dev/null)
    printf '%s\n' "$page" | grep -q "^   $command" && printf '%s\n' "$page" | grep -q -- "$option" ||
      { echo "$program.1 does not show $command with $option"; exit 1; }
  done
fi

# A library of a sanitizer build needs its run-time loaded first: the consumer is built the same way.
sanitize=()
if ldd "$libdir/libisiclient.so" | grep -q libasan; then
  sanitize=(-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined)
fi
cmake -S "$consumer" -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF ${sanitize[@]+"${sanitize[@]}"} >"$scratch.log" 2>&1 ||
  { cat "$scratch.log"; exit 1; }
PKG_CONFIG_PATH=$libdir/pkgconfig cmake --build "$scratch/consumer" >"$scratch.log" 2>&1 ||
  { cat "$scratch.log"; exit 1; }
LD_LIBRARY_PATH=$libdir "$scratch/consumer/consumer_cmake"
LD_LIBRARY_PATH=$libdir "$scratch/consumer/consumer_pkgconfig"
# The shared library the consumer loads is the installed one, not the build folder's.
loaded=$(LD_LIBRARY_PATH=$libdir ldd "$scratch/consumer/consumer_cmake" | grep libisiclient || true)
case "$loaded" in
  *"$libdir/libisiclient.so"*) ;;
  *) echo "consumer does not load the installed library: $loaded"; exit 1 ;;
esac

unit=$prefix/lib/systemd/system/rillet@.service
[ -f "$unit" ] || { echo "missing after install: $unit"; exit 1; }
grep -q '^ExecStart=[^ ]*/rillet-headless ' "$unit" || { echo "the unit does not run rillet-headless"; exit 1; }
if command -v systemd-analyze >/dev/null; then
  # The unit names the configured prefix; point it at the scratch one so that its program exists.
  sed "s#^ExecStart=[^ ]*#ExecStart=$prefix/bin/rillet-headless#" "$unit" >"$scratch/rillet@.service"
  cp "$scratch/rillet@.service" "$scratch/rillet@test.service"
  out=$(systemd-analyze verify --man=no "$scratch/rillet@test.service" 2>&1 || true)
  # Users and folders of the target host are not this one's; anything else is a fault of the unit.
  bad=$(printf '%s\n' "$out" | grep -v -e '^$' -e 'rillet@test.service: Failed to' -e 'Unknown user' \
    -e 'Unknown group' -e 'Cannot determine' -e 'is not a valid user' || true)
  if [ -n "$bad" ]; then echo "systemd-analyze verify:"; echo "$bad"; exit 1; fi
  echo "systemd-analyze verify: unit accepted"
else
  echo "systemd-analyze not present: the unit was not verified"
fi
