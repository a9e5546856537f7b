#!/bin/sh
# The Debian package, as an administrator gets it: builds it, has lintian
# check it, looks at what it installs, then extracts it into a temporary
# folder and runs the packaged host and back-end from there against a
# temporary install root until a request is answered end to end. The
# service units are checked with systemd-analyze when systemd is installed.
#   package_test.sh BUILD_DIR VERSION
set -eu

build=$1
version=$2
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -dumpmachine)
deb="$build/dudarovuvadu_${version}_${arch}.deb"

work=$(mktemp -d)
pids=""
cleanup() {
  for pid in $pids; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# 1. The package builds, under its exact name.
rm -f "$deb"
if ! cmake --build "$build" --target package >"$work/package.log" 2>&1; then
  cat "$work/package.log" >&2
  fail "cmake --build $build --target package"
fi
[ -f "$deb" ] || fail "no $deb; built: $(ls "$build"/*.deb 2>/dev/null)"

# 2. lintian finds no error.
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 \
  || { cat "$work/lintian.log" >&2; fail "lintian reports errors"; }
cat "$work/lintian.log"
if grep -q 'no-manual-page' "$work/lintian.log"; then
  fail "a program has no manual page"
fi

# 3. What it installs, its conffiles, maintainer scripts and dependencies.
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
for path in ./usr/lib/dudarovuvadu/dudarovuvadu.so ./usr/lib/dudarovuvadu/dudarovuvadu.dir \
            ./usr/sbin/dudarovuvadu-serve ./usr/sbin/dudarovuvadu-backend \
            ./lib/systemd/system/dudarovuvadu-serve.service \
            ./lib/systemd/system/dudarovuvadu-backend.service ./etc/default/dudarovuvadu \
            ./usr/share/doc/dudarovuvadu/README.md \
            ./usr/share/doc/dudarovuvadu/backend-contract.md \
            ./usr/share/doc/dudarovuvadu/copyright ./usr/share/doc/dudarovuvadu/changelog.gz \
            ./usr/share/man/man8/dudarovuvadu-serve.8.gz \
            ./usr/share/man/man8/dudarovuvadu-backend.8.gz ./etc/logrotate.d/dudarovuvadu \
            "./usr/lib/$multiarch/libdudarovuvadu-backend-kit.so.1" \
            "./usr/lib/$multiarch/libdudarovuvadu-backend-kit.so" \
            ./usr/include/dudarovuvadu/backend_kit.h \
            ./usr/lib/python3/dist-packages/dudarovuvadu_backend_kit.py \
            ./usr/share/doc/dudarovuvadu/backend-kit.md \
            ./usr/share/doc/dudarovuvadu/examples/backend.py; do
  grep -qx "$path" "$work/contents" || fail "$path is not in the package"
done
if grep -q '^\./var/lib/dudarovuvadu' "$work/contents"; then
  fail "the package ships the install root; the spool must survive removal"
fi
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/default/dudarovuvadu "$work/control/conffiles" || fail "options file is no conffile"
grep -qx /etc/logrotate.d/dudarovuvadu "$work/control/conffiles" \
  || fail "the log rotation file is no conffile"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script is not valid sh"
done
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in *adduser*) ;; *) fail "Depends lacks adduser: $depends" ;; esac
case "$depends" in *libssl*) ;; *) fail "Depends lacks libssl (the host's TLS): $depends" ;; esac
# The back-end kit's library: its SONAME, a shlibs entry naming this
# package, the ldconfig trigger, and only its dbk_ calls exported.
grep -q '^libdudarovuvadu-backend-kit 1 dudarovuvadu ' "$work/control/shlibs" \
  || fail "no shlibs entry for the back-end kit: $(cat "$work/control/shlibs" 2>/dev/null)"
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" || fail "no ldconfig trigger"

# 4. The units: every option known, every program there (under the extracted
#    tree), with the sandbox the services rely on.
root_fs="$work/fs"
dpkg-deb -x "$deb" "$root_fs"
[ "$(head -n 1 "$root_fs/usr/lib/dudarovuvadu/dudarovuvadu.dir")" = /var/lib/dudarovuvadu ] \
  || fail "the pointer file does not name /var/lib/dudarovuvadu"
kit_library="$root_fs/usr/lib/$multiarch/libdudarovuvadu-backend-kit.so.1"
readelf -d "$kit_library" | grep -q 'SONAME.*\[libdudarovuvadu-backend-kit.so.1\]' \
  || fail "the back-end kit has no SONAME libdudarovuvadu-backend-kit.so.1"
