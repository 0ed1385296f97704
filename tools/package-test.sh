#!/usr/bin/env bash
# Packages the tree already built in BUILD_DIR (default build) and tries both Debian packages
# on this machine: install, the service's own command line run as its system user, a
# handshake with hospctl, the admin commands, a client folder that only root may write, the
# update service's program installing a signed build and refusing others, the upgrade from
# the group-writable folder of earlier versions, reinstall, remove (data kept) and purge
# (data, users and groups gone).
# It installs packages and adds users, so it runs as root only, from tools/test.sh; it
# refuses to touch a machine where hospd or hosp-client was installed by someone else.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: skipped (it installs packages; run as root)"
  exit 0
fi
marker=/var/tmp/hosp-package-test.installed
if [ ! -e "$marker" ] && dpkg-query -W -f='${Status}\n' hospd hosp-client 2>/dev/null |
     grep -q " installed"; then
  echo "package test: skipped (hospd or hosp-client is installed here and would be replaced)"
  exit 0
fi

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600 \
    -o Dpkg::Options::=--force-confold "$@" >"$work/apt.log" 2>&1 ||
    fail "apt-get $*: $(cat "$work/apt.log")"
}
fail() {
  echo "package test: FAILED: $*" >&2
  exit 1
}

work=$(mktemp -d /tmp/hosp-package-test-XXXXXX)
server_pid=""
notify_pid=""
tester=hosp-pkgtest
cleanup() {
  if [ -n "$notify_pid" ]; then kill "$notify_pid" 2>/dev/null || true; fi
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if getent passwd "$tester" >/dev/null; then userdel "$tester" || true; fi
  rm -f /etc/hosp-client/publisher.pem  # the test's key, which purge would leave
  if dpkg-query -W -f='${Status}\n' hospd hosp-client 2>/dev/null | grep -q "installed\|config-files"; then
    DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600 \
      purge hospd hosp-client >/dev/null 2>&1 || true
  fi
  rm -f "$marker"
  rm -rf "$work"
}
trap cleanup EXIT
cleanup  # what an interrupted earlier run left behind
work=$(mktemp -d /tmp/hosp-package-test-XXXXXX)
chmod 0755 "$work"  # the system user and the test user reach their folders inside

echo "== package test: packaging the build in $build"
cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"
server_deb=$(ls "$work"/packages/hospd_*.deb)
client_deb=$(ls "$work"/packages/hosp-client_*.deb)
dpkg-deb -f "$server_deb" Depends | grep -q "libssl3" || fail "hospd does not depend on libssl3"
dpkg-deb -f "$server_deb" Depends | grep -q "libsqlite3-0" || fail "hospd does not depend on libsqlite3-0"
dpkg-deb -f "$client_deb" Depends | grep -q "libqt6widgets6" || fail "hosp-client does not depend on libqt6widgets6"
# No error and no warning; the overrides carry their reasons.
lintian "$server_deb" "$client_deb" >"$work/lintian.log" 2>&1 || true
! grep -q '^[EW]: ' "$work/lintian.log" || fail "lintian: $(grep '^[EW]: ' "$work/lintian.log")"

