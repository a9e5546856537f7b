#!/usr/bin/env bash
# Runs the portal for a person to try: lays out a demo install root (the six
# spool folders, a copy of the module with its pointer file, sample
# documents), starts the stand-in back-end and the host on 127.0.0.1:8080,
# prints the URLs to open, and stops both on Ctrl-C. Assumes a built tree.
#
#   tools/run-demo.sh [DEMO_ROOT]
#   env: DUDAROVUVADU_BUILD_DIR (default: build), PORT (default: 8080),
#        DELAY_MS (how long the back-end holds each answer; default: 1500)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${DUDAROVUVADU_BUILD_DIR:-$repo/build}"
port="${PORT:-8080}"
delay="${DELAY_MS:-1500}"
host_address=127.0.0.1

for binary in dudarovuvadu.so dudarovuvadu-serve dudarovuvadu-backend; do
  if [[ ! -e "$build/$binary" ]]; then
    echo "run-demo: $build/$binary is missing; build first (cmake --build $build)" >&2
    exit 1
  fi
done

# The module builds its reload URLs with "http" only for ports 80, 8000 and
# 8080 and with "https" for any other: the host speaks plain HTTP.
case "$port" in
  80 | 8000 | 8080) ;;
  *) echo "run-demo: warning: on port $port the wait pages reload over https" >&2 ;;
esac

if [[ $# -ge 1 ]]; then
  root="$(mkdir -p "$1" && cd "$1" && pwd)"
  remove_root=false
else
  root="$(mktemp -d /tmp/dudarovuvadu-demo.XXXXXX)"
  remove_root=true
fi

mkdir -p "$root"/{in,out,traces,post,rights,events} "$root/module" "$root/docs"
cp "$build/dudarovuvadu.so" "$root/module/dudarovuvadu.so"
printf '%s\r\n' "$root" > "$root/module/dudarovuvadu.dir"

# Sample documents: a small PDF, a Word-named file and plain text.
printf '%s\n' '%PDF-1.4' '1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj' \
  '2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj' \
  '3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] >> endobj' \
  'trailer << /Root 1 0 R >>' '%%EOF' > "$root/docs/guide.pdf"
printf 'Minutes of the demo meeting.\r\n' > "$root/docs/minutes.doc"
printf 'Plain text document.\nSecond line.\n' > "$root/docs/readme.txt"

backend_pid=""
host_pid=""
# The host's own output, read back to see that this host (and not another
# server on the same port) is listening.
host_log="$(mktemp /tmp/dudarovuvadu-demo-host.XXXXXX)"
# Stops both servers and ends with `status` (Ctrl-C: 0; a failed start: its
# own status).
stop() {
  local status="${1:-0}"
  trap - INT TERM EXIT
  echo
  echo "Stopping..."
  [[ -n "$host_pid" ]] && kill -TERM "$host_pid" 2>/dev/null || true
  [[ -n "$backend_pid" ]] && kill -TERM "$backend_pid" 2>/dev/null || true
  [[ -n "$host_pid" ]] && wait "$host_pid" 2>/dev/null || true
  [[ -n "$backend_pid" ]] && wait "$backend_pid" 2>/dev/null || true
  rm -f "$host_log"
  if $remove_root; then rm -rf "$root"; else echo "Demo root kept: $root"; fi
  exit "$status"
}
trap 'stop 0' INT TERM
trap 'stop $?' EXIT

"$build/dudarovuvadu-backend" --root "$root" --docs "$root/docs" --delay "$delay" \
  > >(sed -u 's/^/[back-end] /') &
backend_pid=$!
"$build/dudarovuvadu-serve" --module "$root/module/dudarovuvadu.so" \
  --listen "$host_address:$port" > >(tee "$host_log" | sed -u 's/^/[host] /') &
host_pid=$!

base="http://$host_address:$port/scripts/dudarovuvadu.dll"
# Ready when the host itself says it listens: another server holding the
# port would answer a probe of the URL all the same.
listening=false
for _ in $(seq 1 100); do
  if grep -q "listening on $host_address:$port" "$host_log"; then
    listening=true
    break
  fi
  if ! kill -0 "$host_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if ! $listening; then
  echo "run-demo: the host did not start listening on $host_address:$port (is the port free?)" >&2
  exit 1
fi

cat <<URLS

The portal runs (install root $root). Open in a browser:

  Document list   $base?DoCommand?Logon=demo&Command=getlist&P1=&P2=&P3=
  Download        $base?DoCommand?Logon=demo&Command=getdoc&P1=&P2=guide.pdf&P3=
  Phone page      $base?DoCommand?Logon=demo&Command=ciscomenu&P1=&P2=&P3=
  Form (posts through PostCommand)
                  $base?DoCommand?Logon=demo&Command=form&P1=&P2=&P3=
  Record an event $base?DoCommand?Logon=demo&Command=newevent&P1=clicked&P2=button&P3=1

Store data for the back-end:

  curl --data-binary 'hello back-end' '$base?StoreData'

Each answer is held back ${delay} ms, so the wait page shows first. Press Ctrl-C to stop.

URLS
# Returns when either server ends (Ctrl-C ends both); stop() then runs
# through the EXIT trap.
wait -n "$host_pid" "$backend_pid" || true