others=$(nm -D --defined-only "$kit_library" | awk '$3 !~ /^dbk_/ && $2 != "A" {print $3}')
[ -z "$others" ] || fail "the back-end kit exports more than its dbk_ calls: $others"
# The packaged programs run from the extracted tree: the stand-in back-end
# finds the packaged library there, as an installed one finds it in
# /usr/lib/$multiarch.
LD_LIBRARY_PATH="$root_fs/usr/lib/$multiarch"
export LD_LIBRARY_PATH
# The Python module loads the packaged library by its SONAME.
if command -v python3 >/dev/null 2>&1; then
  PYTHONPATH="$root_fs/usr/lib/python3/dist-packages" python3 -c \
    'import dudarovuvadu_backend_kit as kit; assert kit.escape_file_name("/a b") == "/a[20]b"' \
    || fail "the packaged Python module does not load the packaged library"
else
  echo "python3 not installed: the Python module not loaded"
fi
# The manual pages name their program, list its options and format cleanly.
for program in dudarovuvadu-serve dudarovuvadu-backend; do
  page="$root_fs/usr/share/man/man8/$program.8.gz"
  zcat "$page" | grep -q "^$program \\\\- " || fail "$program(8) has no NAME line"
  zcat "$page" | grep -q 'EXAMPLES' || fail "$program(8) has no examples"
  zcat "$page" | grep -q '^\\fB\\-\\-root\\fR\|^\\fB\\-\\-listen\\fR' \
    || fail "$program(8) lists no options"
  if command -v man >/dev/null 2>&1; then
    warnings=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$program(8) formats with warnings: $warnings"
  fi
done
for unit in dudarovuvadu-serve dudarovuvadu-backend; do
  file="$root_fs/lib/systemd/system/$unit.service"
  for directive in User=dudarovuvadu NoNewPrivileges=yes ProtectSystem=strict \
                   ReadWritePaths=/var/lib/dudarovuvadu PrivateTmp=yes \
                   EnvironmentFile=-/etc/default/dudarovuvadu; do
    grep -qx "$directive" "$file" || fail "$unit.service lacks $directive"
  done
done
# The host's service writes the access log into a folder systemd makes for
# it, and takes SIGHUP (from logrotate) to reopen it; the metrics stay on
# loopback by default.
serve_unit="$root_fs/lib/systemd/system/dudarovuvadu-serve.service"
grep -q '^ExecStart=.* --access-log /var/log/dudarovuvadu/access.log ' "$serve_unit" \
  || fail "the service passes no --access-log"
grep -qx 'LogsDirectory=dudarovuvadu' "$serve_unit" || fail "the service has no log folder"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$serve_unit" || fail "the service cannot reload"
grep -q '^SERVE_OPTIONS=".*--metrics-listen 127\.0\.0\.1:' "$root_fs/etc/default/dudarovuvadu" \
  || fail "the metrics are not on loopback by default"
grep -q 'kill-whom=main --signal=HUP dudarovuvadu-serve.service' \
  "$root_fs/etc/logrotate.d/dudarovuvadu" || fail "logrotate does not signal the host"
if command -v systemd-analyze >/dev/null 2>&1; then
  # Verified as copies whose programs are those of the extracted tree, so
  # the check that ExecStart names an executable means something here.
  mkdir "$work/units"
  for unit in dudarovuvadu-serve dudarovuvadu-backend; do
    sed "s|=/usr/sbin/|=$root_fs/usr/sbin/|" "$root_fs/lib/systemd/system/$unit.service" \
      >"$work/units/$unit.service"
  done
  systemd-analyze verify "$work/units/dudarovuvadu-serve.service" \
    "$work/units/dudarovuvadu-backend.service" >"$work/verify.log" 2>&1 \
    || { cat "$work/verify.log" >&2; fail "systemd-analyze verify"; }
  # verify reports some problems without failing: none may be there.
  if grep -q . "$work/verify.log"; then
    cat "$work/verify.log" >&2
    fail "systemd-analyze verify reports problems"
  fi
else
  echo "systemd-analyze not installed: units not verified"
fi

# 5. The packaged programs serve a request end to end. The pointer file of
#    the extracted module is pointed at a temporary install root.
spool="$work/spool"
for dir in in out traces post rights events; do mkdir -p "$spool/$dir"; done
mkdir -p "$work/documents"
printf 'packaged portal\n' >"$work/documents/packaged-report.txt"
printf '%s\n' "$spool" >"$root_fs/usr/lib/dudarovuvadu/dudarovuvadu.dir"

"$root_fs/usr/sbin/dudarovuvadu-backend" --root "$spool" --docs "$work/documents" \
  >"$work/backend.log" 2>&1 &
pids="$pids $!"

