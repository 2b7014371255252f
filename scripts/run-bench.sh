#!/usr/bin/env bash
# Builds Quillvane and the benchmarks in release mode into build-bench/ and
# runs the voice relay benchmark: every scenario against the real server,
# against the raw UDP fan-out baseline and against murmur (mumble-server),
# one table on standard output and the figures as JSON under
# build-bench/bench-results/. Extra arguments go to
# qv-voice-bench (--quick for a short check, --only <scenario>, --only murmur
# for the murmur rows beside Quillvane's, --keep).
# Exits non-zero when a scenario could not run. Not part of the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j 2 --target qv-voice-bench
exec build-bench/qv-voice-bench "$@"