echo "== package test: install"
touch "$marker"
apt_get install "$server_deb" "$client_deb"
getent passwd hospd >/dev/null || fail "no system user hospd"
[ "$(stat -c '%U:%G %a' /var/lib/hospd)" = "hospd:hospd 750" ] || fail "/var/lib/hospd: $(stat -c '%U:%G %a' /var/lib/hospd)"
[ "$(stat -c '%U' /var/lib/hospd/hosp.db)" = hospd ] || fail "hosp.db not made by hospd"
# Nobody but root may change what another user runs: no file of the client writable by
# anyone else, and no group left to hand that right to.
root_only() {
  local found
  found=$(find /opt/hosp-client /etc/hosp-client /usr/bin/hosp-client \
            \( ! -type l \( -perm /022 -o ! -user root \) \) -o \( ! -type l ! -group root \))
  [ -z "$found" ] || fail "writable by others than root $1: $(ls -ld $found)"
  [ "$(stat -c '%U:%G %a' /opt/hosp-client)" = "root:root 755" ] ||
    fail "/opt/hosp-client $1: $(stat -c '%U:%G %a' /opt/hosp-client)"
  [ "$(stat -c '%a' /opt/hosp-client/Pellomarquin.exe)" = 755 ] || fail "Pellomarquin.exe $1"
  [ "$(stat -Lc '%a' /opt/hosp-client/Hosp.ini)" = 644 ] || fail "Hosp.ini $1"
  ! getent group hosp-client >/dev/null || fail "group hosp-client $1"
}
root_only "after install"
zcat /usr/share/man/man8/hospd.8.gz | grep -q '^\.TH HOSPD 8' || fail "hospd.8.gz"
for unit in hospd.service hosp-client-update.service hosp-client-update.timer; do
  systemd-analyze verify "/lib/systemd/system/$unit" || fail "systemd-analyze verify $unit"
done
exposure=$(systemd-analyze security --offline=true /lib/systemd/system/hospd.service 2>/dev/null |
  sed -n 's/.*Overall exposure level for hospd.service: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 1.9) }' ||
  fail "systemd-analyze security rates hospd.service ${exposure:-?}, above 1.9"

echo "== package test: admin commands as root, while the server is stopped"
echo "pkg secret" | hospd staff add --data /var/lib/hospd --email eva.lang@hospital.example \
  --first-name Eva --last-name Lang --title Dr. --physician --password-stdin >/dev/null
[ -z "$(find /var/lib/hospd ! -user hospd)" ] || fail "files in /var/lib/hospd not owned by hospd"
hospd check --data /var/lib/hospd >/dev/null || fail "hospd check"

echo "== package test: the unit's command line as the system user"
run="$work/run"
install -d -o hospd -g hospd -m 0700 "$run"
exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/hospd.service)
HOSPD_OPTIONS=""
. /etc/default/hospd
command=${exec_start//\$HOSPD_OPTIONS/$HOSPD_OPTIONS}
# No systemd runs here: what the unit's sandbox can be given without it is given (no new
# privileges, no capabilities, its umask), and strace records the system calls, which must
# all pass the unit's SystemCallFilter. A socket of the test's takes systemd's notifications.
python3 -c '
import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
os.chmod(sys.argv[1], 0o666)
out = open(sys.argv[2], "a", buffering=1)
while True:
    out.write(s.recv(4096).decode() + "\n")
' "$run/notify" "$work/notify.log" &
notify_pid=$!
for _ in $(seq 50); do [ -S "$run/notify" ] && break; sleep 0.1; done
# shellcheck disable=SC2086  # the unit's command line is split into words, as systemd does
# setpriv execs in place, so strace's child is the server itself; the environment is the one
# systemd gives a service with User=hospd.
(umask 0077; exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/var/lib/hospd USER=hospd \
  LOGNAME=hospd SHELL=/usr/sbin/nologin HOSPD_OPTIONS="$HOSPD_OPTIONS" \
  NOTIFY_SOCKET="$run/notify" WATCHDOG_USEC=2000000 \
  strace -f -qq -o "$work/syscalls" \
  setpriv --reuid=hospd --regid=hospd --init-groups --no-new-privs --bounding-set=-all \
  --inh-caps=-all -- $command --data-port 0 --function-port 0 --metrics 127.0.0.1:0 \
  --ports-file "$run/ports" \
  2>"$work/hospd.log") &
tracer_pid=$!
for _ in $(seq 200); do [ -s "$run/ports" ] && break; sleep 0.1; done
[ -s "$run/ports" ] || fail "hospd did not start: $(cat "$work/hospd.log")"
server_pid=$(ps -o pid= --ppid "$tracer_pid" | tr -d ' ')
. "$run/ports"
printf '[DataServer]\nIP=127.0.0.1\nPort=%s\n\n[FunctionServer]\nIP=127.0.0.1\nPort=%s\n' \
  "$data_port" "$function_port" >/etc/hosp-client/Hosp.ini
hospctl /opt/hosp-client/Hosp.ini handshake | grep -qx "Accepted=Y" || fail "handshake"
hospctl /opt/hosp-client/Hosp.ini query Personnel 4 eva.lang@hospital.example |
  grep -qx "pkg secret" || fail "the new member's record"
hospd backup --data /var/lib/hospd "$run/backup.db" >/dev/null || fail "backup"
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$metrics_port/readyz")" = 200 ] ||
  fail "/readyz not 200"
