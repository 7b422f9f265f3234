#!/usr/bin/env bash
# Installs this build's Debian package under a real systemd, booted in a container on an overlay of
# this machine's root (nothing is installed here), and drives the service as an administrator would.
# Usage: systemd_service.sh BUILD_DIRECTORY INSTALL_DIRECTORY CPACK
set -uo pipefail

if [ "$(id -u)" != 0 ]; then
  echo "SKIP: the systemd service test needs root (overlay mount, container)"
  exit 0
fi
for tool in systemd-nspawn nsenter dpkg-deb python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (bash scripts/install-deps)"; exit 0; }
done
build=$1
home=${2%/}
cpack=$3
source "$(dirname "$0")/common.sh"

port=4301
work=$(mktemp -d "${TMPDIR:-/var/tmp}/marlobex-boot.XXXXXX")
machine=marlobex$$
nspawn_pid= init_pid= mounted=

cleanup() {
  if [ -n "$init_pid" ] && kill -0 "$init_pid" 2>/dev/null; then
    nsenter -t "$init_pid" -a systemctl poweroff >/dev/null 2>&1
  fi
  if [ -n "$nspawn_pid" ]; then
    wait_for 20 dead "$nspawn_pid" || kill -KILL "$nspawn_pid" 2>/dev/null
    wait "$nspawn_pid" 2>/dev/null
  fi
  [ -n "$mounted" ] && { umount "$work/merged" 2>/dev/null || umount -l "$work/merged"; }
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" TERM INT

dead() { ! kill -0 "$1" 2>/dev/null; }
inside() { nsenter -t "$init_pid" -a "$@"; }
find_init() { init_pid=$(ps -o pid=,comm= --ppid "$nspawn_pid" | awk '$2 == "systemd" { print $1 }'); [ -n "$init_pid" ]; }
booted() { case $(inside systemctl is-system-running 2>/dev/null) in running|degraded) return 0;; esac; return 1; }
main_pid() { inside systemctl show -p MainPID --value Marlobex.service; }
active() { [ "$(inside systemctl is-active Marlobex.service)" = active ]; }
log_text() { inside cat "$home/Marlobex.log" 2>/dev/null | sed -E 's/^\[ [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]{8} \] //'; }
listening() { inside ss -Hltn "sport = :$port" | grep -q LISTEN; }
restarted() { local pid; pid=$(main_pid); [ "$pid" != 0 ] && [ "$pid" != "$1" ] && active && listening; }
watchdog_at() { inside systemctl show -p WatchdogTimestampMonotonic --value Marlobex.service; }
status_is() { [[ $(inside systemctl show -p StatusText --value Marlobex.service) == $1 ]]; }
same() { [ "$1" = "$2" ]; }

# --- the packages: this build's, and the same files as a later version for the upgrade ---

# Quiet until the container has booted: CTest reads a skip from the first line of the output.
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1; then
  echo "FAILED: cpack"; cat "$work/cpack.log"; exit 1
fi
deb=$(ls "$work"/package/marlobex_*.deb)
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -R "$deb" "$work/repack"
sed -i "s/^Version: .*/Version: $version+1/" "$work/repack/DEBIAN/control"
dpkg-deb -b "$work/repack" "$work/upgrade.deb" >/dev/null

# --- the container: a systemd booted on an overlay whose lower layer is this machine's root ---

mkdir "$work/upper" "$work/overlay-work" "$work/merged"
if ! mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" \
     "$work/merged" 2>"$work/mount.log"; then
  echo "SKIP: no overlay of the root file system can be mounted here: $(cat "$work/mount.log")"
  exit 0
fi
mounted=1
cp "$deb" "$work/merged/var/tmp/marlobex.deb"
cp "$work/upgrade.deb" "$work/merged/var/tmp/marlobex-upgrade.deb"
boot_start=$SECONDS
systemd-nspawn --boot --private-network --register=no --keep-unit --quiet --machine="$machine" \
  -D "$work/merged" </dev/null >"$work/console.log" 2>&1 &
nspawn_pid=$!
if ! wait_for 20 find_init || ! wait_for 90 booted; then
  echo "SKIP: the container cannot boot here; its console said:"
  tail -n 20 "$work/console.log"
  exit 0
fi
echo "container booted in $((SECONDS - boot_start)) s ($(inside systemctl is-system-running))"

# --- first installation over a site's configuration: kept, enabled, not started ---

# This machine's image forbids starting services from maintainer scripts (policy-rc.d exits 101);
# a site's machine has no such policy, and the restart on upgrade is part of what is tested.
inside rm -f /usr/sbin/policy-rc.d
inside dpkg --purge marlobex >/dev/null 2>&1
inside rm -rf "$home"
inside mkdir -p "$home"
inside tee "$home/Marlobex.xml" >/dev/null <<XML
<Marlobex>
  <Network SniffAdapterAddress="127.0.0.1">
    <NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="127.0.0.9" DstPort="9100" NvrPort="$port"/>
  </Network>
