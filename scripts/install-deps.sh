#!/usr/bin/env bash
# Installs the Debian packages Quillvane needs to build, run and test, and only
# those that are missing. Safe to run any number of times; needs root when
# something must be installed.
set -euo pipefail

# What building and running the server needs.
packages=(
  cmake ninja-build g++ pkg-config ccache  # build (ccache: shared compile results)
  libsqlite3-dev                        # embedded database
  libfmt-dev                            # formatting
  libmariadb-dev                        # MySQL/MariaDB back end (Connector/C)
  libcpp-httplib-dev                    # HTTP (web interface, server-list announcement, metrics)
  libsystemd-dev                        # readiness notices to systemd
  libsodium-dev                         # password hashing (Argon2id), constant-time compares
  libssl-dev                            # TLS of the web, query and metrics listeners
)
# Extra groups: "test" adds what the test command needs, "package" what the
# Debian package needs, "bench" what the benchmarks need.
for group in "$@"; do
  case "$group" in
    test) packages+=(
      libgtest-dev libgmock-dev             # unit and end-to-end tests
      mariadb-server                        # the tests start a throwaway MariaDB server
      dpkg-dev                              # the package test (dpkg-shlibdeps, dpkg-deb, dpkg-buildflags)
      lintian                               # the package test: lintian's verdict on the .deb
      logrotate                             # rotating a running server's log with the shipped snippet
      fail2ban                              # fail2ban-regex: the shipped filter on real refused logins
      prometheus                            # promtool check metrics (Debian ships promtool in it)
      python3-prometheus-client             # parses the metrics endpoint in its test
      chromium chromium-driver python3-selenium  # browser tests of the web interface
      libtsan2                              # ThreadSanitizer build of the suite (g++)
      clang libclang-rt-14-dev              # fuzz targets (libFuzzer and the sanitizers' runtimes)
      clang-format                          # scripts/check-format.sh: the changed lines as .clang-format says
      libprotobuf-dev protobuf-compiler libssl-dev  # the benchmark's own tests: its other servers' wire and cipher
    ) ;;
    package) packages+=(dpkg-dev) ;;
    bench) packages+=(
      libbenchmark-dev                      # micro-benchmarks (Google Benchmark)
      mumble-server                         # the other voice server the relay benchmark runs beside Quillvane
      libprotobuf-dev protobuf-compiler     # that server's control messages (bench/murmur_messages.proto)
      libssl-dev openssl                    # its TLS control connection and voice cipher; openssl makes its certificate
    ) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
