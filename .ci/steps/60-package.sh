#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The release commands of the README work on the tested tree: make install
# into a scratch prefix, make package to a .deb named with the project's
# version that Debian's package checker accepts without an error or a
# warning, and that installs on this machine, runs, and purges without a
# trace.
set -eu
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
prefix=$(mktemp -d)
installed=""
cleanup() {
  rm -rf "$prefix"
  if [ -n "$installed" ]; then dpkg --purge kovari-directory >/dev/null || true; fi
}
trap cleanup EXIT
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
deb=build/kovari-directory_${version}_$(dpkg --print-architecture).deb
test -f "$deb" || { echo "make package made no $deb:"; ls build/*.deb; exit 1; }
contents=$(dpkg-deb -c "$deb")
echo "$contents" | grep -q ' \./usr/sbin/quorind$'
echo "$contents" | grep -q ' \./usr/bin/quorinq$'
echo "package: $deb"

# lintian shows its informational and pedantic tags too; only errors (E:)
# and warnings (W:) fail the step.
rc=0
report=$(lintian --display-info --pedantic --fail-on error,warning "$deb" 2>&1) || rc=$?
printf '%s\n' "$report" | grep -v '^running with root privileges' || true
if [ "$rc" -ne 0 ] || printf '%s\n' "$report" | grep -q '^[EW]: '; then
  echo "lintian: errors or warnings on $deb (status $rc)"
  exit 1
fi
echo "lintian: no errors, no warnings"

# A real install, as a user would do it; the machine must not have the
# package already, since the step purges it again.
if dpkg-query -W -f='${db:Status-Abbrev}' kovari-directory 2>/dev/null | grep -q '^.i'; then
  echo "kovari-directory is installed on this machine already; this step installs and purges it, so it stops"
  exit 1
fi
installed=yes
dpkg -i "$deb"
for program in /usr/sbin/quorind /usr/bin/quorinq; do
  got=$("$program" --version)
  [ "$got" = "$(basename "$program") $version" ] || { echo "$program --version says '$got', not version $version"; exit 1; }
done
newest=$(zcat /usr/share/doc/kovari-directory/changelog.gz | head -n 1)
case $newest in
"kovari-directory ($version) "*) ;;
*) echo "the changelog's newest entry is not for $version: $newest"; exit 1 ;;
esac
files=$(dpkg-query -L kovari-directory)
dpkg --purge kovari-directory
installed=""
if dpkg-query -W -f='${db:Status-Abbrev}' kovari-directory 2>/dev/null | grep -q '^.[^n]'; then
  echo "dpkg --purge left kovari-directory known to dpkg"
  exit 1
fi
# Every file of the package gone, its documentation folder and the
# service's state directory with it.
left=$(
  for path in $files; do [ -d "$path" ] || [ ! -e "$path" ] || echo "$path"; done
  for path in /usr/share/doc/kovari-directory /var/lib/quorind /var/lib/private/quorind; do
    [ ! -e "$path" ] || echo "$path"
  done
)
if [ -n "$left" ]; then
  echo "dpkg --purge left these behind:"
  echo "$left"
  exit 1
fi
echo "package: installs, runs as version $version, purges without a trace"
