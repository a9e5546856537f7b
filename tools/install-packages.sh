#!/bin/sh
# Installs the Debian packages the build, the tests, the demo, the
# benchmark and CI's fuzzing and coverage steps need. Does nothing when they
# are all there already.
set -eu

PACKAGES="
  cmake g++ make pkg-config binutils
  libgtest-dev libboost-dev libssl-dev libcli11-dev nlohmann-json3-dev
  curl chromium wrk nginx-light openssl
  dpkg-dev file lintian systemd strace
  clang-14 libclang-rt-14-dev gcovr
  apache2 apache2-dev
  glusterfs-server glusterfs-client
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 googletest
  help2man wixl msitools prometheus-cpp-dev logrotate python3
"

missing=""
for package in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0

as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
export DEBIAN_FRONTEND=noninteractive
$as_root apt-get update -qq
# shellcheck disable=SC2086
$as_root apt-get install -y -qq --no-install-recommends $missing
