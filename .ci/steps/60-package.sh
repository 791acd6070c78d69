#!/bin/sh
# The two packaging commands of the README work on the tested tree:
# make install into a scratch prefix, make package to a .deb.
set -eu
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
make install PREFIX="$prefix"
test -x "$prefix/sbin/quorind"
test -x "$prefix/bin/quorinq"
make package
deb=$(ls build/kovari-directory_*.deb)
contents=$(dpkg-deb -c "$deb")
echo "$contents" | grep -q ' \./usr/sbin/quorind$'
echo "$contents" | grep -q ' \./usr/bin/quorinq$'
echo "package: $deb"
