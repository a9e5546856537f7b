#!/usr/bin/env bash
# Benchmark of the host, the module and a back-end that answers at once, with
# wrk on loopback, each figure beside its yardstick: nginx serving the same
# file statically, and the single-threaded loop of the ticket lock protocol.
# Prints figures and ratios; it is not a test and asserts nothing. When
# build/mod_dudarovuvadu.so and apache2 are there, answer delivery is also
# measured through Apache httpd against httpd serving the same file itself.
#
#   bench/run-bench.sh            env: DUDAROVUVADU_BUILD_DIR (default: build),
#                                      DURATION (seconds per run, default 10)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${DUDAROVUVADU_BUILD_DIR:-$repo/build}"
duration="${DURATION:-10}"
for tool in wrk nginx curl awk; do
  command -v "$tool" >/dev/null || [[ -x "/usr/sbin/$tool" ]] ||
    { echo "run-bench: $tool is missing (Debian package: ${tool/nginx/nginx-light})" >&2; exit 1; }
done
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
for binary in dudarovuvadu.so dudarovuvadu-serve dudarovuvadu-backend bench/bench_lock_protocol_loop \
  bench/bench_module_poll; do
  [[ -x "$build/$binary" || -f "$build/$binary" ]] ||
    { echo "run-bench: $build/$binary is missing; build first" >&2; exit 1; }
done

work="$(mktemp -d /tmp/dudarovuvadu-bench.XXXXXX)"
root="$work/root"
mkdir -p "$root"/{in,out,traces,post,rights,events,module,docs} "$work/nginx" "$work/loop"/{in,out}
cp "$build/dudarovuvadu.so" "$root/module/"
printf '%s\r\n' "$root" > "$root/module/dudarovuvadu.dir"
# The documents: one of 10 MB for getfiledata, and enough small ones that the
# basket page (one row per document) comes to about 4 KB.
head -c $((10 * 1024 * 1024)) /dev/urandom > "$root/docs/big.bin"
for i in $(seq 1 6); do printf 'document %d\n' "$i" > "$root/docs/doc$i.pdf"; done
# nginx's workers drop root rights: let them read the tree.
chmod -R a+rX "$work"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

"$build/dudarovuvadu-backend" --root "$root" --docs "$root/docs" > "$work/backend.log" 2>&1 &
pids+=($!)
# One load generator is one client: the per-client request rate is off, so
# the figures are the host's, not the limit's.
"$build/dudarovuvadu-serve" --module "$root/module/dudarovuvadu.so" --listen 127.0.0.1:0 \
  --quiet --rate-limit 0 > "$work/host.log" 2>&1 &
host_pid=$!
pids+=($host_pid)
port=""
for _ in $(seq 1 100); do
  port="$(sed -n 's/^dudarovuvadu-serve: listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/host.log")"
  [[ -n "$port" ]] && break
  sleep 0.1
done
[[ -n "$port" ]] || { echo "run-bench: the host did not start:" >&2; cat "$work/host.log" >&2; exit 1; }
base="http://127.0.0.1:$port/scripts/dudarovuvadu.dll"

# Runs a request through the wait page until the back-end's answer comes;
# prints the ticket.
answered_ticket() {
  local first ticket
  first="$(curl -s "$base?DoCommand?Logon=bench&Command=$1&P1=&P2=&P3=")"
  ticket="$(printf '%s' "$first" | sed -n 's/.*&p1=\([0-9]*\)&.*/\1/p' | head -1)"
  [[ -n "$ticket" ]] || { echo "run-bench: no ticket in: $first" >&2; exit 1; }
  for _ in $(seq 1 100); do
    [[ -e "$root/out/$ticket.rdy" ]] && break
    sleep 0.05
  done
  curl -s -o /dev/null "$base?DoCommand?Logon=bench&Command=$1&P1=$ticket&P2=&P3="
  echo "$ticket"
}

