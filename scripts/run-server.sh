#!/usr/bin/env bash
# Builds Quillvane (release with debug info: the server and quillvane-client)
# into build/ and runs the server from there with its embedded defaults.
# Extra arguments go to the server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=OFF >/dev/null
cmake --build build --target quillvane-server quillvane-client
exec build/quillvane-server "$@"
