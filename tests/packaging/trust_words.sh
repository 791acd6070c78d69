#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Usage: trust_words.sh README QUORIND_PAGE QUORINQ_PAGE
# The trust model is told in the same words in three places: the README's
# "Who may change a site", and the first paragraph of SECURITY in both
# manual pages. Compares the three as plain text, one line each.
set -u
readme=$1
shift

# The README paragraph, without its code marks.
from_readme() {
  awk '/^## Who may change a site$/ { on = 1; next }
       on && /^$/ && text != "" { exit }
       on && !/^$/ { text = text (text == "" ? "" : " ") $0 }
       END { print text }' "$1" | sed 's/`//g'
}
# The page's paragraph up to its first break or "See": macros reduced to
# their words, \- to -.
from_page() {
  awk '/^\.SH SECURITY$/ { on = 1; next }
       on && (/^\.(PP|SH|IP)/ || /^See$/) { exit }
       on { sub(/^\.BR? /, ""); text = text (text == "" ? "" : " ") $0 }
       END { print text }' "$1" | sed 's/\\-/-/g'
}

want=$(from_readme "$readme")
if [ -z "$want" ]; then
  echo "FAIL: no paragraph under \"## Who may change a site\" in $readme"
  exit 1
fi
status=0
for page in "$@"; do
  got=$(from_page "$page")
  if [ "$got" != "$want" ]; then
    echo "FAIL: the first paragraph of SECURITY in $page differs from the README's:"
    echo "  README: $want"
    echo "  page:   $got"
    status=1
  fi
done
[ $status -eq 0 ] && echo "ok: the README and $* tell the trust model in the same words"
exit $status
