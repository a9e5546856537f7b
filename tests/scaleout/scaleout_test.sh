#!/bin/bash
# Several front ends on one shared spool: a GlusterFS volume mounted three
# times (each mount a client with its own caches, as separate machines
# would be), two hosts on two mounts behind nginx round robin, and two
# back-end instances on two mounts. Clients start requests and poll them
# through nginx, so a request and its polls land on different hosts; posted
# bodies are stored through both; one host is killed mid-run.
# Checked: every answer reaches its own request, none is lost, every posted
# body is taken once, no ticket is handed out twice, the kill is survived
# and no request file or counter lock is left behind. The kill lands while
# host 1 holds the in counter's lock (its stop point parks a request there),
# and the next ticket through host 2 must not wait for the lock's bound.
#   scaleout_test.sh BUILD_DIR
# Environment: SCALEOUT_MOUNT_OPTIONS (glusterfs options, default those the
# guide gives; " " for the client's default caching, which the module
# refuses until DUDAROVUVADU_ACCEPT_CACHED_SPOOL accepts it), SCALEOUT_CLIENTS (8), SCALEOUT_REQUESTS
# (25 per client), SCALEOUT_KILL (1: kill a host mid-run), SCALEOUT_KEEP (1:
# keep the work folder), SCALEOUT_TRACE (1: each host traces to the work
# folder), SCALEOUT_DEADLINE (210: seconds before the run fails by itself,
# below ctest's TIMEOUT), SCALEOUT_HOST_WRAPPER (a command the hosts run under, e.g. strace),
# SCALEOUT_MODULE (another build of the module), SCALEOUT_BENCH_SECONDS (run
# bench/scaleout-bench.sh's figures instead of the clients). Exits 77 (skipped) where glusterd, FUSE or root
# are missing.
set -u

build=$(cd "$1" && pwd)
clients=${SCALEOUT_CLIENTS:-8}
requests=${SCALEOUT_REQUESTS:-25}
kill_host=${SCALEOUT_KILL:-1}
# The mount options docs/scale-out.md gives; SCALEOUT_MOUNT_OPTIONS=" " for
# the client's default caching.
mount_options=${SCALEOUT_MOUNT_OPTIONS:---entry-timeout=0 --attribute-timeout=0}
# Mounts whose client keeps its name or attribute cache: the module refuses
# to start on them, which is checked, and is then told to accept them so
# that the run measures what such mounts do.
caching=1
[[ " $mount_options " == *" --entry-timeout=0 "* && " $mount_options " == *" --attribute-timeout=0 "* ]] && caching=0

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root (glusterd and FUSE mounts)"
[ -c /dev/fuse ] || skip "no /dev/fuse"
for program in glusterd gluster glusterfs nginx curl; do
  command -v "$program" >/dev/null 2>&1 || PATH=$PATH:/usr/sbin:/sbin
  command -v "$program" >/dev/null 2>&1 || skip "no $program (tools/install-packages.sh)"
done

