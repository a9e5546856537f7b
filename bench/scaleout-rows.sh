# Benchmark rows of several front ends on one shared spool, sourced by
# tests/scaleout/scaleout_test.sh once its topology runs (two hosts on two
# GlusterFS mounts behind nginx, two back-ends): new requests and polls of
# a ready answer through the two front ends, beside one host on local disk
# with its own back-end, in the same run. Prints figures; checks nothing.
# Uses from the test: $work $build $address $base start().
seconds=$SCALEOUT_BENCH_SECONDS
command -v wrk >/dev/null 2>&1 || fail "no wrk (tools/install-packages.sh)"
repo=$(cd "$(dirname "$0")/../.." && pwd)

mkdir -p "$work/local/root"/{in,out,traces,post,rights,events} "$work/h3"
cp "${SCALEOUT_MODULE:-$build/dudarovuvadu.so}" "$work/h3/dudarovuvadu.so"
printf '%s\r\n' "$work/local/root" >"$work/h3/dudarovuvadu.dir"
start "$work/host3.log" "$build/dudarovuvadu-serve" --module "$work/h3/dudarovuvadu.so" \
  --listen "$address:8000" --rate-limit 0
start "$work/backend-local.log" "$build/dudarovuvadu-backend" --root "$work/local/root" \
  --docs "$work/docs"
local_base="http://$address:8000/scripts/dudarovuvadu.dll"
for _ in $(seq 100); do
  curl -s -o /dev/null "$local_base" && break
  sleep 0.1
done

# A basket answer keeps its ready flag: every poll of it is answered.
basket_ticket() {
  local url="$1?DoCommand?Logon=bench&Command=getqvbasket&P1=&P2=&P3=" page ticket=""
  for _ in $(seq 100); do
    page=$(curl -s "$url")
    case $page in
      *"var target="*)
        url=$(printf '%s' "$page" | sed -n 's/^var target="\(.*\)";\r*$/\1/p')
        ticket=$(printf '%s' "$url" | sed -n 's/.*&p1=\([^&]*\)&.*/\1/p')
        sleep 0.1
        ;;
      *) break ;;
    esac
  done
  echo "$ticket"
}

# wrk CONNECTIONS URL [SCRIPT] -> requests per second
rate() {
  wrk -t2 -c"$1" -d"${seconds}s" -s "$repo/bench/${3:-report.lua}" "$2" |
    awk '/^RESULT/ { for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
                     printf "%.0f req/s (%d errors)", v["requests"] / (v["micros"] / 1e6), v["errors"] }'
}

echo "Scale-out benchmark: wrk on loopback, ${seconds} s per run, $(nproc) cores"
for target in "two front ends on GlusterFS|$base" "one host on local disk|$local_base"; do
  name=${target%%|*}
  url=${target#*|}
  ticket=$(basket_ticket "$url")
  [ -n "$ticket" ] || fail "no basket answer from $name"
  new=$(rate 8 "$url?DoCommand?Logon=bench&Command=echo&P1=&P3=" new_requests.lua)
  polls=$(rate 16 "$url?DoCommand?Logon=bench&Command=getqvbasket&P1=$ticket&P2=&P3=")
  printf '  %-28s new requests %-26s polls %s\n' "$name" "$new" "$polls"
done