# wrk THREADS CONNECTIONS URL [SCRIPT] -> "requests bytes micros errors p99-micros"
run_wrk() {
  wrk -t"$1" -c"$2" -d"${duration}s" -s "$repo/bench/${4:-report.lua}" "$3" |
    sed -n 's/^RESULT requests=\([0-9]*\) bytes=\([0-9]*\) micros=\([0-9]*\) errors=\([0-9]*\) p99=\([0-9]*\)$/\1 \2 \3 \4 \5/p'
}
ms() { awk -v us="$1" 'BEGIN { printf "%.2f", us / 1000 }'; }
per_second() { awk -v n="$1" -v us="$2" 'BEGIN { printf "%.1f", n / (us / 1e6) }'; }
mb_per_second() { awk -v b="$1" -v us="$2" 'BEGIN { printf "%.1f", b / 1048576 / (us / 1e6) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

# nginx, serving the answer folder and the documents as static files.
nginx_port="$(awk -v p="$port" 'BEGIN { srand(); print 20000 + int(rand() * 20000) }')"
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:$nginx_port;
    location /out/ { root $root; }
    location /docs/ { root $root; }
  }
}
CONF
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
pids+=($!)
for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$nginx_port/" && break; sleep 0.1; done

echo "Benchmark: wrk on loopback, ${duration} s per run, $(nproc) cores"
echo

# The lock protocol's bound, measured first while the servers are idle.
loop_rps="$("$build/bench/bench_lock_protocol_loop" "$work/loop" "$duration")"

# 1. Answer delivery: polls of a ready basket answer.
basket="$(answered_ticket getqvbasket)"
basket_size="$(stat -c %s "$root/out/$basket.htm")"
poll_url="$base?DoCommand?Logon=bench&Command=getqvbasket&P1=$basket&P2=&P3="
read -r h_req h_bytes h_us h_err h_p99 < <(run_wrk 2 16 "$poll_url")
read -r n_req n_bytes n_us n_err n_p99 < <(run_wrk 2 16 "http://127.0.0.1:$nginx_port/out/$basket.htm")
# The host's own ceiling: Default, which touches no file, through the host.
read -r d_req d_bytes d_us d_err d_p99 < <(run_wrk 2 16 "$base")
h_rps="$(per_second "$h_req" "$h_us")"
n_rps="$(per_second "$n_req" "$n_us")"
d_rps="$(per_second "$d_req" "$d_us")"
printf 'Answer delivery (basket answer of %d bytes, 2 threads, 16 connections)\n' "$basket_size"
printf '  host  %10s req/s  p99 %8s ms  (%s errors)\n  nginx %10s req/s  p99 %8s ms  (%s errors)\n  ratio %10s   (target >= 0.8)\n' \
  "$h_rps" "$(ms "$h_p99")" "$h_err" "$n_rps" "$(ms "$n_p99")" "$n_err" "$(ratio "$h_rps" "$n_rps")"
printf '  Default through the host (no file touched) %s req/s, %s x nginx: the host without spool work (target >= 1.0)\n' \
  "$d_rps" "$(ratio "$d_rps" "$n_rps")"

# Allocations per poll in the host process, the module's own included: a
# uprobe on libc's malloc (operator new calls it) counted while wrk polls.
# Needs root and perf (Debian linux-perf).
host_allocations_per_poll() {
  local libc probe requests calls
  libc="$(ldd "$build/dudarovuvadu-serve" | awk '$1 ~ /^libc\.so/ { print $3 }')"
  if [[ "$(id -u)" -ne 0 || -z "$libc" ]] || ! command -v perf >/dev/null; then
    echo "n/a (needs root and perf)"; return
  fi
  probe="$(perf probe -x "$libc" --add malloc 2>&1 | sed -n 's/^[[:space:]]*\(probe_[a-z_]*:malloc\).*/\1/p' | head -1)"
  [[ -n "$probe" ]] || probe="probe_libc:malloc"
  requests="$(perf stat -x, -o "$work/mallocs.csv" -e "$probe" -p "$host_pid" -- \
    wrk -t1 -c4 -d3s -s "$repo/bench/report.lua" "$poll_url" |
    sed -n 's/^RESULT requests=\([0-9]*\) .*/\1/p')"
  perf probe -q --del "$probe" 2>/dev/null || true
  calls="$(awk -F, 'NR > 0 && $1 ~ /^[0-9]+$/ { print $1; exit }' "$work/mallocs.csv")"
  if [[ -z "$calls" || -z "$requests" || "$requests" -eq 0 ]]; then echo "n/a (perf counted nothing)"; return; fi
  awk -v c="$calls" -v r="$requests" 'BEGIN { printf "%.1f", c / r }'
}
host_allocations="$(host_allocations_per_poll)"
printf '  allocations per poll in the host process, the module included: %s (the host'"'"'s own below)\n' \
  "$host_allocations"