work=$(mktemp -d /tmp/scaleout.XXXXXX)
volume="scaleout_$$_$RANDOM"
pids=""
glusterd_pid=""
mounts=""
volume_made=""
cleanup() {
  # The watcher first, so that its sleep's end sends nothing.
  kill "${watcher:-}" 2>/dev/null && wait "$watcher" 2>/dev/null
  [ -f "$work/watchdog.pid" ] && kill "$(cat "$work/watchdog.pid")" 2>/dev/null
  # nginx first, and gently: killed outright, its master leaves its
  # worker behind.
  if [ -n "${nginx_pid:-}" ]; then
    kill -TERM "$nginx_pid" 2>/dev/null
    wait "$nginx_pid" 2>/dev/null
  fi
  for pid in $pids; do kill -9 "$pid" 2>/dev/null; done
  for pid in $pids; do wait "$pid" 2>/dev/null; done
  for dir in $mounts; do umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null; done
  if [ -n "$volume_made" ]; then
    gluster --mode=script volume stop "$volume" force >/dev/null 2>&1
    gluster --mode=script volume delete "$volume" >/dev/null 2>&1
  fi
  if [ -n "$glusterd_pid" ]; then
    kill "$glusterd_pid" 2>/dev/null
    wait "$glusterd_pid" 2>/dev/null
  fi
  if [ "${SCALEOUT_KEEP:-0}" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM
# ctest ends a test past its TIMEOUT (240 s) with SIGKILL, which skips the
# clean-up and leaves the volume, its mounts and processes behind: the run
# ends itself first, through the traps above.
deadline=${SCALEOUT_DEADLINE:-210}
(
  sleep "$deadline" &
  echo $! >"$work/watchdog.pid"
  wait $!
  echo "FAIL: no result after $deadline s" >&2
  kill -TERM $$
) &
watcher=$!
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Runs a program in the background and remembers its pid for the cleanup.
start() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 &
  pids="$pids $!"
  last_pid=$!
}

# 1. glusterd (started here only when none runs), a one-brick volume and
#    three mounts.
if ! gluster --mode=script volume list >/dev/null 2>&1; then
  glusterd -N --log-file="$work/glusterd.log" >/dev/null 2>&1 &
  glusterd_pid=$!
  for _ in $(seq 100); do
    gluster --mode=script volume list >/dev/null 2>&1 && break
    sleep 0.1
  done
  gluster --mode=script volume list >/dev/null 2>&1 || skip "glusterd does not start here"
fi
mkdir -p "$work/brick"
brick_host=$(hostname)
gluster --mode=script volume create "$volume" "$brick_host:$work/brick/b" force \
  >"$work/volume.log" 2>&1 || skip "cannot create a volume: $(cat "$work/volume.log")"
volume_made=1
gluster --mode=script volume start "$volume" >>"$work/volume.log" 2>&1 \
  || fail "volume start: $(cat "$work/volume.log")"
for m in 1 2 3; do
  mkdir -p "$work/m$m"
  # shellcheck disable=SC2086
  glusterfs $mount_options --volfile-server=127.0.0.1 --volfile-id="$volume" "$work/m$m" \
    || skip "cannot mount the volume through FUSE"
  mounts="$work/m$m $mounts"
done
for _ in $(seq 50); do
  mkdir -p "$work/m1/root" 2>/dev/null && break
  sleep 0.1
done
root=root
mkdir -p "$work/m1/$root"/{in,out,traces,post,rights,events} || fail "no spool on the volume"
mkdir -p "$work/docs"
echo "a document" >"$work/docs/leaflet.txt"

# 2. Two hosts, each with a pointer file naming the root on its own mount,
#    and nginx round robin in front of them on 127.a.b.c:8080 (a port the
#    wait page reloads over http). Every client here comes from one address,
#    so the hosts' per-client request rate is off.
address="127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))"
for h in 1 2; do
  mkdir -p "$work/h$h"
  cp "${SCALEOUT_MODULE:-$build/dudarovuvadu.so}" "$work/h$h/dudarovuvadu.so"
  printf '%s\r\n' "$work/m$h/$root" >"$work/h$h/dudarovuvadu.dir"
  [ "${SCALEOUT_TRACE:-0}" = 1 ] && export DUDAROVUVADU_TRACE_FILE="$work/trace$h.log"
  if [ "$caching" = 1 ] && [ "$h" = 1 ] && [ -z "${SCALEOUT_MODULE:-}" ]; then
    refusal=$(timeout 30 "$build/dudarovuvadu-serve" --module "$work/h1/dudarovuvadu.so" \
      --listen "$address:18081" 2>&1) && fail "a host started on mounts that cache: $refusal"
    [[ $refusal == *"--entry-timeout=0 --attribute-timeout=0"* ]] \
      || fail "the refusal does not name the mount options: $refusal"
    echo "the module refuses the caching mounts: $refusal"
    export DUDAROVUVADU_ACCEPT_CACHED_SPOOL=1
  fi
  # Host 1's module stops a request marked "stop-in-lock" inside the lock.
  if [ "$h" = 1 ]; then export DUDAROVUVADU_STOP_IN_LOCK="$work/stopped-in-lock"; else unset DUDAROVUVADU_STOP_IN_LOCK; fi
  start "$work/host$h.log" ${SCALEOUT_HOST_WRAPPER:-} "$build/dudarovuvadu-serve" --module "$work/h$h/dudarovuvadu.so" \
    --listen "$address:1808$h" --trusted-proxy 127.0.0.0/8 --rate-limit 0
  eval "host${h}_pid=$last_pid"
done
unset DUDAROVUVADU_TRACE_FILE DUDAROVUVADU_STOP_IN_LOCK DUDAROVUVADU_ACCEPT_CACHED_SPOOL
# Back-end instances on mounts 3 and 2: each finds what the others and the
# hosts write only by its rescan (inotify sees a FUSE mount's own changes).
for b in 3 2; do
  start "$work/backend$b.log" "$build/dudarovuvadu-backend" --root "$work/m$b/$root" \
    --docs "$work/docs"
done
mkdir -p "$work/nginx/temp"
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
user root;
error_log $work/nginx/error.log;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $work/nginx/temp/body;
  proxy_temp_path $work/nginx/temp/proxy;
  fastcgi_temp_path $work/nginx/temp/fastcgi;
  uwsgi_temp_path $work/nginx/temp/uwsgi;
  scgi_temp_path $work/nginx/temp/scgi;
  upstream portal {
    server $address:18081 max_fails=1 fail_timeout=30s;
    server $address:18082 max_fails=1 fail_timeout=30s;
  }
  server {
    listen $address:8080;
    location /scripts/ {
      proxy_pass http://portal;
      proxy_connect_timeout 2s;
      proxy_set_header Host              \$host;
      proxy_set_header X-Forwarded-For   \$proxy_add_x_forwarded_for;
      proxy_set_header X-Forwarded-Proto \$scheme;
      proxy_set_header X-Forwarded-Host  \$host;
      proxy_set_header X-Forwarded-Port  \$server_port;
    }
  }
}
CONF
start "$work/nginx.out" nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log"
nginx_pid=$last_pid
base="http://$address:8080/scripts/dudarovuvadu.dll"
for h in 1 2; do
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://$address:1808$h/scripts/dudarovuvadu.dll" && break
    sleep 0.1
  done
