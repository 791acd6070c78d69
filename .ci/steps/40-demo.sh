#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The README's demo on the fresh build: it must run to its end and show
# the lookup's output modes and the sign-off.
set -eu
cd "$(dirname "$0")/../.."
out=$(mktemp)
trap 'rm -f "$out"' EXIT
make demo BUILD="${BUILD:-build}" >"$out" 2>&1 || { cat "$out"; exit 1; }
for line in \
  '127.0.0.1:2076           alice@wonderland.example (Alice Liddell)' \
  '                         Phone:  +44 1865 270000' \
  '-p127.0.0.1:2076 -p127.0.0.2:5006' \
  'Welcome to the Kovari demo directory.' \
  '127.0.0.1:5010           mallory@hidden.example (Mallory)' \
  'No users found.' \
  'quorind stopped.'; do
  grep -qxF -- "$line" "$out" || { cat "$out"; echo "demo: missing line: $line"; exit 1; }
done
echo "demo: ok"