# System calls per poll in the host process, the module's included: the
# raw_syscalls:sys_enter tracepoint counted while wrk polls.
host_syscalls_per_poll() {
  local requests calls
  if [[ "$(id -u)" -ne 0 ]] || ! command -v perf >/dev/null; then
    echo "n/a (needs root and perf)"; return
  fi
  requests="$(perf stat -x, -o "$work/syscalls.csv" -e raw_syscalls:sys_enter -p "$host_pid" -- \
    wrk -t1 -c4 -d3s -s "$repo/bench/report.lua" "$poll_url" |
    sed -n 's/^RESULT requests=\([0-9]*\) .*/\1/p')"
  calls="$(awk -F, '$1 ~ /^[0-9]+$/ { print $1; exit }' "$work/syscalls.csv")"
  if [[ -z "$calls" || -z "$requests" || "$requests" -eq 0 ]]; then echo "n/a (perf counted nothing)"; return; fi
  awk -v c="$calls" -v r="$requests" 'BEGIN { printf "%.1f", c / r }'
}
printf '  system calls per poll in the host process, the module included: %s\n\n' \
  "$(host_syscalls_per_poll)"

# 2. New requests: every request takes a ticket; the back-end answers each.
read -r t_req t_bytes t_us t_err t_p99 < <(run_wrk 2 8 "$base?DoCommand?Logon=bench&Command=echo&P1=&P3=" new_requests.lua)
t_rps="$(per_second "$t_req" "$t_us")"
printf 'New requests (a new ticket each, all different, 2 threads, 8 connections)\n'
printf '  host                 %10s req/s  (%s errors)\n  lock protocol bound  %10s req/s  (one thread: lock and counter operations of a ticket, 1 ms sleep)\n  ratio                %10s   (target >= 0.85)\n\n' \
  "$t_rps" "$t_err" "$loop_rps" "$(ratio "$t_rps" "$loop_rps")"

# 2b. Mixed: new requests and polls of a ready answer at the same time; the
# polls must not queue behind the new requests' lock waits.
mixed="$work/mixed"
run_wrk 1 8 "$base?DoCommand?Logon=bench&Command=echo&P1=&P3=" new_requests.lua > "$mixed.new" &
mixed_pid=$!
read -r x_req x_bytes x_us x_err x_p99 < <(run_wrk 1 8 "$poll_url")
wait "$mixed_pid"
read -r y_req y_bytes y_us y_err y_p99 < "$mixed.new"
printf 'Mixed (new requests and polls at once, 1 thread and 8 connections each)\n'
printf '  new requests %10s req/s  p99 %8s ms  (%s errors)\n  polls        %10s req/s  p99 %8s ms  (%s errors)\n\n' \
  "$(per_second "$y_req" "$y_us")" "$(ms "$y_p99")" "$y_err" "$(per_second "$x_req" "$x_us")" "$(ms "$x_p99")" "$x_err"

# 3. getfiledata of 10 MB.
answered_ticket getlist > /dev/null   # writes rights/~bench.lst
big_size="$(stat -c %s "$root/docs/big.bin")"
hwm_before="$(awk '/^VmHWM/ { print $2 }' "/proc/$host_pid/status")"
connections=4
read -r g_req g_bytes g_us g_err g_p99 < <(run_wrk 2 "$connections" \
  "$base?DoCommand?Logon=bench&Command=getfiledata&P1=$root/docs/big.bin&P2=0&P3=$big_size")
hwm_after="$(awk '/^VmHWM/ { print $2 }' "/proc/$host_pid/status")"
read -r m_req m_bytes m_us m_err m_p99 < <(run_wrk 2 "$connections" "http://127.0.0.1:$nginx_port/docs/big.bin")
g_mbs="$(mb_per_second "$g_bytes" "$g_us")"
m_mbs="$(mb_per_second "$m_bytes" "$m_us")"
per_request="$(awk -v a="$hwm_after" -v b="$hwm_before" -v c="$connections" -v s="$big_size" \
  'BEGIN { printf "%.2f", (a - b) * 1024 / c / s }')"
