#!/usr/bin/env bash
# The test command. Runs, in this order:
#  -. a cheap check: the C++ lines changed against the main branch are
#     formatted as .clang-format says (scripts/check-format.sh);
#  0. the Debian package of a release build (scripts/build-deb.sh, build-deb/),
#     which the package tests of the next step check (QV_PACKAGE_DEB);
#  1. the whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer
#     (build-test/);
#  2. the whole suite again built with ThreadSanitizer (build-tsan/);
#  3. the fuzz targets over their corpora, a regression run of seconds
#     (build-fuzz/, clang; scripts/run-fuzz.sh --replay);
#  4. everything built with clang++ and its thread-safety analysis
#     (-Wthread-safety -Werror=thread-safety, build-clang/): a field used
#     without the lock its GUARDED_BY names, or a function called without
#     the lock its REQUIRES names, fails the build (base/thread_annotations.h).
#     A build only; its tests are those of the parts above.
# Any sanitizer report aborts the test that caused it, which fails the run.
# Every part runs even when an earlier one failed; the exit status is that of
# the first failure. Arguments go to both ctest runs (e.g. -R Listener).
# QV_TEST_PARTS picks parts (default "package asan tsan fuzz clang"; without
# "package" the package tests skip). The everyday loop while working:
#   QV_TEST_PARTS=asan scripts/run-tests.sh -R <regex>
#
# The MySQL back end's tests run against a throwaway MariaDB server started
# here (scripts/mariadb-test-server.sh) and stopped when the run ends, however
# it ends. Without QV_TEST_MYSQL those tests skip.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
parts="${QV_TEST_PARTS:-package asan tsan fuzz clang}"
# ccache keys on paths relative to the tree, so that another clone of the
# repository reuses the compile results of this one.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
scripts/install-deps.sh test
mysql_dir="$(mktemp -d /tmp/qv-mariadb-XXXXXX)"
mysql_script="$root/scripts/mariadb-test-server.sh"
cleanup() {
  "$mysql_script" stop "$mysql_dir" || true
  rm -rf "$mysql_dir"
}
trap cleanup EXIT
QV_TEST_MYSQL="$("$mysql_script" start "$mysql_dir")"
export QV_TEST_MYSQL QV_TEST_MYSQL_DIR="$mysql_dir"

status=0
fail() { [ "$status" -ne 0 ] || status=$1; }

echo "== Formatting of the lines changed against the main branch (scripts/check-format.sh)"
scripts/check-format.sh || fail $?

package_deb=""
if [[ " $parts " == *" package "* ]]; then
  echo "== Debian package of a release build (build-deb/)"
  if package_deb="$(scripts/build-deb.sh | tail -n 1)" && [ -f "$package_deb" ]; then
    echo "$package_deb"
  else
    package_deb=""
    fail 1
  fi
fi

if [[ " $parts " == *" asan "* ]]; then
  echo "== AddressSanitizer and UndefinedBehaviorSanitizer (build-test/)"
  cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BUILD_TESTS=ON >/dev/null
  cmake --build build-test -j "$(nproc)"
  (
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export QV_PACKAGE_DEB="$package_deb"
    cd build-test && ctest --output-on-failure -j "$(nproc)" "$@"
  ) || fail $?
fi

if [[ " $parts " == *" tsan "* ]]; then
  echo "== ThreadSanitizer (build-tsan/)"
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_TSAN=ON -DQV_BUILD_TESTS=ON >/dev/null
  cmake --build build-tsan -j "$(nproc)"
  (
    export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp"
    cd build-tsan && ctest --output-on-failure -j "$(nproc)" "$@"
  ) || fail $?
fi

if [[ " $parts " == *" fuzz "* ]]; then
  echo "== Fuzz targets over their corpora (build-fuzz/)"
  scripts/run-fuzz.sh --replay || fail $?
fi

if [[ " $parts " == *" clang "* ]]; then
  echo "== clang++ with the thread-safety analysis (build-clang/)"
  (
    cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_BUILD_TESTS=ON \
      -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror=thread-safety" >/dev/null &&
      cmake --build build-clang -j "$(nproc)"
  ) || fail $?
fi
exit "$status"
