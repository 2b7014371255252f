#!/usr/bin/env bash
# Builds the Debian package quillvane_<version>_<arch>.deb in build-deb/:
# a release build installed under /usr, its configuration in /etc/quillvane,
# the systemd unit and the logrotate snippet. Needs dpkg-dev for the
# dependencies from the shared libraries.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=OFF
cmake --build build-deb
(cd build-deb && cpack -G DEB)
ls build-deb/quillvane_*.deb