curl -s "http://127.0.0.1:$metrics_port/metrics" |
  grep -q '^hospd_requests_total{kind="handshake",outcome="ok"} [1-9]' || fail "/metrics"
grep -qx "READY=1" "$work/notify.log" || fail "no READY=1: $(cat "$work/notify.log")"
grep -qx "WATCHDOG=1" "$work/notify.log" || fail "no watchdog keep-alive: $(cat "$work/notify.log")"

echo "== package test: a user's client leaves its folder alone; the update service installs"
useradd --system --no-create-home "$tester"
install -d -m 1777 "$work/home"
cat >"$work/newer-build" <<'BUILD'
#!/bin/sh
exit 0
BUILD
clients=/var/lib/hospd/Clients
install -o hospd -g hospd -m 0644 "$work/newer-build" "$clients/Pellomarquin.exe"
touch -d "+2 minutes" "$clients/Pellomarquin.exe"
packaged=$(sha256sum </opt/hosp-client/Pellomarquin.exe)
# The user's client finds the newer build and goes on to its login (ended here by timeout).
status=0
runuser -u "$tester" -- env QT_QPA_PLATFORM=offscreen HOME="$work/home" \
  timeout 8 /usr/bin/hosp-client >"$work/client.log" 2>&1 || status=$?
[ "$status" = 124 ] || fail "the user's client ended by itself ($status): $(cat "$work/client.log")"
[ "$(sha256sum </opt/hosp-client/Pellomarquin.exe)" = "$packaged" ] || fail "the user's client replaced the program"
[ -z "$(find /opt/hosp-client -newer "$work/newer-build" ! -type l)" ] || fail "the user's client wrote its folder"

# The service's own command line, as root, without a key, then with a key and an unsigned
# build, then with the build signed.
update=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/hosp-client-update.service)
status=0
$update >"$work/update.log" 2>&1 || status=$?
[ "$status" = 1 ] && grep -q "no key to verify builds" "$work/update.log" ||
  fail "the update service without a key ($status): $(cat "$work/update.log")"
hospctl keygen "$work/publisher.key" /etc/hosp-client/publisher.pem >/dev/null
printf '\n[Update]\nPublicKey=/etc/hosp-client/publisher.pem\n' >>/etc/hosp-client/Hosp.ini
status=0
$update >"$work/update.log" 2>&1 || status=$?
[ "$status" = 1 ] && grep -q "was not installed" "$work/update.log" ||
  fail "the update service took an unsigned build ($status): $(cat "$work/update.log")"
[ "$(sha256sum </opt/hosp-client/Pellomarquin.exe)" = "$packaged" ] || fail "an unsigned build was installed"
hospd publish "$work/newer-build" --key "$work/publisher.key" --data /var/lib/hospd >/dev/null ||
  fail "hospd publish"
$update >"$work/update.log" 2>&1 || fail "the update service: $(cat "$work/update.log")"
cmp -s /opt/hosp-client/Pellomarquin.exe "$work/newer-build" || fail "the signed build is not in place"
[ "$(sha256sum </opt/hosp-client/Pellomarquin.bak)" = "$packaged" ] || fail "the packaged build was not kept"
root_only "after the update"
$update >"$work/update.log" 2>&1 && grep -q "is the newest" "$work/update.log" ||
  fail "the update service a second time: $(cat "$work/update.log")"

