#!/bin/sh
# commands.sh HELP2MAN PROGRAM NAME INCLUDE OUTPUT
# Writes OUTPUT, a help2man include file: INCLUDE (the page's hand-written sections) followed by a
# [COMMANDS] section with, for every command of PROGRAM that takes no further subcommand ("fetch",
# "dsn postgres"), its synopsis, what it does and each of its arguments and options, as help2man
# renders that command's --help. Commands are found in the "Subcommands:" lists of the --help
# texts at every depth, so a new command or option reaches the page without an edit here. NAME
# is the program's name as the user types it. A program without subcommands gets INCLUDE alone.
set -eu
help2man=$1 program=$2 name=$3 include=$4 output=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The names listed under "Subcommands:" in the --help of the command given by the arguments.
subcommands() {
  "$program" "$@" --help | awk '/^Subcommands:/ { on = 1; next }
                                 on && /^  [^ ]/ { print $1; next }
                                 on && !/^   / { on = 0 }'
}

# The roff of one command (its words as arguments): the synopsis and description help2man makes
# of its --help, then its arguments and options as tagged paragraphs, without the help option
# every command has and without help2man's sub-headings.
command_roff() {
  "$help2man" --no-info --help-option="$* --help" --version-option=--version "$program" \
    >"$work/page"
  printf '.SS "%s %s"\n' "$name" "$*"
  awk '
    /^\.SH SYNOPSIS/    { part = "synopsis"; next }
    /^\.SH DESCRIPTION/ { part = "text"; print ".PP"; next }
    /^\.SH OPTIONS/ || /^\.SS "(Positionals|Options):"/ { part = "text"; next }
    /^\.S[HS]/          { part = ""; next }
    part == "synopsis"  { print; if (!/^\.B/) print ".br"; next }
    part != "text"      { next }
    /^\.TP/             { held = $0; next }
    held != "" && /\\-\\-help/ { held = ""; skip = 1; next }
    held != ""          { print held; held = "" }
    skip                { skip = 0; next }
    { print }
  ' "$work/page"
}

# Every command without subcommands under the command given by the arguments, one per line.
leaves() {
  subs=$(subcommands "$@")
  if [ -z "$subs" ]; then
    [ $# -gt 0 ] && echo "$*"
    return 0
  fi
  for sub in $subs; do leaves "$@" "$sub"; done
}

cp "$include" "$work/include"
commands=$(leaves)
if [ -n "$commands" ]; then
  printf '\n[COMMANDS]\n' >>"$work/include"
  echo "$commands" | while read -r words; do
    # shellcheck disable=SC2086  # the command's words, split on purpose
    command_roff $words >>"$work/include"
  done
fi
mv "$work/include" "$output"
