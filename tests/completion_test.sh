#!/usr/bin/env bash
# Loads the bash completion ($1) and checks what it offers for command lines
# completed in a directory holding an image of each kind, a text file and a
# subdirectory, and that it offers the options of the program's --help ($2).
set -u
source "$1"
help_options=$("$2" --help | sed -n 's/^\t\(-[a-zA-Z]\)\?,\? \?\(--[a-z-]*\) .*/\1 \2/p' | tr -s ' ' '\n' | LC_ALL=C sort | xargs)
cd "$(mktemp -d)" && trap 'rm -rf "$PWD"' EXIT
mkdir sub && touch a.iso B.IMG c.Udf notes.txt
while IFS='|' read -r line want; do
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=('')
  [[ $want == /dev/* && ! -b $want ]] && continue
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _volquill
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | xargs)
  [[ $got == "$want" ]] || { echo "'$line': got '$got', want '$want'"; exit 1; }
done <<EOF_CASES
volquill -|$help_options
volquill --v|--verbose --version --vid --vsid
volquill --write-protect |off on
volquill --owner |
volquill --vid X |B.IMG a.iso c.Udf sub
volquill -n |B.IMG a.iso c.Udf sub
volquill -v --uuid |random
volquill -nu r|random
volquill -u 0123456789abcdef -- -|
volquill a.iso |
volquill -nl a.iso |B.IMG a.iso c.Udf sub
volquill --json -- a.iso |B.IMG a.iso c.Udf sub
volquill --label |
volquill --label New |B.IMG a.iso c.Udf sub
volquill a.iso -|
volquill /dev/loop0|/dev/loop0
EOF_CASES
