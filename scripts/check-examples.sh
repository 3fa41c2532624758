#!/usr/bin/env bash
# Runs the examples of the documentation as a reader would type them, against a built tree:
#   - the README's ```sh blocks, in their order, as one shell session (later blocks use what
#     earlier ones set up); the README's other blocks are shown, not run;
#   - the EXAMPLES section of each manual page (man/NAME.h2m), each page in a session of its own.
# Every session runs under bash -e in an empty home folder of its own, which is also its current
# folder, with the programs of BUILD_DIR first on PATH, a runtime folder of its own and no WINDIR,
# ODBCINI or display; what an example leaves running in the background is stopped when its
# session ends.
#
#   scripts/check-examples.sh BUILD_DIR [README|MANPAGE]...     (default: the README and every page)
#
# Where it can, it runs in a network of its own (unshare), so the examples' ports never meet other
# programs' and a port the system picks lies between 20000 and 59999, which Tremlive's settings
# take. Exit 0 when every session succeeded, else 1 with the failing session's output.
set -euo pipefail
build=$(cd "${1:?usage: check-examples.sh BUILD_DIR [README|MANPAGE]...}" && pwd)
shift
root=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${CHECK_EXAMPLES_NETWORK:-}" ] && command -v ip >/dev/null; then
  for how in "--net" "--net --map-root-user"; do
    # shellcheck disable=SC2086  # the options, split on purpose
    if unshare $how true 2>/dev/null; then
      exec unshare $how env CHECK_EXAMPLES_NETWORK=private "$0" "$build" "$@"
    fi
  done
fi
if [ -z "${CHECK_EXAMPLES_NETWORK:-}" ]; then
  echo "check-examples: no network of its own here; ports come from the system's whole range"
  export CHECK_EXAMPLES_NETWORK=shared
fi
if [ "$CHECK_EXAMPLES_NETWORK" = private ]; then
  ip link set lo up 2>/dev/null || { echo "check-examples: cannot bring up loopback" >&2; exit 1; }
  echo "20000 59999" >/proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
fi

path=$PATH
for d in server isicat kvrdb gleaner rillet tremlive tools; do path=$build/$d:$path; done
scratch=$(mktemp -d /tmp/check-examples.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# The shell lines of the README's ```sh blocks.
readme_script() {
  awk '/^```sh$/ { on = 1; next } /^```/ { on = 0 } on' "$root/README.md"
}

# The shell lines of a manual page's EXAMPLES section: its .nf ... .fi blocks, roff escapes undone.
manpage_script() {
  awk '/^\[/ { section = $0 } section == "[EXAMPLES]" && /^\.fi/ { on = 0 }
       section == "[EXAMPLES]" && on { print }
       section == "[EXAMPLES]" && /^\.nf/ { on = 1 }' "$1" |
    sed -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/^\\&//'
}

# run NAME: runs the script on standard input as session NAME; prints its output when it fails.
run() {
  local name=$1 home=$scratch/$1 started=$SECONDS status=0
  mkdir -p "$home"
  { cat; printf '\nkill $(jobs -p) 2>/dev/null || true\nwait\n'; } >"$home.sh"
  mkdir -p -m 700 "$home.runtime"  # a session's runtime folder, which Qt programs want
  (cd "$home" && env -i HOME="$home" PATH="$path" LANG=C.UTF-8 TMPDIR="$scratch" \
    XDG_RUNTIME_DIR="$home.runtime" bash -e "$home.sh") >"$home.log" 2>&1 || status=$?
  if [ $status -eq 0 ]; then
    echo "$name: ok ($((SECONDS - started)) s)"
  else
    echo "$name: FAILED with status $status after $((SECONDS - started)) s; its output:"
    sed 's/^/  | /' "$home.log"
    failed=1
  fi
}

failed=0
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  names=(README)
  for page in "$root"/man/*.h2m; do names+=("$(basename "$page" .h2m)"); done
fi
for name in "${names[@]}"; do
  if [ "$name" = README ]; then
    readme_script | run README
  else
    [ -f "$root/man/$name.h2m" ] || { echo "no manual page $name" >&2; exit 2; }
    manpage_script "$root/man/$name.h2m" | run "$name.1"
  fi
done
exit $failed
