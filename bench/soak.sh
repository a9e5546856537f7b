#!/usr/bin/env bash
# Soak run: mixed load through the embedded host and the stand-in back-end
# for a while, printing the host's resident memory, open descriptors,
# threads, requests done and errors every interval, and at the end the change
# of each. It prints figures; it is not a test.
#
#   bench/soak.sh [MINUTES]
#   env: SOAK_MINUTES (default 10), SOAK_CLIENTS (concurrent clients, 4),
#        SOAK_INTERVAL (seconds between reports, 60),
#        DUDAROVUVADU_BUILD_DIR (default build), SOAK_KEEP=1 keeps the root.
#
# Each client runs, in turn: a new request polled until its answer, a
# download of a granted file, a download the back-end names in its answer, a
# StoreData of a unique body, a posted form polled until its answer, an
# event, a large download it abandons mid-response, and a file length. An
# error is a failed or refused request (other than the abandoned ones) or an
# answer with the wrong content. At the end every stored body is compared
# with what was posted, and the event files with the events recorded.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${DUDAROVUVADU_BUILD_DIR:-$repo/build}" && pwd)"
minutes="${1:-${SOAK_MINUTES:-10}}"
clients="${SOAK_CLIENTS:-4}"
interval="${SOAK_INTERVAL:-60}"

for binary in dudarovuvadu.so dudarovuvadu-serve dudarovuvadu-backend; do
  [[ -e "$build/$binary" ]] || { echo "soak: $build/$binary is missing; build first" >&2; exit 1; }
done

root="$(mktemp -d /tmp/dudarovuvadu-soak.XXXXXX)"
work="$root/soak"
mkdir -p "$root"/{in,out,traces,post,rights,events,module,docs} "$work"
cp "$build/dudarovuvadu.so" "$root/module/dudarovuvadu.so"
printf '%s\r\n' "$root" > "$root/module/dudarovuvadu.dir"
head -c 20000 /dev/urandom > "$root/docs/guide.pdf"
head -c 4000000 /dev/urandom > "$root/docs/big.bin"
printf 'Plain text document.\r\n' > "$root/docs/readme.txt"

host_pid=""
backend_pid=""
client_pids=()
stop() {
  trap - INT TERM EXIT
  for pid in "${client_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  [[ -n "$host_pid" ]] && kill -TERM "$host_pid" 2>/dev/null || true
  [[ -n "$backend_pid" ]] && kill -TERM "$backend_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [[ "${SOAK_KEEP:-0}" == 1 ]]; then echo "soak: root kept: $root"; else rm -rf "$root"; fi
}
trap stop INT TERM EXIT

"$build/dudarovuvadu-backend" --root "$root" --docs "$root/docs" --delay 20 > "$work/backend.log" 2>&1 &
backend_pid=$!

# A random loopback address on port 8080 (the port the wait pages reload
# over plain http); another one if it is taken.
base=""
for _ in 1 2 3 4 5; do
  address="127.$((RANDOM % 250 + 1)).$((RANDOM % 250)).$((RANDOM % 250 + 1))"
  # One load generator is one client: no per-client request rate.
  "$build/dudarovuvadu-serve" --module "$root/module/dudarovuvadu.so" --listen "$address:8080" \
    --quiet --rate-limit 0 > "$work/host.log" 2>&1 &
  host_pid=$!
  url="http://$address:8080/scripts/dudarovuvadu.dll"
  for _ in $(seq 1 100); do
    if curl -s -o /dev/null "$url"; then base="$url"; break; fi
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
  done
  [[ -n "$base" ]] && break
  kill -TERM "$host_pid" 2>/dev/null || true
  wait "$host_pid" 2>/dev/null || true
  host_pid=""
done
[[ -n "$base" ]] || { echo "soak: the host did not start" >&2; cat "$work/host.log" >&2; exit 1; }

deadline=$(($(date +%s) + minutes * 60))

