#!/usr/bin/env bash
# Builds the Debian package quillvane_<version>_<arch>.deb in build-deb/:
# a release build with Debian's hardening flags (dpkg-buildflags) installed
# under /usr, the systemd unit, the logrotate and fail2ban snippets, the
# manual pages and the sample configuration. Needs dpkg-dev for the flags and
# for the dependencies from the shared libraries. The last line it prints is
# the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="$(pwd)" CCACHE_NOHASHDIR=1
scripts/install-deps.sh package
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=OFF > /dev/null
cmake --build build-deb >&2
rm -f build-deb/quillvane_*.deb
(cd build-deb && cpack -G DEB > /dev/null)
ls "$(pwd)"/build-deb/quillvane_*.deb
