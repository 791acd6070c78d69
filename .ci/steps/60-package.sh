#!/bin/sh
# The two packaging commands of the README work on the tested tree:
# make install into a scratch prefix, make package to a .deb.
set -eu
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
make install PREFIX="$prefix"
test -x "$prefix/sbin/quorind"
test -x "$prefix/bin/quorinq"
# make install strips the programs: no symbol table, no debugging sections.
for program in "$prefix/sbin/quorind" "$prefix/bin/quorinq"; do
  if readelf -S --wide "$program" | grep -Eq ' \.(symtab|debug_[a-z]+) '; then
    echo "make install left $program unstripped"
    exit 1
  fi
done
make package
deb=$(ls build/kovari-directory_*.deb)
contents=$(dpkg-deb -c "$deb")
echo "$contents" | grep -q ' \./usr/sbin/quorind$'
echo "$contents" | grep -q ' \./usr/bin/quorinq$'
echo "package: $deb"
