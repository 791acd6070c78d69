#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Usage: install_files.sh BUILD_DIR EXPECTED_PATH...
# An install into an empty temporary prefix lists exactly the expected
# files (relative to the prefix), the programs executable, the unit naming
# the installed program and environment file, the environment file all
# comments.
set -u
build=$1
shift
# Scratch files in one folder named like those of the C++ tests, so that
# the check of .ci/run for leftover kovari-test-* folders covers it too.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kovari-test-XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM
prefix=$tmp/prefix

if ! out=$(env -u DESTDIR cmake --install "$build" --prefix "$prefix" 2>&1); then
  echo "FAIL: cmake --install failed:"
  echo "$out"
  exit 1
fi
status=0
(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/got"
printf '%s\n' "$@" | LC_ALL=C sort >"$tmp/want"
if ! cmp -s "$tmp/want" "$tmp/got"; then
  echo "FAIL: the installed files differ from the expected ones (- expected, + installed):"
  diff -u "$tmp/want" "$tmp/got" | sed -n 's/^\([-+][^-+]\)/\1/p'
  status=1
fi
for f in "$prefix"/bin/* "$prefix"/sbin/*; do
  [ -e "$f" ] || continue
  [ -x "$f" ] || { echo "FAIL: $f is not executable"; status=1; }
done
unit=$(find "$prefix" -name quorind.service)
default=$(find "$prefix" -path '*/default/quorind')
if [ -n "$unit" ]; then
  for line in "ExecStart=$prefix/sbin/quorind -V -S/var/lib/quorind/sites.state \$QUORIND_OPTIONS" \
              "EnvironmentFile=-$prefix/etc/default/quorind"; do
    grep -qxF -- "$line" "$unit" || { echo "FAIL: $unit lacks the line: $line"; status=1; }
  done
fi
if [ -n "$default" ] && grep -qv '^\(#.*\)\{0,1\}$' "$default"; then
  echo "FAIL: $default sets something; as installed it must be all comments:"
  grep -v '^\(#.*\)\{0,1\}$' "$default"
  status=1
fi
[ $status -eq 0 ] && echo "ok: the install holds exactly:" "$@"
exit $status
