#!/usr/bin/env bash
# Tries the Debian package for real on a booted Debian 12 system: builds the
# package (scripts/build-deb.sh) and two newer variants of it (higher
# versions with a changed sample configuration), debootstraps a Debian 12
# tree from the mirror this machine's apt uses (Debian's packages only),
# boots it with systemd as PID 1 under `systemd-nspawn -b`, and there runs
# the checks below as a one-shot unit that powers the container off when it
# is done. Prints a table of what was checked and what happened (the README
# keeps one run's table). Needs root, debootstrap and systemd-container;
# takes a few minutes (the tree is kept in $QV_NSPAWN_DIR for the next run).
#
# Not part of the test command: CI has no systemd to boot a container with.
set -euo pipefail
cd "$(dirname "$0")/.."
work="${QV_NSPAWN_DIR:-/var/tmp/qv-nspawn}"
tree="$work/bookworm"
mkdir -p "$work"

for tool in debootstrap systemd-nspawn dpkg-deb; do
  command -v "$tool" > /dev/null || { echo "nspawn-check: $tool is missing (apt-get install debootstrap systemd-container dpkg-dev)" >&2; exit 2; }
done

# QV_NSPAWN_DEB: a package built before, instead of building one.
deb="${QV_NSPAWN_DEB:-$(scripts/build-deb.sh | tail -n 1)}"

# Two newer packages: the same programs, a higher version and a sample
# configuration with one more comment line each.
variant() {
  local version="$1" out="$2" tmp
  tmp="$(mktemp -d "$work/variant-XXXXXX")"
  dpkg-deb -R "$deb" "$tmp"
  sed -i "s/^Version: .*/Version: $version/" "$tmp/DEBIAN/control"
  echo "; sample of $version" >> "$tmp/usr/share/quillvane/server.ini"
  dpkg-deb -b --root-owner-group "$tmp" "$out" > /dev/null
  rm -rf "$tmp"
}
variant 2.0.19.41 "$work/quillvane-b.deb"
variant 2.0.19.42 "$work/quillvane-c.deb"

if [ ! -x "$tree/lib/systemd/systemd" ]; then
  mirror="$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)"
  [ -n "$mirror" ] || mirror="$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)"
  # The package's run-time libraries come with the tree, so that the
  # checks need no network.
  debootstrap --variant=minbase \
    --include=systemd,systemd-sysv,dbus,python3-minimal,procps,logrotate,libcpp-httplib0.11,libfmt9,libmariadb3,libsqlite3-0,libsystemd0,adduser \
    bookworm "$tree" "$mirror"
fi
cp "$deb" "$tree/root/quillvane-a.deb"
cp "$work/quillvane-b.deb" "$work/quillvane-c.deb" "$tree/root/"
rm -f "$tree/root/results.md"

cat > "$tree/root/checks.sh" <<'CHECKS'
#!/bin/bash
# Runs inside the booted container; one table row per check.
set -u
out=/root/results.md
row() { printf '| %s | %s |\n' "$1" "$2" >> "$out"; }
ms() { date +%s%3N; }
wait_for() {  # condition, tenths of a second at most
  local i
  for ((i = 0; i < $2; i++)); do eval "$1" && return 0; sleep 0.1; done
  return 1
}
# A kept tree starts again from no package at all.
apt-get purge -y quillvane > /dev/null 2>&1 || true
rm -rf /etc/quillvane /var/lib/quillvane /var/log/quillvane
echo '| check | result |' > "$out"
echo '|---|---|' >> "$out"

if apt-get install -y /root/quillvane-a.deb < /dev/null > /root/apt-a.txt 2>&1; then
  row "apt install (2.0.19.40)" "installed; unit $(systemctl is-enabled quillvane), $(systemctl is-active quillvane)"
else
  row "apt install (2.0.19.40)" "failed: $(tail -n 1 /root/apt-a.txt)"
fi
start=$(ms)
systemctl start quillvane
row "systemctl start" "$(systemctl is-active quillvane) after $(( $(ms) - start )) ms; status: $(systemctl show -p StatusText --value quillvane)"
password="$(journalctl -b -u quillvane -o cat | sed -n 's/.*admin account info: username: admin password: //p' | tail -n 1)"
row "first-run passwords in the journal" "$([ -n "$password" ] && echo "admin password found" || echo "not found")"
if quillvane-client -l admin -p "$password" -n operator -e "wait 1" -e quit > /root/client.txt 2>&1; then
  row "login as admin" "$(head -n 1 /root/client.txt | cut -c1-60)"
else
  row "login as admin" "failed: $(tail -n 1 /root/client.txt)"
fi
mv /var/log/quillvane/server.log /var/log/quillvane/server.log.1
systemctl reload quillvane
wait_for 'grep -q "log file reopened" /var/log/quillvane/server.log 2> /dev/null' 50 \
  && row "systemctl reload" "log file reopened" || row "systemctl reload" "no new log file"
