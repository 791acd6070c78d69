#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Usage: tools/deps.sh run|test|ci
# Makes sure the Debian packages that a command needs are installed, from
# the lists in .ci/packages/ (one package a line): run needs
# .ci/packages/run, test needs run and test, ci (.ci/run) needs every list.
# On a machine that has them all this is one dpkg-query and prints nothing.
# Missing packages are installed with apt-get when this runs as root or
# sudo -n works, with a line saying which; otherwise one line names them and
# the command that installs them, and the exit status is 1.
set -eu
cd "$(dirname "$0")/.."
lists=.ci/packages
case ${1:-} in
run) files="$lists/run" what="make run" ;;
test) files="$lists/run $lists/test" what="make test" ;;
ci) files=$(ls "$lists"/*) what=".ci/run" ;;
*)
  echo "usage: tools/deps.sh run|test|ci" >&2
  exit 2
  ;;
esac
# shellcheck disable=SC2086
packages=$(sed 's/#.*//' $files | tr -s ' \t\n' ' ')

# Without dpkg this is no Debian system: nothing to check with, and CMake
# says what it cannot find.
command -v dpkg-query >/dev/null 2>&1 || exit 0
# One line per package dpkg knows: its status letters, then its name; the
# second letter is i for an installed package. Unknown names only go
# unlisted (and make dpkg-query's status 1).
# shellcheck disable=SC2086
installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' $packages 2>/dev/null |
  awk 'substr($1, 2, 1) == "i" { print $2 }') || true
missing=""
for package in $packages; do
  printf '%s\n' "$installed" | grep -qxF -- "$package" || missing="$missing $package"
done
[ -n "$missing" ] || exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=""
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  as_root="sudo -n"
else
  if command -v sudo >/dev/null 2>&1; then
    command="sudo apt-get install$missing"
  else
    command="su -c 'apt-get install$missing'"
  fi
  echo "$what needs the Debian packages$missing: install them with $command" >&2
  exit 1
fi
echo "$what: installing the missing Debian packages$missing with apt-get"
log=$(mktemp)
# Packages that bring a service (prometheus, the node exporter) would start
# it as they are installed: a policy-rc.d that says 101 forbids that, for
# the length of this install, unless the machine has one of its own.
policy=/usr/sbin/policy-rc.d
if [ -e "$policy" ]; then
  trap 'rm -f "$log"' EXIT
else
  printf '#!/bin/sh\nexit 101\n' | $as_root tee "$policy" >/dev/null
  $as_root chmod 755 "$policy"
  trap 'rm -f "$log"; $as_root rm -f "$policy"' EXIT
fi
# shellcheck disable=SC2086
if ! { $as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
  $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "$what: apt-get could not install$missing" >&2
  exit 1
fi
echo "$what: installed$missing"
