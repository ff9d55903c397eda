#!/bin/sh
# What help2man reads of a program: its own --help, with each command's arguments added (CLI11
# lists commands without them) and the sections a manual page has by name, so that the manual
# pages say nothing the programs' help does not, and a new command or option appears by itself.
# Usage: help.sh PROGRAM --help | --version
set -eu
program=$1
shift
[ "$*" = --help ] || exec "$program" "$@"

help=$("$program" --help)
# "Environment variables:" is the ENVIRONMENT section; the "Subcommands:" block is replaced by a
# COMMANDS section, and the footer that starts with "Exit status:" follows it as EXIT STATUS.
printf '%s\n' "$help" | sed -e '/^Subcommands:$/,/^$/d' -e '/^Exit status:/,$d' \
  -e 's/^Environment variables:$/Environment:/'

commands=$(printf '%s\n' "$help" | sed -n '/^Subcommands:$/,/^$/s/^  \([^ ]\{1,\}\).*/\1/p')
if [ -n "$commands" ]; then
  printf '\n*Commands*\n'
  for command in $commands; do
    # A command's help: its description, "Usage: PROGRAM COMMAND ...", then its arguments,
    # indented, under headings, and the program's footer. It becomes a subsection named by the
    # usage (help2man takes a line ending in ":" followed by an indented one for a heading), the
    # description, and each argument but -h,--help, which every command has.
    "$program" "$command" --help | awk '
      NR == 1 { description = $0; next }
      NR == 2 { sub(/^Usage: /, ""); usage = $0; next }
      /^  / && $1 != "-h,--help" { lines = lines $0 "\n"; if ($1 ~ /^-/) options = 1 }
      END {
        if (!options) sub(/ \[OPTIONS\]/, "", usage)
        printf "%s:\n  %s\n\n%s\n", usage, description, lines
      }
    '
  done
fi

printf '%s\n' "$help" | sed -n -e '/^Exit status:/,$p' | sed -e '1s/^Exit status: */\n*Exit status*\n/'