# One client. Counts go to $work/count.<n> ("requests errors abandoned
# events"), posted bodies to $work/sent.<n>, error details to $work/errors.
client() {
  local n=$1 requests=0 errors=0 abandoned=0 events=0 round=0
  local logon="soak$n" out="$work/body.$n"
  local guide_size big_size guide_p1 big_p1
  guide_size=$(stat -c %s "$root/docs/guide.pdf")
  big_size=$(stat -c %s "$root/docs/big.bin")
  : > "$work/sent.$n"

  fail() {
    errors=$((errors + 1))
    echo "client $n round $round: $*" >> "$work/errors"
  }
  # fetch URL [curl options...]: the body in $out; sets $code ("000" when
  # curl failed) and $curl_status.
  fetch() {
    local target=$1
    shift
    requests=$((requests + 1))
    curl_status=0
    code=$(curl -s -o "$out" -w '%{http_code}' "$@" "$target") || curl_status=$?
  }
  # Polls ticket $1 (by query, or by form when $2 is "form") until the
  # answer replaces the wait page.
  poll() {
    local ticket=$1 how=$2 command=$3 tries
    for tries in $(seq 1 200); do
      if [[ "$how" == form ]]; then
        fetch "$base?PostCommand" --data "logon=$logon&command=$command&p1=$ticket"
      else
        fetch "$base?DoCommand?Logon=$logon&Command=$command&P1=$ticket&P2=&P3="
      fi
      [[ "$code" == 200 ]] || { fail "poll $ticket: status $code curl $curl_status"; return 1; }
      grep -q 'Veuillez patienter' "$out" || return 0
      sleep 0.02
    done
    fail "poll $ticket: no answer after 200 polls"
    return 1
  }
  # Starts a request; its ticket in $ticket.
  start() {
    fetch "$@"
    ticket=""
    [[ "$code" == 200 ]] || { fail "new request: status $code curl $curl_status"; return 1; }
    ticket=$(grep -oE '[pP]1=[0-9]+' "$out" | head -n 1 | cut -d= -f2)
    [[ -n "$ticket" ]] || { fail "new request: no ticket in the wait page"; return 1; }
  }

  # The rights list of this logon comes with its document list.
  if start "$base?DoCommand?Logon=$logon&Command=getlist&P1=&P2=&P3="; then
    poll "$ticket" query getlist || true
  fi
  # The names as the list grants them (P1 of the file sub-commands).
  guide_p1=$(tr -d '\r' < "$root/rights/~$logon.lst" | grep 'guide\.pdf$' || true)
  big_p1=$(tr -d '\r' < "$root/rights/~$logon.lst" | grep 'big\.bin$' || true)

  while (($(date +%s) < deadline)); do
    round=$((round + 1))
    case $((round % 8)) in
      0)
        if start "$base?DoCommand?Logon=$logon&Command=echo&P1=&P2=r$round&P3=x"; then
          poll "$ticket" query echo && { grep -q "r$round" "$out" || fail "echo: wrong answer"; }
        fi
        ;;
      1)
        fetch "$base?DoCommand?Logon=$logon&Command=getfiledata&P1=$guide_p1&P2=0&P3=$guide_size"
        if [[ "$code" != 200 ]] || ! cmp -s "$out" "$root/docs/guide.pdf"; then
          fail "getfiledata: status $code, $(stat -c %s "$out") bytes"
        fi
        ;;
      2)
        if start "$base?DoCommand?Logon=$logon&Command=getdoc&P1=&P2=guide.pdf&P3="; then
          poll "$ticket" query getdoc && { cmp -s "$out" "$root/docs/guide.pdf" || fail "getdoc: wrong bytes"; }
        fi
        ;;
      3)
        local body="soak-$n-$round-$RANDOM$RANDOM"
        fetch "$base?StoreData" --data-binary "$body"
        if [[ "$code" == 200 ]]; then echo "$body" >> "$work/sent.$n"; else fail "StoreData: status $code"; fi
        ;;
      4)
        if start "$base?PostCommand" --data "logon=$logon&command=echo&p2=f$round"; then
          poll "$ticket" form echo && { grep -q "f$round" "$out" || fail "form: wrong answer"; }
        fi
        ;;
      5)
        fetch "$base?DoCommand?Logon=$logon&Command=newevent&P1=e$round&P2=b&P3=c"
        if [[ "$code" == 200 ]] && grep -q Done "$out"; then events=$((events + 1)); else fail "newevent: status $code"; fi
        ;;
      6)
        # Reads slowly and hangs up before the end.
        fetch "$base?DoCommand?Logon=$logon&Command=getfiledata&P1=$big_p1&P2=0&P3=$big_size" \
          --limit-rate 500k --max-time 0.5
        if [[ "$curl_status" == 28 ]]; then
          abandoned=$((abandoned + 1))
        elif [[ "$code" != 200 ]]; then
          fail "abandoned download: status $code curl $curl_status"
        fi
        ;;
      7)
        fetch "$base?DoCommand?Logon=$logon&Command=getfilelength&P1=$guide_p1&P2=&P3="
        if [[ "$code" != 200 ]] || ! grep -q "$guide_size" "$out"; then fail "getfilelength: status $code"; fi
        ;;
    esac
    echo "$requests $errors $abandoned $events" > "$work/count.$n"
  done
}