mkdir -p "$work/log"
# A random loopback address of its own, at port 8080: the wait page reloads
# over http only there (and on 80 and 8000).
address=""
attempt=0
while [ $attempt -lt 5 ]; do
  attempt=$((attempt + 1))
  candidate="127.$(( $(od -An -N1 -tu1 /dev/urandom) % 250 + 1 )).$(( $(od -An -N1 -tu1 /dev/urandom) % 250 + 1 )).$(( $(od -An -N1 -tu1 /dev/urandom) % 250 + 1 ))"
  "$root_fs/usr/sbin/dudarovuvadu-serve" --module "$root_fs/usr/lib/dudarovuvadu/dudarovuvadu.so" \
    --listen "$candidate:8080" --quiet --access-log "$work/log/access.log" \
    --metrics-listen "$candidate:0" >"$work/serve.log" 2>&1 &
  serve_pid=$!
  waited=0
  while [ $waited -lt 50 ]; do
    if grep -q 'listening on' "$work/serve.log"; then
      address=$candidate
      break
    fi
    kill -0 "$serve_pid" 2>/dev/null || break
    sleep 0.1
    waited=$((waited + 1))
  done
  if [ -n "$address" ]; then
    pids="$pids $serve_pid"
    break
  fi
  kill "$serve_pid" 2>/dev/null || true
  wait "$serve_pid" 2>/dev/null || true
done
[ -n "$address" ] || { cat "$work/serve.log" >&2; fail "the packaged host did not start"; }
grep -q 'loaded .*/usr/lib/dudarovuvadu/dudarovuvadu.so' "$work/serve.log" \
  || fail "the host did not load the packaged module"

url="http://$address:8080/scripts/dudarovuvadu.dll?DoCommand?Logon=anna&Command=getlist&P1=&P2=&P3="
page=$(curl -sS --max-time 5 "$url") || fail "no answer from the packaged host"
target=$(printf '%s' "$page" | sed -n 's/.*var target="\([^"]*\)".*/\1/p' | head -n 1 | sed 's/&amp;/\&/g')
[ -n "$target" ] || fail "no wait page: $page"
case "$target" in
  "http://$address:8080/scripts/dudarovuvadu.dll?DoCommand?"*) ;;
  *) fail "wait page reloads to $target" ;;
esac
answered=""
tries=0
while [ $tries -lt 50 ]; do
  page=$(curl -sS --max-time 5 "$target") || fail "no answer to $target"
  case "$page" in
    *'var target='*) sleep 0.2 ;;
    *) answered=yes; break ;;
  esac
  tries=$((tries + 1))
done
[ -n "$answered" ] || { cat "$work/backend.log" >&2; fail "no answer came after the wait page"; }
case "$page" in
  *packaged-report.txt*) ;;
  *) fail "the answer does not list the document: $page" ;;
esac
[ -z "$(ls "$spool/in")" ] || fail "request files left in in/: $(ls "$spool/in")"
# 6. The access log: a line per request with the command name only, moved
#    away by the package's own logrotate file (its paths and signal pointed
#    at this run), after which the host writes a fresh file.
sleep 0.3
grep -q "\"GET /scripts/dudarovuvadu.dll?DoCommand HTTP/1.1\" 200 " "$work/log/access.log" \
  || fail "no access log line: $(cat "$work/log/access.log")"
if grep -q 'Logon=' "$work/log/access.log"; then fail "the access log holds query values"; fi
if command -v logrotate >/dev/null 2>&1; then
  sed -e "s|/var/log/dudarovuvadu|$work/log|" -e '/^[[:space:]]*su /d' \
      -e "s|create 0640 dudarovuvadu dudarovuvadu|create 0640|" \
      -e "s|systemctl kill .*dudarovuvadu-serve.service|kill -HUP $serve_pid|" \
      "$root_fs/etc/logrotate.d/dudarovuvadu" >"$work/logrotate.conf"
  logrotate --force --state "$work/logrotate.state" "$work/logrotate.conf" \
    || fail "logrotate refused the package's rotation file"
  [ -f "$work/log/access.log.1" ] || fail "logrotate did not move the log: $(ls "$work/log")"
  curl -sS --max-time 5 -o /dev/null "http://$address:8080/scripts/dudarovuvadu.dll?Default" \
    || fail "no answer after the rotation"
  sleep 0.3
  grep -q 'dudarovuvadu.dll?Default ' "$work/log/access.log" 2>/dev/null \
    || fail "the host did not reopen its access log on SIGHUP"
  if grep -q 'dudarovuvadu.dll?Default ' "$work/log/access.log.1"; then
    fail "the host kept writing the rotated log"
  fi
else
  echo "logrotate not installed: rotation not run"
fi

# 7. The metrics listener counts the requests served.
metrics_port=$(sed -n 's/.*metrics on port \([0-9]*\).*/\1/p' "$work/serve.log" | head -n 1)
[ -n "$metrics_port" ] || fail "no metrics listener: $(cat "$work/serve.log")"
metrics=$(curl -sS --max-time 5 "http://$address:$metrics_port/metrics") || fail "no metrics"
requests=$(printf '%s\n' "$metrics" | sed -n 's/^dudarovuvadu_requests_total{class="2xx"} //p')
[ -n "$requests" ] && [ "${requests%%.*}" -ge 2 ] || fail "2xx requests counted: '$requests'"
echo "PASS: $deb"