echo "== package test: the upgrade takes the group and its write access away"
# What earlier versions left: the group, the folder writable by it, a member's own build.
addgroup --system --quiet hosp-client
chgrp hosp-client /opt/hosp-client
chmod 2775 /opt/hosp-client
install -o "$tester" -g hosp-client -m 0775 "$work/newer-build" /opt/hosp-client/Pellomarquin.tmp
# Reinstalled, as an upgrade would be: the data stays.
apt_get install --reinstall "$server_deb" "$client_deb"
hospd staff list --data /var/lib/hospd | grep -q eva.lang@hospital.example || fail "staff lost"
[ "$(head -c 4 /opt/hosp-client/Pellomarquin.exe | od -An -c | tr -d ' ')" = '177ELF' ] ||
  fail "the packaged build is not back in place"
root_only "after the upgrade"

kill -HUP "$server_pid"
for _ in $(seq 50); do grep -q "certificate reloaded" "$work/hospd.log" && break; sleep 0.1; done
grep -q "certificate reloaded" "$work/hospd.log" || fail "no reload on SIGHUP: $(cat "$work/hospd.log")"
hospctl /opt/hosp-client/Hosp.ini handshake | grep -qx "Accepted=Y" || fail "handshake after reload"
kill "$server_pid"
wait "$tracer_pid" || fail "hospd did not stop cleanly"
server_pid=""
kill "$notify_pid"
notify_pid=""
# Only what hospd called itself counts: setpriv's calls before it ran are systemd's own there.
systemd-analyze syscall-filter >"$work/syscall-groups" 2>/dev/null
python3 - "$work/syscalls" "$work/syscall-groups" <<'CHECK' || fail "system calls outside the unit's filter"
import re, sys
groups, name = {}, None
for raw in open(sys.argv[2]):
    line = raw.strip()
    if raw.startswith("@"):  # a group; the groups it names are indented
        name = line
        groups[name] = []
    elif line and not line.startswith("#") and name:
        groups[name].append(line)
def expand(group):
    out = set()
    for item in groups.get(group, []):
        out |= expand(item) if item.startswith("@") else {item}
    return out
allowed = (expand("@system-service") | expand("@default")) - expand("@privileged") - expand("@resources")
called, started = set(), set()
for line in open(sys.argv[1]):
    pid, _, rest = line.partition(" ")
    call = re.match(r"\s*([a-z0-9_]+)\(", rest)
    if not call:
        continue
    if rest.lstrip().startswith('execve("/usr/sbin/hospd"'):
        started.add(pid)
    elif started:
        called.add(call.group(1))
outside = sorted(called - allowed)
print("system calls of hospd:", len(called), "outside the filter:", outside or "none")
sys.exit(1 if outside or not called else 0)
CHECK

echo "== package test: remove keeps the data, purge removes it"
userdel "$tester"
rm /etc/hosp-client/publisher.pem
apt_get remove hospd hosp-client
[ ! -e /usr/sbin/hospd ] || fail "/usr/sbin/hospd left after remove"
[ ! -e /opt/hosp-client ] || fail "/opt/hosp-client left after remove: $(ls -A /opt/hosp-client)"
[ -e /var/lib/hospd/hosp.db ] || fail "remove deleted the data"
getent passwd hospd >/dev/null || fail "remove deleted the system user"
apt_get purge hospd hosp-client
[ ! -e /var/lib/hospd ] || fail "/var/lib/hospd left after purge"
! getent passwd hospd >/dev/null || fail "user hospd left after purge"
! getent group hospd >/dev/null || fail "group hospd left after purge"
! getent group hosp-client >/dev/null || fail "group hosp-client left after purge"
[ ! -e /etc/default/hospd ] && [ ! -e /etc/hosp-client ] || fail "configuration left after purge"
[ -z "$(find /etc/systemd/system -name 'hospd.service' -o -name 'hosp-client-update.*' 2>/dev/null)" ] ||
  fail "unit links left after purge"
echo "package test: ok"
