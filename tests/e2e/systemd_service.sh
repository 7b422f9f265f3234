#!/usr/bin/env bash
# Installs this build's Debian package under a real systemd, booted in a container on an overlay of
# this machine's root (nothing is installed here), and drives the service as an administrator would.
# Usage: systemd_service.sh BUILD_DIRECTORY INSTALL_DIRECTORY CPACK
set -uo pipefail
[ "$(id -u)" = 0 ] || { echo "SKIP: the systemd service test needs root (overlay mount, container)"; exit 0; }
for tool in systemd-nspawn nsenter dpkg-deb python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (bash scripts/install-deps)"; exit 0; }; done
build=$1 home=${2%/} cpack=$3
source "$(dirname "$0")/common.sh"
port=4301 work=$(mktemp -d "${TMPDIR:-/var/tmp}/marlobex-boot.XXXXXX") nspawn_pid= init_pid= mounted=
cleanup() {
  [ -n "$init_pid" ] && kill -0 "$init_pid" 2>/dev/null && nsenter -t "$init_pid" -a systemctl poweroff >/dev/null 2>&1
  [ -n "$nspawn_pid" ] && { wait_for 20 dead "$nspawn_pid" || kill -KILL "$nspawn_pid"; wait "$nspawn_pid"; } 2>/dev/null
  [ -n "$mounted" ] && { umount "$work/merged" 2>/dev/null || umount -l "$work/merged"; }
  rm -rf "$work"
}
trap cleanup EXIT; trap "exit 1" TERM INT

dead() { ! kill -0 "$1" 2>/dev/null; }
inside() { nsenter -t "$init_pid" -a "$@"; }
find_init() { init_pid=$(ps -o pid=,comm= --ppid "$nspawn_pid" | awk '$2 == "systemd" { print $1 }'); [ -n "$init_pid" ]; }
booted() { inside systemctl is-system-running 2>/dev/null | grep -qxE 'running|degraded'; }
unit() { inside systemctl show -p "$1" --value Marlobex.service; }  # unit PROPERTY
active() { [ "$(inside systemctl is-active Marlobex.service)" = active ]; }
listening() { inside ss -Hltn "sport = :$port" | grep -q LISTEN; }
restarted() { local pid; pid=$(unit MainPID); [ "$pid" != 0 ] && [ "$pid" != "$1" ] && active && listening; }
status_is() { [[ $(unit StatusText) == $1 ]]; }
relay_once() {  # relay_once PAYLOAD: what a recorder on the link's port receives of one datagram from the till
  inside python3 /var/tmp/peers.py record "$port" /var/tmp/relayed 3 & local recorder=$!
  wait_for 3 inside test -e /var/tmp/relayed.connected && sleep 0.3
  inside python3 /var/tmp/peers.py udp 127.0.0.1 9100 1 "$1" 0 "" 127.0.0.9
  wait "$recorder"; inside cat /var/tmp/relayed; inside rm /var/tmp/relayed /var/tmp/relayed.connected
}

# --- the packages: this build's, and the same files as a later version for the upgrade ---
# Quiet until the container has booted: CTest reads a skip from the first line of the output.
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
  { echo "FAILED: cpack"; cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/package/marlobex_*.deb)
dpkg-deb -R "$deb" "$work/repack"
sed -i "s/^Version: .*/Version: $(dpkg-deb -f "$deb" Version)+1/" "$work/repack/DEBIAN/control"
dpkg-deb -b "$work/repack" "$work/upgrade.deb" >/dev/null

# --- the container: a systemd booted on an overlay whose lower layer is this machine's root ---
mkdir "$work/upper" "$work/overlay-work" "$work/merged"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" "$work/merged" 2>"$work/mount.log" &&
  mounted=1 || { echo "SKIP: no overlay of the root file system can be mounted here: $(cat "$work/mount.log")"; exit 0; }
cp "$deb" "$work/upgrade.deb" "$peers" "$work/merged/var/tmp/"
SECONDS=0
systemd-nspawn --boot --private-network --register=no --keep-unit --quiet --machine=marlobex$$ \
  -D "$work/merged" </dev/null >"$work/console.log" 2>&1 & nspawn_pid=$!
wait_for 20 find_init && wait_for 90 booted ||
  { echo "SKIP: the container cannot boot here; its console said:"; tail -n 20 "$work/console.log"; exit 0; }
echo "container booted in $SECONDS s ($(inside systemctl is-system-running))"

