#!/bin/sh
# Every program's command line: "--version" prints "NAME VERSION" and exits 0, and an unknown
# option prints the usage and exits 2. Run without a display, as a service or a package's
# post-install check would run them.
# usage: command_lines_test.sh VERSION PROGRAM... (each PROGRAM a path; gleaner's usage error is
# also checked after "fetch")
version=$1
shift
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# check NAME COMMAND...: COMMAND --version and COMMAND --no-such-option
check() {
    name=$1
    shift
    checkVersion "$name" "$@"
    checkUsage "$name" "$@"
}

checkVersion() {
    name=$1
    shift
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" --version >"$out/stdout" 2>"$out/stderr"
    rc=$?
    [ "$rc" -eq 0 ] || fail "$name --version exited $rc: $(cat "$out/stderr")"
    [ "$(cat "$out/stdout")" = "$name $version" ] ||
        fail "$name --version printed \"$(cat "$out/stdout")\", not \"$name $version\""
}

checkUsage() {
    name=$1
    shift
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" --no-such-option >"$out/stdout" 2>"$out/stderr"
    rc=$?
    [ "$rc" -eq 2 ] || fail "$name --no-such-option exited $rc, not 2"
    grep -qi 'usage' "$out/stderr" || fail "$name --no-such-option printed no usage"
    [ -s "$out/stdout" ] && fail "$name --no-such-option wrote to standard output"
}

for program in "$@"; do
    name=$(basename "$program")
    check "$name" "$program"
    if [ "$name" = gleaner ]; then
        checkUsage "gleaner fetch" "$program" fetch
        checkVersion gleaner "$program" fetch  # the subcommand answers as the program
    fi
done
# A missing value is a usage error too.
for program in "$@"; do
    case $(basename "$program") in
    isicat)
        "$program" cnf --traffic-log >/dev/null 2>&1
        rc=$?
        [ "$rc" -eq 2 ] || fail "isicat cnf --traffic-log (no value) exited $rc, not 2"
        ;;
    tremlive)
        env -u DISPLAY -u WAYLAND_DISPLAY "$program" --seconds >/dev/null 2>&1
        rc=$?
        [ "$rc" -eq 2 ] || fail "tremlive --seconds (no value) exited $rc, not 2"
        ;;
    esac
done
[ "$failures" -eq 0 ] && echo "all $# programs answer --version and exit 2 on a usage error"
[ "$failures" -eq 0 ]
