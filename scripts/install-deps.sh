#!/usr/bin/env bash
# Installs the Debian 12 packages one command of ./run needs, when any is missing:
#   scripts/install-deps.sh [demo|build|test|bench|package|fuzz|windows|linux32|all]...
# (default: build). Every command builds, so each set holds the build set; the other sets add only
# what that command runs. --list prints the packages instead of installing them.
# Runs apt-get as root, or through sudo for an ordinary user.
set -euo pipefail

# Compilers, build tools and the libraries the programs link. GoogleTest and Google Benchmark are
# here too: the build folder is configured with the tests and benchmarks even when only the
# programs are built.
build=(
  build-essential cmake ninja-build pkg-config git help2man
  qt6-base-dev libcli11-dev unixodbc unixodbc-dev libsqliteodbc libmseed-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
# What the demonstration runs: the sqlite3 shell, the miniSEED record of libmseed-doc, the font of
# Tremlive's pictures.
demo=(sqlite3 libmseed-doc fonts-dejavu-core)
# The catalogue tests on a throwaway PostgreSQL cluster (skipped, with the reason, without it).
postgres=(postgresql odbc-postgresql)
# promtool, which checks the recorder's metrics file (skipped, with the reason, without it).
metrics=(prometheus)
# The package check.
package=(lintian)
fuzz=(clang libclang-rt-14-dev)
# The mingw-w64 cross compilers (posix threads), GoogleTest's sources, wine64 for the tests.
windows=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest wine64)
# The 32-bit build; qemu-i386 runs its tests where the kernel cannot.
linux32=(gcc-multilib g++-multilib qemu-user)

list=0
commands=()
for a in "$@"; do
  case "$a" in
    --list) list=1 ;;
    *) commands+=("$a") ;;
  esac
done
[ ${#commands[@]} -gt 0 ] || commands=(build)

packages=("${build[@]}")
for c in "${commands[@]}"; do
  case "$c" in
    build | bench) ;;
    demo) packages+=("${demo[@]}") ;;
    test) packages+=("${demo[@]}" "${postgres[@]}" "${metrics[@]}") ;;
    package) packages+=("${package[@]}") ;;
    fuzz) packages+=("${fuzz[@]}") ;;
    windows) packages+=("${windows[@]}") ;;
    linux32) packages+=("${linux32[@]}") ;;
    all)
      packages+=("${demo[@]}" "${postgres[@]}" "${metrics[@]}" "${package[@]}" "${fuzz[@]}" "${windows[@]}"
        "${linux32[@]}")
      ;;
    *) echo "install-deps.sh: unknown command: $c" >&2; exit 2 ;;
  esac
done

if [ $list -eq 1 ]; then
  printf '%s\n' "${packages[@]}" | sort -u
  exit 0
fi

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
