#!/bin/sh
# New requests and polls through two front ends on a GlusterFS volume (the
# topology of tests/scaleout/scaleout_test.sh), beside one host on local
# disk, in one run. Needs root, /dev/fuse and glusterd, like the test.
#   bench/scaleout-bench.sh [SECONDS]   (default 10 per figure)
# DUDAROVUVADU_BUILD_DIR names the build (default build).
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
SCALEOUT_BENCH_SECONDS=${1:-10} exec bash "$repo/tests/scaleout/scaleout_test.sh" \
  "${DUDAROVUVADU_BUILD_DIR:-$repo/build}"
