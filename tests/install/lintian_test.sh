#!/usr/bin/env bash
# lintian_test.sh PACKAGE_DIR
# Runs lintian on the newest waveform-tools .deb in PACKAGE_DIR (what ./run package builds) and
# fails on any error; warnings are printed. Exits 77 (skipped) when lintian is not installed
# (scripts/install-deps.sh package installs it) or no package has been built.
set -euo pipefail
dir=${1:?usage: lintian_test.sh PACKAGE_DIR}
command -v lintian >/dev/null || { echo "lintian is not installed: the package was not checked"; exit 77; }
deb=$(ls -t "$dir"/waveform-tools_*.deb 2>/dev/null | head -n 1 || true)
[ -n "$deb" ] || { echo "no package in $dir: run ./run package first"; exit 77; }
echo "lintian $(basename "$deb")"
# Root is told that running lintian as root is not recommended; that line is no finding.
out=$(lintian --fail-on none "$deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -z "$out" ] || printf '%s\n' "$out"
errors=$(printf '%s\n' "$out" | grep -c '^E: ' || true)
warnings=$(printf '%s\n' "$out" | grep -c '^W: ' || true)
echo "lintian: $errors error(s), $warnings warning(s)"
[ "$errors" -eq 0 ]
