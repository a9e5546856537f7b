#!/bin/sh
# Runs every fuzz target of a fuzz build for a bounded time, starting from the
# committed seeds, and fails on the first finding with its reproducer shown.
#   fuzz/run-fuzzers.sh [build-dir] [seconds-per-target] [target...]
# New inputs go to <build-dir>/fuzz-work/<target>/corpus, findings to
# <build-dir>/fuzz-work/<target>/; the committed seeds are only read.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build-fuzz}" && pwd)
seconds=${2:-60}
[ $# -gt 2 ] && shift 2 || set --
targets=${*:-"fuzz_request fuzz_backend_files fuzz_decoders fuzz_response_split fuzz_request_head"}

status=0
for target in $targets; do
  work=$build/fuzz-work/$target
  rm -rf "$work" && mkdir -p "$work/corpus"
  echo "== $target: ${seconds}s"
  # -timeout: an input running 30 s is a hang (the longest wait the module
  # may take is the 10 s of a stale lock file). Findings are written as
  # $work/crash-*, leak-*, timeout-*, oom-*.
  if ! (cd "$work" && TMPDIR="$work" ASAN_OPTIONS=detect_leaks=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/fuzz/$target" -dict="$top/fuzz/dudarovuvadu.dict" -max_total_time="$seconds" \
        -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" \
        corpus "$top/fuzz/corpus/$target" >"$work/log" 2>&1); then
    status=1
    tail -n 60 "$work/log"
    for finding in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
      [ -f "$finding" ] || continue
      echo "-- reproducer $finding (run: $build/fuzz/$target $finding), base64:"
      base64 "$finding"
    done
  else
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
      "$work/log" || true
  fi
done
exit $status