done
for _ in $(seq 100); do
  curl -s -o /dev/null "$base" && break
  sleep 0.1
done
curl -s -o /dev/null "$base" || fail "nginx does not answer: $(cat "$work/nginx/error.log")"

# 3. How long a request written through host 1's mount waits before a
#    back-end on another mount sees it (no inotify event reaches them): from
#    the wait page's arrival to the ready flag, seen through mount 1.
delays=""
for sample in 1 2 3 4 5; do
  page=$(curl -s "http://$address:18081/scripts/dudarovuvadu.dll?DoCommand?Logon=probe&Command=echo&P1=&P2=delay$sample&P3=")
  from=$(date +%s%N)
  ticket=$(printf '%s' "$page" | sed -n 's/.*&p1=\([0-9]*\)&.*/\1/p' | head -1)
  [ -n "$ticket" ] || fail "no ticket for the delay probe: $page"
  for _ in $(seq 1000); do
    [ -e "$work/m1/$root/out/$ticket.rdy" ] && break
    sleep 0.005
  done
  [ -e "$work/m1/$root/out/$ticket.rdy" ] || fail "ticket $ticket never answered"
  delays="$delays $((($(date +%s%N) - from) / 1000000))"
  curl -s -o /dev/null "http://$address:18081/scripts/dudarovuvadu.dll?DoCommand?logon=probe&command=echo&p1=$ticket&p2=delay$sample&p3="
done
echo "answered after (ms, back-ends on other mounts, --rescan default):$delays"

if [ -n "${SCALEOUT_BENCH_SECONDS:-}" ]; then
  # shellcheck source=bench/scaleout-rows.sh
  . "$(dirname "$0")/../../bench/scaleout-rows.sh"
  exit 0
fi

