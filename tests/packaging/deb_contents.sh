#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Usage: deb_contents.sh BUILD_DIR EXPECTED_PATH...
# CPack builds the Debian package from the built tree (as make package
# does); dpkg-deb shows that it holds exactly the expected files under /usr
# (the environment file under /etc), with the control fields, the conffile
# and a unit that names /usr/sbin/quorind, the programs stripped; dpkg
# installs and purges it.
set -u
build=$1
shift
if ! command -v dpkg-deb >/dev/null; then
  echo "SKIP: dpkg-deb is not installed"
  exit 77
fi
# Scratch files in one folder named like those of the C++ tests, so that
# the check of .ci/run for leftover kovari-test-* folders covers it too.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kovari-test-XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM
if ! out=$(cd "$build" && env -u DESTDIR cpack --config CPackConfig.cmake -G DEB -B "$tmp/out" 2>&1); then
  echo "FAIL: cpack failed:"
  echo "$out"
  exit 1
fi
deb=$(ls "$tmp"/out/*.deb 2>/dev/null)
if [ -z "$deb" ] || [ "$(echo "$deb" | wc -l)" -ne 1 ]; then
  echo "FAIL: cpack made no single .deb in $tmp/out: $deb"
  exit 1
fi
status=0
for path in "$@"; do
  case $path in
  etc/*) echo "./$path" ;;
  *) echo "./usr/$path" ;;
  esac
done | LC_ALL=C sort >"$tmp/want"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort >"$tmp/got"
if ! cmp -s "$tmp/want" "$tmp/got"; then
  echo "FAIL: the package's files differ from the expected ones (- expected, + packaged):"
  diff -u "$tmp/want" "$tmp/got" | sed -n 's/^\([-+][^-+]\)/\1/p'
  status=1
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kovari-directory ] || { echo "FAIL: Package is '$(field Package)'"; status=1; }
[ "$(field Section)" = net ] || { echo "FAIL: Section is '$(field Section)'"; status=1; }
case $(field Depends) in
*libc6*) ;;
*) echo "FAIL: Depends '$(field Depends)' does not name libc6"; status=1 ;;
esac
[ -n "$(field Maintainer)" ] || { echo "FAIL: no Maintainer"; status=1; }
[ -n "$(field Description)" ] || { echo "FAIL: no Description"; status=1; }

dpkg-deb -e "$deb" "$tmp/control"
if grep -q '^\./etc/default/quorind$' "$tmp/got"; then
  if [ "$(cat "$tmp/control/conffiles" 2>/dev/null)" != /etc/default/quorind ]; then
    echo "FAIL: /etc/default/quorind is not the package's one conffile"
    status=1
  fi
fi
dpkg-deb -x "$deb" "$tmp/root"
unit=$tmp/root/usr/lib/systemd/system/quorind.service
if [ -f "$unit" ]; then
  for line in 'ExecStart=/usr/sbin/quorind -V -S/var/lib/quorind/sites.state $QUORIND_OPTIONS' \
              'EnvironmentFile=-/etc/default/quorind'; do
    grep -qxF -- "$line" "$unit" || { echo "FAIL: the packaged unit lacks the line: $line"; status=1; }
  done
fi
# The programs go in stripped, as make install puts them: no symbol table
# and no debugging sections (readelf comes with binutils, as the compiler).
if command -v readelf >/dev/null; then
  for program in "$tmp"/root/usr/bin/* "$tmp"/root/usr/sbin/*; do
    [ -f "$program" ] || continue
    if readelf -S --wide "$program" | grep -Eq ' \.(symtab|debug_[a-z]+) '; then
      echo "FAIL: the packaged ${program#"$tmp"/root} is not stripped"
      status=1
    fi
  done
fi
# dpkg installs it into a scratch root (the libraries it depends on are not
# there) and purges it again without leaving a file behind.
root=$tmp/dpkgroot
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$root" --force-depends --force-script-chrootless "$@"; }
if ! out=$(dpkg_root -i "$deb" 2>&1); then
  echo "FAIL: dpkg -i into a scratch root failed:"
  echo "$out"
  status=1
elif [ "$(cd "$root" && find etc usr ! -type d | sed 's|^|./|' | LC_ALL=C sort)" != "$(cat "$tmp/got")" ]; then
  echo "FAIL: dpkg -i installed other files than the package lists"
  status=1
elif ! out=$(dpkg_root --purge kovari-directory 2>&1); then
  echo "FAIL: dpkg --purge failed:"
  echo "$out"
  status=1
elif [ -n "$(cd "$root" && find . ! -type d ! -path './var/lib/dpkg/*')" ]; then
  echo "FAIL: files left after dpkg --purge:"
  (cd "$root" && find . ! -type d ! -path './var/lib/dpkg/*')
  status=1
fi
[ $status -eq 0 ] && echo "ok: $(basename "$deb") installs and purges, holding exactly:" && cat "$tmp/got"
exit $status