printf 'getfiledata of a 10 MB file (2 threads, %d connections)\n' "$connections"
printf '  host  %10s MB/s  (%s responses, %s errors)\n  nginx %10s MB/s  (%s responses)\n  ratio %10s   (target >= 0.6)\n' \
  "$g_mbs" "$g_req" "$g_err" "$m_mbs" "$m_req" "$(ratio "$g_mbs" "$m_mbs")"
printf '  host peak memory (VmHWM) %d kB before, %d kB after: %s x the file size per request in flight (target < 3)\n' \
  "$hwm_before" "$hwm_after" "$per_request"

# 4. Host memory per download in flight: 4 clients fetch a 1 GiB file at once.
head -c $((1024 * 1024 * 1024)) /dev/zero > "$root/docs/huge.bin"
huge_size="$(stat -c %s "$root/docs/huge.bin")"
answered_ticket getlist > /dev/null   # the rights list now names huge.bin too
hwm_before="$(awk '/^VmHWM/ { print $2 }' "/proc/$host_pid/status")"
downloads=()
for _ in 1 2 3 4; do
  curl -s -o /dev/null -w '%{size_download}\n' \
    "$base?DoCommand?Logon=bench&Command=getfiledata&P1=$root/docs/huge.bin&P2=0&P3=$huge_size" \
    >> "$work/huge.sizes" &
  downloads+=($!)
done
for pid in "${downloads[@]}"; do wait "$pid" || true; done
hwm_after="$(awk '/^VmHWM/ { print $2 }' "/proc/$host_pid/status")"
rm -f "$root/docs/huge.bin"
printf '\nDownloads of a 1 GiB file, 4 at once (sizes received: %s)\n' "$(paste -sd, "$work/huge.sizes")"
printf '  host peak memory (VmHWM) %d kB before, %d kB after: %s MiB per download in flight (target < 64)\n' \
  "$hwm_before" "$hwm_after" "$(awk -v a="$hwm_after" -v b="$hwm_before" 'BEGIN { printf "%.1f", (a - b) / 1024 / 4 }')"

# 5. The module's own cost, in process: its entry point called with the
# in-memory server the hosts share, no HTTP, one thread. System calls per
# call counted with strace over two loops of polls, so the start-up cancels.
module_figures="$("$build/bench/bench_module_poll" "$build/dudarovuvadu.so" "$duration")"
figure() { printf '%s\n' "$module_figures" | awk -v k="$1" '$1 == k { print $2 " us wall, " $3 " us cpu" }'; }
syscalls_per_call() {
  local calls
  if ! command -v strace >/dev/null; then echo "n/a (strace missing)"; return; fi
  calls_of() {
    strace -c -f -o "$work/strace.txt" "$build/bench/bench_module_poll" "$build/dudarovuvadu.so" \
      --only "$1" "$2" && awk '$NF == "total" { print $4 }' "$work/strace.txt"
  }
  calls="$(( $(calls_of "$1" 2000) - $(calls_of "$1" 1000) ))"
  awk -v c="$calls" 'BEGIN { printf "%.1f", c / 1000 }'
}
printf '\nModule cost per call, in process (no HTTP, one thread)\n'
printf '  poll of a ready answer %28s  %6s system calls  (target < 10 us, <= 5 calls)\n' \
  "$(figure poll)" "$(syscalls_per_call poll)"
printf '  Default                %28s  %6s system calls\n' "$(figure default)" \
  "$(syscalls_per_call default)"
printf '  new request            %28s  %6s system calls  (the lock protocol sleeps 1 ms)\n' \
  "$(figure new)" "$(syscalls_per_call new)"
printf '  one stat() call        %28s  (the floor of each system call above)\n' "$(figure syscall)"
value() { printf '%s\n' "$module_figures" | awk -v k="$1" '$1 == k { print $2 }'; }
printf '  poll: own work %s us (target < 1 us), %s allocations inside the module (target < 15)\n' \
  "$(value poll-own-work)" "$(value poll-allocations)"
