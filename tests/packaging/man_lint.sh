#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Usage: man_lint.sh groff|mandoc PAGE...
# The pages must render without a single warning and have every section a
# reader looks for.
set -u
tool=$1
shift
status=0
case $tool in
groff) command -v groff >/dev/null || { echo "SKIP: groff is not installed"; exit 77; } ;;
mandoc) command -v mandoc >/dev/null || { echo "SKIP: mandoc is not installed"; exit 77; } ;;
*) echo "unknown tool $tool"; exit 2 ;;
esac
for page in "$@"; do
  if [ "$tool" = groff ]; then
    out=$(groff -man -ww -z "$page" 2>&1)
  else
    out=$(mandoc -T lint "$page" 2>&1)
  fi
  rc=$?
  if [ $rc -ne 0 ] || [ -n "$out" ]; then
    echo "FAIL: $tool on $page (status $rc):"
    echo "$out"
    status=1
  fi
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT FILES "EXIT STATUS" \
                 EXAMPLES SECURITY "SEE ALSO"; do
    if ! grep -qx "\.SH \"*$section\"*" "$page"; then
      echo "FAIL: $page has no section $section"
      status=1
    fi
  done
done
[ $status -eq 0 ] && echo "ok: $tool finds nothing to complain about in $*"
exit $status
