#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Usage: man_options.sh PROGRAM PAGE
# Every option letter of the program's usage text (PROGRAM -U) must have an
# entry in the page's OPTIONS section and appear in its SYNOPSIS; every
# entry must be an option of the usage text (or -?, which the usage text
# leaves out).
set -u
program=$1
page=$2

usage=$("$program" -U 2>&1 >/dev/null)
rc=$?
if [ $rc -ne 0 ]; then
  echo "FAIL: $program -U ended with status $rc"
  exit 1
fi
# Option lines of the usage text: blank, tab, two blanks, '-', the letter.
usage_letters=$(printf '%s\n' "$usage" | sed -n 's/^ 	  -\([A-Za-z?]\).*/\1/p' | sort -u)
if [ -z "$usage_letters" ]; then
  echo "FAIL: no option lines in the usage text of $program:"
  printf '%s\n' "$usage"
  exit 1
fi

# The letters named on the tag line of each .TP entry under OPTIONS.
section_tags() {
  awk -v want="$1" '
    /^\.SH / { sec = $0; sub(/^\.SH +"?/, "", sec); sub(/"$/, "", sec) }
    sec == want && prev == ".TP" { print }
    { prev = $0 }' "$page"
}
# Long options (--help, --version) are not option letters.
letters_of() { sed 's/\\-\\-[A-Za-z-]*//g' | grep -o '\\-[A-Za-z?]' | cut -c3 | sort -u; }
documented=$(section_tags OPTIONS | letters_of)
synopsis=$(awk '/^\.SH /{ on = ($0 == ".SH SYNOPSIS") ; next } on' "$page" | letters_of)

status=0
for letter in $usage_letters; do
  if ! printf '%s\n' "$documented" | grep -qx -- "$letter"; then
    echo "FAIL: -$letter is in the usage text of $program but has no entry under OPTIONS in $page"
    status=1
  fi
  if ! printf '%s\n' "$synopsis" | grep -qx -- "$letter"; then
    echo "FAIL: -$letter is in the usage text of $program but not in the SYNOPSIS of $page"
    status=1
  fi
done
for letter in $documented; do
  [ "$letter" = "?" ] && continue
  if ! printf '%s\n' "$usage_letters" | grep -qx -- "$letter"; then
    echo "FAIL: $page documents -$letter, which the usage text of $program does not offer"
    status=1
  fi
done
[ $status -eq 0 ] && echo "ok: options" $usage_letters "of $program are all documented in $page"
exit $status
