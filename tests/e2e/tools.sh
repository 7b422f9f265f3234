#!/usr/bin/env bash
# tools.sh BINARY INSTALL_DIRECTORY TOOLS_DIRECTORY: the tools' exit statuses, and one run of each beside a daemon
set -uo pipefail
[ "$(id -u)" = 0 ] || { echo "SKIP: the tools test needs root (network namespaces, promiscuous capture)"; exit 0; }
binary=$1 home=${2%/} tools=$3
source "$(dirname "$0")/../../scripts/sandbox.sh"
source "$(dirname "$0")/common.sh"
[ -n "${MARLOBEX_TOOLS_TAG:-}" ] || sandbox_reenter MARLOBEX_TOOLS_TAG mxt ta tb 10.203.0.2 10.203.0.1 -- "$0" "$@"
sandbox_private_home "$home" || exit 1
tag=$MARLOBEX_TOOLS_TAG till=mxttill$MARLOBEX_TOOLS_TAG host=mxthost$MARLOBEX_TOOLS_TAG
work=$(mktemp -d) daemon_pid=
trap '[ -n "$daemon_pid" ] && kill -KILL "$daemon_pid"; jobs -p | xargs -r kill; rm -rf "$work"' EXIT

for tool_status in Marlobex-check:2 Marlobex-probe:2 Marlobex-recorder:2 Marlobex-status:3; do
  tool=${tool_status%:*}
  "$tools/$tool" -t -1 x 2> /dev/null
  check "$tool ends with ${tool_status#*:} on arguments it does not take, and prints its usage for --help" \
    bash -o pipefail -c "[ $? = ${tool_status#*:} ] && '$tools/$tool' --help | grep -q '^Usage: $tool '"
done

echo '<Marlobex><Network SniffAdapterAddress="10.203.0.2"><NVR Address="127.0.0.1"/>' \
  '<Terminal SrcAddress="10.203.0.1" DstPort="9100" NvrPort="4301"/></Network></Marlobex>' > "$home/Marlobex.xml"
in_host "$tools/Marlobex-check" > "$work/check"
check "Marlobex-check finds the adapter here and nothing wrong (0)" bash -c "[ $? = 0 ] &&
  grep -qx 'Adapter: 10.203.0.2 on tb$tag' '$work/check' && tail -n 1 '$work/check' | grep -qx 'OK: .*'"

in_host "$binary"
wait_for 5 grep -q "Creating terminal connection: 127.0.0.1:4301" "$home/Marlobex.log"
daemon_pid=$(head -n 1 "$home/Marlobex.lock")
in_host "$tools/Marlobex-recorder" 127.0.0.1 4301 --raw > "$work/raw" 2> "$work/recorder" &
recorder_pid=$!
wait_for 5 grep -q "Accepted connection from NVR address: 127.0.0.1" "$home/Marlobex.log"
in_till python3 -c 'import socket, time; s, to = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), ("10.203.0.2", 9100)
time.sleep(1); s.sendto(b"TOTAL", to); time.sleep(0.2); s.sendto(b" 2.50\nCASH\x01 5.00\n", to)' &
in_host "$tools/Marlobex-probe" -t 3 > "$work/probe"
check "Marlobex-probe counts the receipt's two datagrams on their link (0)" bash -c "[ $? = 0 ] &&
  grep -qxF '  line 1: 10.203.0.1:* -> *:9100  port 4301  2 frames, 22 bytes' '$work/probe'"
in_host "$tools/Marlobex-status" > "$work/status"
check "Marlobex-status: running, the receipt counted, its recorder connected (0)" bash -c "[ $? = 0 ] &&
  grep -qx 'Marlobex runs: process $daemon_pid (holds $home/Marlobex.lock)' '$work/status' &&
  grep -qx '  port 4301 (10.203.0.1:::9100): listening, recorder 127.0.0.1 connected' '$work/status' &&
  grep -q '^    2 frames, 22 bytes since the start' '$work/status'"

kill -TERM "$daemon_pid"
wait "$recorder_pid"
check "Marlobex-recorder --raw prints the receipt's bytes as they come, and ends with 0 at the close" \
  bash -c "[ $? = 0 ] && cmp '$work/raw' <(printf 'TOTAL 2.50\\nCASH\\x01 5.00\\n') &&
  grep -qx 'Connection closed by the daemon after 22 bytes' '$work/recorder'"
wait_for 3 bash -c "! kill -0 $daemon_pid 2>/dev/null" && daemon_pid=
in_host "$tools/Marlobex-status" > "$work/status"
check "Marlobex-status after the stop: critical (2), with the daemon's last line" bash -c "[ $? = 2 ] &&
  grep -q '^CRITICAL: Marlobex is not running' '$work/status' &&
  grep -q 'Terminate signal caught.  Exiting.' '$work/status'"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