# 4. The clients. Each posts two bodies, then starts its requests one after
#    another and follows each wait page through nginx to the answer. It
#    records every ticket it is given, every empty ticket and every answer
#    that is not its own.
client() {
  local c=$1 i k page target ticket answered tries
  for k in 1 2; do
    curl -s --retry 3 --retry-all-errors -o /dev/null --data-binary "body-c$c-$k" "$base?StoreData" \
      || echo "store c$c-$k" >>"$work/c$c.errors"
  done
  for i in $(seq "$requests"); do
    target="$base?DoCommand?Logon=u$c&Command=echo&P1=&P2=c$c-r$i&P3=x"
    answered=""
    for tries in $(seq 200); do
      page=$(curl -s --max-time 30 "$target") || { sleep 0.2; continue; }
      case $page in
        *"var target="*)
          target=$(printf '%s' "$page" | sed -n 's/^var target="\(.*\)";\r*$/\1/p')
          ticket=$(printf '%s' "$target" | sed -n 's/.*&p1=\([^&]*\)&.*/\1/p')
          if [ -z "$ticket" ]; then
            echo empty >>"$work/c$c.empty"
          elif [ "$tries" -eq 1 ] || ! grep -qx "$ticket c$c-r$i" "$work/c$c.tickets" 2>/dev/null; then
            echo "$ticket c$c-r$i" >>"$work/c$c.tickets"
          fi
          sleep 0.1
          ;;
        *"c$c-r$i"*)
          answered=1
          break
          ;;
        *"Can't open "*"/out/$ticket.tmp"*)
          # The wait page of a ticket whose answer the killed host had picked
          # up (it removes the ready flag and the wait page before it sends
          # the answer): counted below with the answers taken away.
          break
          ;;
        *)
          echo "c$c-r$i got another answer: $(printf '%s' "$page" | head -c 300)" >>"$work/c$c.errors"
          break
          ;;
      esac
    done
    if [ -z "$answered" ]; then
      # A poll that found the ready flag on the host killed under it: that
      # host took the flag away with the answer it never sent. Known and
      # counted apart; anything else is a lost request. The ticket is the
      # last one the client was given for this request (a later poll may
      # have had another wait page, without it).
      ticket=$(sed -n "s/^\([0-9]*\) c$c-r$i\$/\1/p" "$work/c$c.tickets" 2>/dev/null | tail -1)
      if [ -n "$ticket" ] && [ ! -e "$work/m2/$root/out/$ticket.rdy" ] &&
        grep -q "c$c-r$i" "$work/m2/$root/out/$ticket.htm" 2>/dev/null; then
        echo "c$c-r$i ticket $ticket" >>"$work/c$c.picked"
      else
        echo "c$c-r$i not answered" >>"$work/c$c.errors"
      fi
    fi
    echo "c$c-r$i" >>"$work/answered"
  done
}
started=$(date +%s.%N)
client_pids=""
for c in $(seq "$clients"); do
  client "$c" &
  client_pids="$client_pids $!"
  pids="$pids $!"
done

# 5. Host 1 killed once a third of the requests are answered, while it
#    holds the in counter's lock: a request marked for its stop point stays
#    inside the lock until the kill. The next ticket, through host 2, takes
#    the dead holder's lock over at once (before, it waited ten seconds and
#    more for the lock's bound).
total=$((clients * requests))
if [ "$kill_host" = 1 ]; then
  while [ "$(cat "$work/answered" 2>/dev/null | wc -l)" -lt $((total / 3)) ]; do sleep 0.2; done
  curl -s -o /dev/null --max-time 60 \
    "http://$address:18081/scripts/dudarovuvadu.dll?DoCommand?Logon=stop&Command=echo&P1=&P2=stop-in-lock&P3=" &
  stop_curl=$!
  for _ in $(seq 600); do
    [ -e "$work/stopped-in-lock" ] && break
    sleep 0.1
  done
  [ -e "$work/stopped-in-lock" ] || fail "host 1 never stopped inside the lock"
  [ -e "$work/m1/$root/dudarovuvadu.cnt.in.lock" ] || fail "host 1 is inside the lock, but no lock file"
  # shellcheck disable=SC2154
  kill -9 "$host1_pid" && echo "host 1 killed inside the lock after $(wc -l <"$work/answered") answers"
  wait "$stop_curl" 2>/dev/null
  from=$(date +%s%N)
  page=$(curl -s --max-time 60 "http://$address:18082/scripts/dudarovuvadu.dll?DoCommand?Logon=after&Command=echo&P1=&P2=after-kill&P3=")
  took=$((($(date +%s%N) - from) / 1000000))
  ticket=$(printf '%s' "$page" | sed -n 's/.*&p1=\([0-9]*\)&.*/\1/p' | head -1)
  [ -n "$ticket" ] || fail "no ticket after the kill: $page"
  echo "first ticket after the kill: $ticket, in $took ms"
  # Its answer is picked up, so its request file goes like every other.
  for _ in $(seq 1000); do
    [ -e "$work/m2/$root/out/$ticket.rdy" ] && break
    sleep 0.02
  done
  page=$(curl -s "http://$address:18082/scripts/dudarovuvadu.dll?DoCommand?logon=after&command=echo&p1=$ticket&p2=after-kill&p3=")
  case $page in
    *"var target="*) fail "ticket $ticket after the kill: still its wait page" ;;
    *after-kill*) ;;
    *) fail "ticket $ticket after the kill got another answer: $(printf '%s' "$page" | head -c 300)" ;;
  esac
