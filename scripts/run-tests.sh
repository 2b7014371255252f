#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-test/ and runs the whole test suite through ctest. Any sanitizer
# report aborts the test that caused it, which fails the run.
#
# The MySQL back end's tests run against a throwaway MariaDB server started
# here (scripts/mariadb-test-server.sh) and stopped when the run ends, however
# it ends. Without QV_TEST_MYSQL those tests skip.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BUILD_TESTS=ON >/dev/null
cmake --build build-test -j "$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mysql_dir="$(mktemp -d /tmp/qv-mariadb-XXXXXX)"
mysql_script="$(pwd)/scripts/mariadb-test-server.sh"
cleanup() {
  "$mysql_script" stop "$mysql_dir" || true
  rm -rf "$mysql_dir"
}
trap cleanup EXIT
QV_TEST_MYSQL="$("$mysql_script" start "$mysql_dir")"
export QV_TEST_MYSQL QV_TEST_MYSQL_DIR="$mysql_dir"
cd build-test
ctest --output-on-failure -j "$(nproc)" "$@"