# --- first installation over a site's configuration: kept, enabled, not started ---
# Without this image's policy-rc.d (no service started by maintainer scripts): the upgrade's restart is tested.
inside bash -c "rm -f /usr/sbin/policy-rc.d; dpkg --purge marlobex >/dev/null 2>&1; rm -rf '$home'; mkdir -p '$home'"
echo "<Marlobex><Network SniffAdapterAddress=\"127.0.0.1\"><NVR Address=\"127.0.0.1\"/><Terminal SrcAddress=\"127.0.0.9\"
  DstPort=\"9100\" NvrPort=\"$port\"/></Network></Marlobex>" | inside tee "$home/Marlobex.xml" >/dev/null
configuration=$(inside md5sum "$home/Marlobex.xml")
check "the package installs" inside dpkg -i "/var/tmp/${deb##*/}"
check "the installation keeps an existing Marlobex.xml" [ "$(inside md5sum "$home/Marlobex.xml")" = "$configuration" ]
check "the service is enabled, and not started by the installation" \
  [ "$(inside systemctl is-enabled Marlobex.service):$(inside systemctl is-active Marlobex.service)" = enabled:inactive ]

# --- a datagram from the till 127.0.0.9, sniffed on lo, reaches the recorder at 127.0.0.1 ---
inside systemctl start Marlobex.service
check "the unit is Type=notify: once systemctl start returns, the daemon is active and listens on the link's port" \
  eval '[ "$(unit Type)" = notify ] && active && listening'
check "the status line sums up the links" wait_for 2 status_is \
  "1 link, 1 listening, 0 recorders connected; 0 payloads relayed, 0 dropped, 0 kernel drops since the start; adapter open"
first_pid=$(unit MainPID) started_watchdog=$(unit WatchdogTimestampMonotonic)
check "the daemon runs with two capabilities, no new privileges and a system-call filter" \
  [ "$(inside grep -E '^(CapBnd|NoNewPrivs|Seccomp):' "/proc/$first_pid/status" | tr -s '\t' ' ')" \
  = $'CapBnd: 0000000000002400\nNoNewPrivs: 1\nSeccomp: 2' ]
check "the UDP payload reaches the recorder, byte for byte" [ "$(relay_once 'RECEIPT 0001 TOTAL 12.50')" = 'RECEIPT 0001 TOTAL 12.50' ]
check "the log is created with UMask 0027" [ "$(inside stat -c %a "$home/Marlobex.log")" = 640 ]
inside python3 /var/tmp/peers.py record "$port" /var/tmp/held 12 &  # a recorder that stays connected
check "the status line counts the connected recorder within 10 s" wait_for 12 status_is "1 link, 1 listening, 1 recorder connected; *"
check "the main loop keeps the watchdog alive" [ "$(unit WatchdogTimestampMonotonic)" != "$started_watchdog" ]

# --- a killed daemon is started again; a stopped one misses the watchdog, is ended and started again ---
inside systemctl kill -s KILL Marlobex.service
check "systemd starts the killed daemon again" wait_for 20 restarted "$first_pid"
stopped_pid=$(unit MainPID) stopped_at=$SECONDS
[ "$stopped_pid" -gt 0 ] && inside kill -STOP "$stopped_pid"  # with MainPID 0, kill would stop this script's group
check "the watchdog ends the stopped daemon and systemd starts another" wait_for 45 restarted "$stopped_pid"
check "the new daemon relays" [ "$(relay_once 'RECEIPT 0002')" = 'RECEIPT 0002' ]
echo "from SIGSTOP to relaying again: $((SECONDS - stopped_at)) s"

# --- an upgrade restarts the running service and keeps the configuration; systemctl stop adds no line ---
before_upgrade=$(unit MainPID)
check "the upgrade installs" inside dpkg -i /var/tmp/upgrade.deb
check "the upgrade restarts the running service, which listens again" wait_for 10 restarted "$before_upgrade"
check "the upgrade keeps the administrator's configuration" [ "$(inside md5sum "$home/Marlobex.xml")" = "$configuration" ]
lines=$(inside cat "$home/Marlobex.log" | wc -l)
inside systemctl stop Marlobex.service
check "systemctl stop stops the service, and SIGTERM adds no log line" \
  [ "$(inside systemctl is-active Marlobex.service):$(inside cat "$home/Marlobex.log" | wc -l)" = "inactive:$lines" ]

# --- the unit's exposure score; purge (what it removes of the installation directory: scripts/package-check) ---
score=$(inside systemd-analyze security Marlobex.service 2>/dev/null |
  sed -nE 's/^.*Overall exposure level for Marlobex.service: ([0-9.]+).*$/\1/p')
check "the exposure score (${score:-none}) is at most 2.5" awk -v s="$score" 'BEGIN { exit !(s != "" && s + 0 <= 2.5) }'
check "the package purges, and with it the unit and its enablement" inside bash -c 'dpkg --purge marlobex &&
  ! ls /lib/systemd/system/Marlobex.service /etc/systemd/system/multi-user.target.wants/Marlobex.service 2>/dev/null'
summary