# After the rotation the file that followed the reload is server.log.1, and
# the new server.log has the second reopening.
logrotate -f /etc/logrotate.d/quillvane > /root/logrotate.txt 2>&1
wait_for 'grep -q "log file reopened" /var/log/quillvane/server.log.1 && grep -q "log file reopened" /var/log/quillvane/server.log 2> /dev/null' 50 \
  && row "logrotate -f" "rotated; the server reopened its log" || row "logrotate -f" "failed: $(tail -n 1 /root/logrotate.txt)"
start=$(ms)
systemctl stop quillvane
row "systemctl stop" "$(systemctl is-active quillvane) after $(( $(ms) - start )) ms"
systemctl start quillvane
pid=$(systemctl show -p MainPID --value quillvane)
kill -9 "$pid"
wait_for '[ "$(systemctl show -p MainPID --value quillvane)" != "$pid" ] && [ "$(systemctl is-active quillvane)" = active ]' 150 \
  && row "kill -9, then Restart=on-failure" "active again, new process" || row "kill -9, then Restart=on-failure" "$(systemctl is-active quillvane)"
systemctl stop quillvane
python3 -c '
import socket, time
held = []
for kind, port in ((socket.SOCK_DGRAM, 8767), (socket.SOCK_STREAM, 14534), (socket.SOCK_STREAM, 51234)):
    s = socket.socket(socket.AF_INET, kind); s.bind(("0.0.0.0", port))
    if kind == socket.SOCK_STREAM: s.listen(1)
    held.append(s)
time.sleep(30)' &
holder=$!
sleep 1
since="$(date '+%Y-%m-%d %H:%M:%S')"
systemctl start quillvane > /root/start-taken.txt 2>&1
row "start with UDP 8767, TCP 14534 and 51234 taken" "systemctl start: $(cut -c1-60 /root/start-taken.txt | head -n 1); exit status $(systemctl show -p ExecMainStatus --value quillvane); unit $(systemctl is-active quillvane) (restarting)"
row "journalctl -u quillvane -p err (that start)" "$(journalctl -u quillvane -p err --since "$since" -o cat | wc -l) lines, e.g. $(journalctl -u quillvane -p err --since "$since" -o cat | head -n 1 | cut -c1-70)"
kill "$holder"; wait "$holder" 2> /dev/null
systemctl reset-failed quillvane
systemctl start quillvane
sed -i 's/^HTTPServer Port=.*/HTTPServer Port=14535/' /etc/quillvane/server.ini
for v in b c; do
  if apt-get install -y /root/quillvane-$v.deb < /dev/null > /root/apt-$v.txt 2>&1; then
    row "unattended upgrade to $(dpkg-deb -f /root/quillvane-$v.deb Version) (changed sample)" \
      "no prompt; edit kept: $(grep -c '^HTTPServer Port=14535' /etc/quillvane/server.ini); unit $(systemctl is-active quillvane)"
  else
    row "unattended upgrade to $(dpkg-deb -f /root/quillvane-$v.deb Version)" "failed: $(tail -n 1 /root/apt-$v.txt)"
  fi
done
row "systemd-analyze security quillvane" "$(systemd-analyze security quillvane 2>&1 | tail -n 1)"
systemctl stop quillvane
systemctl --no-block poweroff
CHECKS
chmod 0755 "$tree/root/checks.sh"
cat > "$tree/etc/systemd/system/qv-checks.service" <<'UNIT'
[Unit]
Description=Quillvane package checks
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/root/checks.sh
StandardOutput=journal+console
[Install]
WantedBy=multi-user.target
UNIT
ln -sf /etc/systemd/system/qv-checks.service "$tree/etc/systemd/system/multi-user.target.wants/qv-checks.service"

# On a host without a running systemd: no registration with the machine
# manager (it needs the system bus), and, where /run is no tmpfs, a tmpfs of
# this run's own for nspawn's scratch directories (it removes trees only on
# a tmpfs), in a mount namespace of its own so the host keeps its mounts.
nspawn=(systemd-nspawn -q -b -D "$tree" --machine=quillvane-check)
[ -d /run/systemd/system ] || nspawn+=(--register=no --keep-unit)
if [ "$(stat -f -c %T /run)" != tmpfs ]; then
  mkdir -p /run/systemd/nspawn
  nspawn=(unshare -m sh -c 'mount -t tmpfs tmpfs /run/systemd/nspawn && exec "$@"' nspawn "${nspawn[@]}")
fi
timeout 900 "${nspawn[@]}" > "$work/boot.txt" 2>&1 || true
if [ -s "$tree/root/results.md" ]; then
  cat "$tree/root/results.md"
else
  echo "nspawn-check: the container gave no results; its console:" >&2
  tail -n 30 "$work/boot.txt" >&2
  exit 1
fi
