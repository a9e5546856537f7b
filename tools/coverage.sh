#!/bin/sh
# Line and branch coverage of the module's own code by its in-process tests
# (gateway, spool and command tests: whole requests through the fake server
# included): builds them with gcov instrumentation, runs them and prints the
# summary of gateway/, spool/, commands/, platform/ and portal/.
# The host, back-end and browser tests are left out: they cover the hosts
# and tools, and run in the ordinary and sanitizer builds.
#   tools/coverage.sh [build-dir]        (default build-coverage)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-coverage}

cmake -S "$top" -B "$build" -DDUDAROVUVADU_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j2 --target gateway_tests spool_tests trace_tests posted_spool_tests \
  commands_query_unit_tests commands_query_request_tests commands_posted_tests platform_tests \
  portal_tests
find "$build" -name '*.gcda' -delete
for directory in platform gateway spool commands portal; do
  ctest --test-dir "$build/tests/$directory" -j2 --output-on-failure
done

filters=""
for directory in gateway spool commands platform portal; do
  [ -d "$top/$directory" ] && filters="$filters --filter $top/$directory/"
done
# Branches the compiler adds for exceptions thrown inside the standard
# library (allocation failures and the like) are left out: no test takes them.
options="--root $top $filters --exclude-throw-branches --exclude-unreachable-branches"
# shellcheck disable=SC2086
gcovr $options --branches --txt "$build/coverage-branches.txt" "$build"
# shellcheck disable=SC2086
gcovr $options --print-summary --txt "$build/coverage-lines.txt" "$build"
echo "per file, with what is missed: $build/coverage-lines.txt, $build/coverage-branches.txt"