fi
for pid in $client_pids; do wait "$pid"; done
ended=$(date +%s.%N)

# 6. What happened.
cat "$work"/c*.tickets >"$work/tickets" 2>/dev/null
issued=$(wc -l <"$work/tickets")
distinct=$(cut -d' ' -f1 "$work/tickets" | sort -u | wc -l)
empty=$(cat "$work"/c*.empty 2>/dev/null | wc -l)
answers=$(wc -l <"$work/answered")
posted=$(cat "$work"/backend*.log | grep -c '^posted .*data=body-c')
posted_distinct=$(cat "$work"/backend*.log | sed -n 's/^posted .*data=\(body-c[0-9-]*\) .*/\1/p' | sort -u | wc -l)
answered_by_3=$(grep -c '^answered ' "$work/backend3.log")
answered_by_2=$(grep -c '^answered ' "$work/backend2.log")
echo "requests: $answers of $total done in $(awk "BEGIN{printf \"%.1f\", $ended - $started}") s"
# shellcheck disable=SC2086
shown_options=$(echo $mount_options)
echo "tickets: $issued issued, $distinct distinct, $((issued - distinct)) repeated, $empty empty (mount options: ${shown_options:-default})"
echo "posted bodies: $posted taken, $posted_distinct distinct, of $((clients * 2))"
echo "answers written: $answered_by_3 by back-end 1, $answered_by_2 by back-end 2"
picked=$(cat "$work"/c*.picked 2>/dev/null | wc -l)
echo "answers picked up by the killed host and never sent: $picked $(cat "$work"/c*.picked 2>/dev/null | tr '\n' ' ')"
errors=$(cat "$work"/c*.errors 2>/dev/null | wc -l)
[ "$errors" -eq 0 ] || { head -20 "$work"/c*.errors >&2; fail "$errors requests lost or crossed"; }
[ "$answers" -eq "$total" ] || fail "$answers of $total requests done"
# At most the polls in flight on the killed host when it died.
[ "$picked" -le $((clients / 2)) ] || fail "$picked answers taken away by the killed host"
[ "$posted" -eq $((clients * 2)) ] && [ "$posted_distinct" -eq "$posted" ] \
  || fail "posted bodies: $posted taken, $posted_distinct distinct, of $((clients * 2))"
sleep 1
# A request host 1 had numbered and written, but whose wait page it had not
# sent when it was killed, reached no client (nginx sent the client's
# request again to host 2, which gave it another ticket): the back-end
# answers it and the answer stays unread, as for a browser closed before
# its answer came. Known and counted apart, like the answers above, when no
# client was ever given its ticket; any other request file left is lost.
orphans=""
leftover=0
for request in $(ls "$work/m1/$root/in" | sed -n 's/\.req$//p'); do
  if [ "$kill_host" = 1 ] && ! cut -d' ' -f1 "$work/tickets" | grep -qx "$request"; then
    orphans="$orphans $request"
  else
    leftover=$((leftover + 1))
  fi
done
echo "requests the killed host numbered but never answered to a client:${orphans:- none}"
[ "$leftover" -eq 0 ] || fail "$leftover request files left in in/: $(ls "$work/m1/$root/in")"
# shellcheck disable=SC2086
[ "$(echo $orphans | wc -w)" -le $((clients / 2)) ] || fail "requests orphaned by the kill:$orphans"
[ ! -e "$work/m1/$root/dudarovuvadu.cnt.in.lock" ] || fail "the in counter's lock is left"
[ "${SCALEOUT_ALLOW_REPEATS:-0}" = 1 ] || [ "$distinct" -eq "$issued" ] \
  || fail "$((issued - distinct)) tickets handed out twice"
echo "PASS"