</Marlobex>
XML
configuration=$(inside md5sum "$home/Marlobex.xml")
check "the package installs" inside dpkg -i /var/tmp/marlobex.deb
check "the installation keeps an existing Marlobex.xml" same "$(inside md5sum "$home/Marlobex.xml")" "$configuration"
check "the service is enabled" same "$(inside systemctl is-enabled Marlobex.service)" enabled
check "the service is not started by the installation" same "$(inside systemctl is-active Marlobex.service)" inactive

# --- a datagram from the till 127.0.0.9, sniffed on lo, reaches the recorder at 127.0.0.1 ---

# relay_once PAYLOAD: what a recorder on the link's port receives of one datagram from the till
relay_once() {
  inside python3 -c '
import socket, sys, time
payload, received = sys.argv[1].encode(), b""
recorder = socket.create_connection(("127.0.0.1", int(sys.argv[2])), timeout=2)
time.sleep(0.3)
till = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
till.bind(("127.0.0.9", 0))
till.sendto(payload, ("127.0.0.1", 9100))
while len(received) < len(payload) and (data := recorder.recv(65536)):
    received += data
sys.stdout.write(received.decode(errors="replace"))' "$1" "$port"
}

inside systemctl start Marlobex.service
check "the unit is Type=notify: once systemctl start returns, the daemon is active and listens on the link's port" \
  eval 'same "$(inside systemctl show -p Type --value Marlobex.service)" notify && active && listening'
check "the status line sums up the links" wait_for 2 status_is \
  "1 link, 1 listening, 0 recorders connected; 0 payloads relayed, 0 dropped, 0 kernel drops since the start; adapter open"
first_pid=$(main_pid) started_watchdog=$(watchdog_at)
check "the daemon runs with two capabilities, no new privileges and a system-call filter" \
  same "$(inside grep -E '^(CapBnd|NoNewPrivs|Seccomp):' "/proc/$first_pid/status" | tr -s '\t' ' ')" \
  "$(printf 'CapBnd: 0000000000002400\nNoNewPrivs: 1\nSeccomp: 2')"
check "the UDP payload reaches the recorder, byte for byte" same "$(relay_once 'RECEIPT 0001 TOTAL 12.50')" 'RECEIPT 0001 TOTAL 12.50'
check "the log is created with UMask 0027" same "$(inside stat -c %a "$home/Marlobex.log")" 640
# A recorder that stays connected (it leaves by itself after 12 s) shows in the next status line.
inside python3 -c 'import socket, sys, time; c = socket.create_connection(("127.0.0.1", int(sys.argv[1]))); time.sleep(12)' "$port" &
check "the status line counts the connected recorder within 10 s" wait_for 12 status_is "1 link, 1 listening, 1 recorder connected; *"
check "the main loop keeps the watchdog alive" [ "$(watchdog_at)" != "$started_watchdog" ]

# --- a killed daemon is started again ---

inside systemctl kill -s KILL Marlobex.service
check "systemd starts the killed daemon again" wait_for 20 restarted "$first_pid"

# --- a stopped daemon misses the watchdog: it is ended and started again ---

stopped_pid=$(main_pid) stopped_at=$SECONDS
inside kill -STOP "$stopped_pid"
check "the watchdog ends the stopped daemon and systemd starts another" wait_for 45 restarted "$stopped_pid"
check "the new daemon relays" same "$(relay_once 'RECEIPT 0002')" 'RECEIPT 0002'
echo "from SIGSTOP to relaying again: $((SECONDS - stopped_at)) s"

# --- an upgrade restarts the running service and keeps the configuration ---

before_upgrade=$(main_pid)
check "the upgrade installs" inside dpkg -i /var/tmp/marlobex-upgrade.deb
check "the upgrade restarts the running service, which listens again" wait_for 10 restarted "$before_upgrade"
check "the upgrade keeps the administrator's configuration" same "$(inside md5sum "$home/Marlobex.xml")" "$configuration"

# --- systemctl stop: SIGTERM ends the daemon at once, without a log line ---

last_line=$(log_text | tail -n 1)
inside systemctl stop Marlobex.service
check "systemctl stop stops the service" same "$(inside systemctl is-active Marlobex.service)" inactive
check "the stop adds no log line" same "$(log_text | tail -n 1)" "$last_line"

# --- the unit's exposure score ---

score=$(inside systemd-analyze security Marlobex.service 2>/dev/null |
  sed -nE 's/^.*Overall exposure level for Marlobex.service: ([0-9.]+).*$/\1/p')
echo "systemd-analyze security Marlobex.service: ${score:-none}"
check "the exposure score is at most 2.5" awk -v s="$score" 'BEGIN { exit !(s != "" && s + 0 <= 2.5) }'

# --- purge (what it removes from the installation directory is checked by scripts/package-check) ---

check "the package purges" inside dpkg --purge marlobex
check "purge removes the unit and its enablement" \
  inside bash -c '! ls /lib/systemd/system/Marlobex.service /etc/systemd/system/multi-user.target.wants/Marlobex.service 2>/dev/null'

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
