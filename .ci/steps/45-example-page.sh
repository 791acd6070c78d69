#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The example page docs/examples/who-is-online.html, rendered by headless
# Chromium from a web server on loopback beside a real JSON page: quorind
# -J writes it after a few announcements, and the rendered page must list
# the listed sites, show a name with markup in it as text, and leave the
# unlisted site out. Nothing leaves the loopback interface.
set -eu
cd "$(dirname "$0")/../.."
build=${BUILD:-build}
server=$build/server/quorind
announce=$build/tools/kovari-announce
for p in "$server" "$announce"; do
  [ -x "$p" ] || { echo "example page: $p is missing (run make test first)" >&2; exit 1; }
done

work=$(mktemp -d)
quorind_pid=""
http_pid=""
stop() {
  [ -z "$quorind_pid" ] || kill "$quorind_pid" 2>/dev/null || true
  [ -z "$http_pid" ] || kill "$http_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM
mkdir "$work/site" "$work/chromium"

# Waits up to 10 s for a file to hold a text.
wait_for() {
  tries=100
  until [ -f "$1" ] && grep -qF -- "$2" "$1"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "example page: no \"$2\" in $1 after 10 s" >&2; return 1; }
    sleep 0.1
  done
}

# The directory server, its JSON page written at every change. A port
# taken between the choice and the bind is chosen again.
for attempt in 1 2 3; do
  port=$("$announce" free-port)
  "$server" -P"$port" -I0 -J"$work/site/public" >"$work/quorind.log" 2>&1 &
  quorind_pid=$!
  if "$announce" -P"$port" wait; then break; fi
  wait "$quorind_pid" 2>/dev/null || true
  quorind_pid=""
done
[ -n "$quorind_pid" ] || { cat "$work/quorind.log"; echo "example page: quorind did not start" >&2; exit 1; }
"$announce" -P"$port" sdes A11CE alice@wonderland.example name="Alice Liddell" \
  loc="Oxford, England" port=2076
"$announce" -P"$port" sdes B0B bob@builder.example name="Bob <b>the</b> Builder" port=5004
"$announce" -P"$port" -B127.0.0.2 sdes CA201 carol@lab.example name="Carol Chen" port=5006
"$announce" -P"$port" sdes 3A11 '*mallory@hidden.example' name=Mallory port=5010
wait_for "$work/site/public.json" "Carol Chen"
cp docs/examples/who-is-online.html "$work/site/"

# A static web server for the folder, on a port of its own choosing,
# read back from the line it prints when it listens.
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/site" >"$work/http.log" 2>&1 &
http_pid=$!
wait_for "$work/http.log" "Serving HTTP on 127.0.0.1 port "
http_port=$(sed -n 's/.*Serving HTTP on 127\.0\.0\.1 port \([0-9]*\).*/\1/p' "$work/http.log" | head -n 1)

# Virtual time lets the page fetch the file and render before the DOM is
# written; the refresh timer (30 s) is beyond the budget.
timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/chromium" --virtual-time-budget=10000 \
  --dump-dom "http://127.0.0.1:$http_port/who-is-online.html" >"$work/dom.html" 2>"$work/chromium.log" || {
  cat "$work/chromium.log"
  echo "example page: chromium failed" >&2
  exit 1
}

fail=0
for text in \
  '<td>Alice Liddell</td><td>alice@wonderland.example</td><td>Oxford, England</td><td class="addr">127.0.0.1:2076</td>' \
  '<td>Bob &lt;b&gt;the&lt;/b&gt; Builder</td>' \
  '<td class="addr">127.0.0.2:5006</td>' \
  '3 on line'; do
  grep -qF -- "$text" "$work/dom.html" || { echo "example page: missing in the rendered page: $text" >&2; fail=1; }
done
for text in 'Mallory' '<b>the</b>' 'id="status" class="error"'; do
  if grep -qF -- "$text" "$work/dom.html"; then
    echo "example page: should not be in the rendered page: $text" >&2
    fail=1
  fi
done
if [ "$fail" -ne 0 ]; then
  cat "$work/dom.html"
  exit 1
fi
echo "example page: ok"
