#!/usr/bin/env bash
# A 32-bit Linux build (gcc-multilib, -m32) of the protocol library, the stand-in server and their
# tests, which then run, through qemu-i386 where the kernel cannot start 32-bit programs itself.
# Debian offers no 32-bit unixODBC, Qt or libmseed here without a second dpkg architecture, so
# the catalogue, the programs that need it and the windows are not part of this build.
#   scripts/linux32.sh ROOT
set -euo pipefail
root=${1:?usage: linux32.sh ROOT}
cd "$root"
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
dir=build-m32
targets=(platform_tests util_tests logio_tests iacp_tests isi_unit_tests isi_loopback_tests
  server_unit_tests server_e2e_tests iacp-loopback)

emulator=()
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'int main(void) { return 0; }' >"$probe/probe.c"
gcc -m32 "$probe/probe.c" -o "$probe/probe"
if ! "$probe/probe" 2>/dev/null; then
  command -v qemu-i386 >/dev/null || { echo "this kernel runs no 32-bit programs; install qemu-user" >&2; exit 1; }
  emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v qemu-i386)")
  echo "32-bit programs run through qemu-i386 here"
fi
CFLAGS=-m32 CXXFLAGS=-m32 LDFLAGS=-m32 cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVR_BENCH=OFF "${emulator[@]}" >/dev/null
cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 \
  -L 'platform|util|logio|iacp|isi|server'
