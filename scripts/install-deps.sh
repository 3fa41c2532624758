#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and runs with, when any is missing.
# Runs apt-get as root, or through sudo for an ordinary user.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git help2man
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev fonts-dejavu-core
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql sqlite3 postgresql
  libmseed-dev libmseed-doc libcli11-dev
  clang libclang-rt-14-dev
  # ./run windows: the mingw-w64 cross compilers (posix threads), GoogleTest's sources, wine64;
  # and ./run linux32, the 32-bit build (-m32; qemu-i386 runs its tests where the kernel cannot)
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest wine64
  gcc-multilib g++-multilib qemu-user
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
