#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Usage: unit_verify.sh BUILD_DIR
# systemd-analyze verify accepts the installed unit without a word, the
# program it starts and its man page included.
set -u
build=$1
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
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
unit=$(find "$prefix" -name quorind.service)
if [ -z "$unit" ]; then
  echo "SKIP: this build installs no unit (KOVARI_INSTALL_SERVICE=OFF)"
  exit 77
fi
# Documentation=man:quorind(8) is looked up with man where it is installed.
if command -v man >/dev/null; then
  man_check=--man=yes
else
  man_check=--man=no
fi
out=$(MANPATH=$prefix/share/man systemd-analyze verify $man_check "$unit" 2>&1)
rc=$?
if [ $rc -ne 0 ] || [ -n "$out" ]; then
  echo "FAIL: systemd-analyze verify $man_check $unit (status $rc):"
  echo "$out"
  exit 1
fi
echo "ok: systemd-analyze verify $man_check accepts $unit"
