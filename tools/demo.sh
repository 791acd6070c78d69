#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The directory service without a voice program: starts quorind on a free
# loopback port, announces a few sample sites with kovari-announce, shows
# quorinq's output modes, signs one site off and stops the server.
#   sh tools/demo.sh [build-folder]
set -eu
build=${1:-build}
server=$build/server/quorind
lookup=$build/lookup/quorinq
announce=$build/tools/kovari-announce
for p in "$server" "$lookup" "$announce"; do
  [ -x "$p" ] || { echo "demo: $p is missing; run make first" >&2; exit 1; }
done

export TZ=UTC
unset KOVARI_QRN_TELL
work=$(mktemp -d)
pid=
stop() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM

port=$("$announce" free-port)
printf 'Welcome to the Kovari demo directory.\nEvery site listed here takes calls.\n' >"$work/message"
"$server" -P"$port" -M"$work/message" >"$work/server.log" 2>&1 &
pid=$!
"$announce" -P"$port" wait || { echo "demo: quorind did not start" >&2; exit 1; }

# Shows a quorinq command and runs it.
q() {
  printf '$ quorinq'
  for a in "$@"; do
    if [ -z "$a" ]; then printf " ''"; else printf ' %s' "$a"; fi
  done
  printf '\n'
  status=0
  "$lookup" "$@" 2>&1 || status=$?
  [ "$status" -eq 0 ] || echo "(exit status $status)"
  printf '\n'
}

echo "quorind listens on 127.0.0.1:$port (pid $pid); announcing five sites."
"$announce" -P"$port" sdes A11CE alice@wonderland.example name="Alice Liddell" \
  email=alice@wonderland.example phone="+44 1865 270000" loc="Oxford, England" \
  tool="kvphone 4.0" port=2076
"$announce" -P"$port" sdes B0B bob@builder.example name=Bob port=5004
"$announce" -P"$port" -B127.0.0.2 sdes CA201 carol@lab.example name="Carol Chen" port=5006
"$announce" -P"$port" sdes D4E dave@relay.example port=5008
"$announce" -P"$port" sdes 3A11 '*mallory@hidden.example' name=Mallory port=5010
echo

echo "\$ export KOVARI_QRN_ASK=127.0.0.1:$port"
export KOVARI_QRN_ASK=127.0.0.1:$port
echo

echo "# Everyone listed (the empty query), one line each:"
q ''
echo "# The same as a table:"
q -L ''
echo "# Connection addresses for kvphone, from two queries:"
q -C alice carol
echo "# For programs, one JSON object a line:"
q -J alice
echo "# The server message, then a query:"
q -M bob
echo "# An unlisted site is found only by its whole address:"
q mallory
q mallory@hidden.example

echo "# Bob signs off:"
echo "\$ kovari-announce -P$port bye B0B"
"$announce" -P"$port" bye B0B
echo
q ''
q -C bob

kill "$pid"
wait "$pid" 2>/dev/null || true
pid=
echo "quorind stopped."