for n in $(seq 1 "$clients"); do
  client "$n" &
  client_pids+=($!)
done

# Sums one column of the clients' counts.
total() {
  { cat "$work"/count.* 2>/dev/null || true; } | awk -v c="$1" '{ s += $c } END { print s + 0 }'
}
sample() {
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$host_pid/status")
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$host_pid/status")
  fds=$(find "/proc/$host_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  requests=$(total 1)
  errors=$(total 2)
}

echo "soak: $minutes min, $clients clients, host pid $host_pid at $base"
printf '%7s %10s %6s %8s %9s %7s\n' elapsed rss_kb fds threads requests errors
sample
printf '%7s %10s %6s %8s %9s %7s\n' 0:00 "$rss" "$fds" "$threads" "$requests" "$errors"
first=("$rss" "$fds" "$threads" "$requests" "$errors")
warm=()
elapsed=0
while (($(date +%s) < deadline)); do
  sleep "$interval"
  elapsed=$((elapsed + interval))
  kill -0 "$host_pid" 2>/dev/null || { echo "soak: the host died" >&2; exit 1; }
  sample
  printf '%7s %10s %6s %8s %9s %7s\n' "$((elapsed / 60)):$(printf %02d $((elapsed % 60)))" "$rss" "$fds" "$threads" "$requests" "$errors"
  ((${#warm[@]} > 0)) || warm=("$rss" "$fds" "$threads" "$requests" "$errors")
done
wait "${client_pids[@]}" || true
client_pids=()
sample
last=("$rss" "$fds" "$threads" "$requests" "$errors")
((${#warm[@]} > 0)) || warm=("${first[@]}")

names=(rss_kb fds threads requests errors)
echo "change over the run (start -> end; after the first interval -> end):"
for i in 0 1 2 3 4; do
  printf '  %-9s %9s -> %9s (%+d); %9s -> %9s (%+d)\n' "${names[$i]}" "${first[$i]}" "${last[$i]}" \
    $((last[i] - first[i])) "${warm[$i]}" "${last[$i]}" $((last[i] - warm[i]))
done
echo "abandoned downloads: $(total 3)"

# Every body posted is stored exactly once, with its ready file.
sort "$work"/sent.* > "$work/sent"
for data in "$root"/post/*.txt; do
  [[ -e "$data" ]] || continue
  cat "$data"
  echo
done | sort > "$work/stored"
posted=$(wc -l < "$work/sent")
if cmp -s "$work/sent" "$work/stored"; then
  echo "posted bodies: $posted sent, all stored ($(ls "$root"/post/*.rdy 2>/dev/null | wc -l) ready files)"
else
  echo "posted bodies: $posted sent, $(wc -l < "$work/stored") stored: MISMATCH"
  errors=$((errors + 1))
fi
recorded=$({ cat "$root"/events/*.evt 2>/dev/null || true; } | wc -l)
echo "events: $(total 4) answered Done, $recorded lines recorded"
[[ "$recorded" == "$(total 4)" ]] || errors=$((errors + 1))
if [[ -s "$work/errors" ]]; then
  echo "first errors:"
  head -n 20 "$work/errors"
fi
((errors == 0))