# The host's own: the host process's count less the module's in process.
if [[ "$host_allocations" =~ ^[0-9.]+$ ]]; then
  printf '  allocations per poll in the host, the module'"'"'s taken out: %s (target <= 20)\n' \
    "$(awk -v h="$host_allocations" -v m="$(value poll-allocations)" 'BEGIN { printf "%.1f", h - m }')"
fi

# 6. Answer delivery through Apache httpd (mpm_event) and mod_dudarovuvadu,
#    against httpd serving the same answer file statically and against nginx.
apache_bin="$(command -v apache2 || echo /usr/sbin/apache2)"
if [[ ! -f "$build/mod_dudarovuvadu.so" || ! -x "$apache_bin" ]]; then
  printf '\nApache httpd: skipped (%s or %s is missing)\n' "$build/mod_dudarovuvadu.so" "$apache_bin"
  exit 0
fi
apache_modules="$(apxs -q LIBEXECDIR 2>/dev/null || echo /usr/lib/apache2/modules)"
apache_port=$((nginx_port + 1))
mkdir -p "$work/apache"
apache_user=""
if [[ "$(id -u)" -eq 0 ]]; then
  # httpd's children drop root rights: the module keeps its spool files as www-data.
  chown -R www-data:www-data "$root"
  apache_user=$'User www-data\nGroup www-data'
fi
cat > "$work/apache/httpd.conf" <<CONF
ServerRoot "$work/apache"
Listen 127.0.0.1:$apache_port
ServerName 127.0.0.1
PidFile "$work/apache/httpd.pid"
DefaultRuntimeDir "$work/apache"
ErrorLog "$work/apache/error.log"
LoadModule mpm_event_module "$apache_modules/mod_mpm_event.so"
LoadModule alias_module "$apache_modules/mod_alias.so"
LoadModule authz_core_module "$apache_modules/mod_authz_core.so"
<Location "/">
  Require all granted
</Location>
LoadModule dudarovuvadu_module "$build/mod_dudarovuvadu.so"
$apache_user
StartServers 2
ServerLimit 2
ThreadsPerChild 16
MaxRequestWorkers 32
KeepAlive On
MaxKeepAliveRequests 0
DocumentRoot "$work/apache"
Alias /out/ "$root/out/"
DudarovuvaduExtension "$root/module/dudarovuvadu.so"
<Location "/scripts/dudarovuvadu.dll">
  SetHandler dudarovuvadu
</Location>
CONF
# In a session of its own: httpd signals its whole process group when it stops.
setsid "$apache_bin" -f "$work/apache/httpd.conf" -DFOREGROUND &
pids+=($!)
for _ in $(seq 1 100); do
  curl -s -o /dev/null "http://127.0.0.1:$apache_port/" && break
  sleep 0.1
done
base="http://127.0.0.1:$apache_port/scripts/dudarovuvadu.dll"
a_basket="$(answered_ticket getqvbasket)"
a_size="$(stat -c %s "$root/out/$a_basket.htm")"
read -r a_req a_bytes a_us a_err a_p99 < <(run_wrk 2 16 "$base?DoCommand?Logon=bench&Command=getqvbasket&P1=$a_basket&P2=&P3=")
read -r s_req s_bytes s_us s_err s_p99 < <(run_wrk 2 16 "http://127.0.0.1:$apache_port/out/$a_basket.htm")
read -r x_req x_bytes x_us x_err x_p99 < <(run_wrk 2 16 "http://127.0.0.1:$nginx_port/out/$a_basket.htm")
a_rps="$(per_second "$a_req" "$a_us")"
s_rps="$(per_second "$s_req" "$s_us")"
x_rps="$(per_second "$x_req" "$x_us")"
printf '\nAnswer delivery through Apache httpd, mpm_event (basket answer of %d bytes, 2 threads, 16 connections)\n' "$a_size"
printf '  httpd + module   %10s req/s  (%s errors)\n  httpd static     %10s req/s  (%s errors)\n  nginx static     %10s req/s  (%s errors)\n' \
  "$a_rps" "$a_err" "$s_rps" "$s_err" "$x_rps" "$x_err"
printf '  module / httpd static %6s   (target >= 0.8)\n  module / nginx        %6s\n' \
  "$(ratio "$a_rps" "$s_rps")" "$(ratio "$a_rps" "$x_rps")"
