#!/usr/bin/env bash
# The operator tools against a running daemon, as an installer would use them: a till and its host
# in two network namespaces joined by a veth pair, the daemon sniffing the host's adapter, all in a
# private mount namespace with a tmpfs on the installation directory.
# Usage: tools.sh MARLOBEX_BINARY INSTALL_DIRECTORY TOOLS_DIRECTORY
set -uo pipefail

if [ "$(id -u)" != 0 ]; then
  echo "SKIP: the tools test needs root (network namespaces, promiscuous capture)"
  exit 0
fi
binary=$1
home=${2%/}
tools=$3

source "$(dirname "$0")/../../scripts/sandbox.sh"
source "$(dirname "$0")/common.sh"
[ -n "${MARLOBEX_TOOLS_TAG:-}" ] ||
  sandbox_reenter MARLOBEX_TOOLS_TAG mxt ta tb 10.203.0.2 10.203.0.1 -- "$0" "$@"
sandbox_private_home "$home" || exit 1
tag=$MARLOBEX_TOOLS_TAG
till=mxttill$tag host=mxthost$tag
work=$(mktemp -d)
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null
  jobs -p | xargs -r kill 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

has_line() { grep -qxF -- "$2" "$1"; }
run_tool() {  # run_tool OUTFILE TOOL ARGS...: the tool's status in $status
  local out=$1 tool=$2; shift 2
  in_host "$tools/$tool" "$@" > "$out" 2>&1
  status=$?
}

for tool in Marlobex-check Marlobex-probe Marlobex-recorder Marlobex-status; do
  "$tools/$tool" --help > "$work/help" 2>&1
  check "$tool --help prints its usage" bash -c "[ $? = 0 ] && head -n 1 '$work/help' | grep -q '^Usage: $tool'"
done

cat > "$home/Marlobex.xml" <<'XML'
<Marlobex>
  <Network SniffAdapterAddress="10.203.0.2">
    <NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="10.203.0.1" DstPort="9100" NvrPort="4301"/>
    <Terminal SrcAddress="10.203.0.1" DstPort="9200" NvrPort="4302"/>
  </Network>
</Marlobex>
XML

# --- the check: the installed file, with this machine's adapters ---
run_tool "$work/check" Marlobex-check
cat "$work/check"
check "Marlobex-check finds nothing wrong and ends with status 0" [ "$status" = 0 ]
check "Marlobex-check names the adapter the daemon would open" has_line "$work/check" "Adapter: 10.203.0.2 on tb$tag"
check "Marlobex-check lists the links in key order" \
  bash -c "grep -A2 '^Links in key order' '$work/check' | tail -n 2 | diff - <(printf '%s\n' \
    '  line 4: 10.203.0.1:* -> *:9100  recorder 127.0.0.1 on port 4301' \
    '  line 5: 10.203.0.1:* -> *:9200  recorder 127.0.0.1 on port 4302')"
sed 's/10.203.0.2"/10.203.0.99"/' "$home/Marlobex.xml" > "$work/elsewhere.xml"
run_tool "$work/check" Marlobex-check "$work/elsewhere.xml"
check "an adapter address nobody holds is an error, status 2, with the adapters listed" \
  bash -c "[ $status = 2 ] && grep -q '^error E03 line 2: no local adapter holds SniffAdapterAddress \"10.203.0.99\".*tb$tag (10.203.0.2)' '$work/check'"

# --- status before the daemon runs ---
run_tool "$work/status" Marlobex-status
check "Marlobex-status: not running and no counters file is critical (2)" \
  bash -c "[ $status = 2 ] && grep -q '^CRITICAL: Marlobex is not running' '$work/status' &&
    grep -qx 'CRITICAL: no counters file $home/Marlobex.prom' '$work/status'"

# --- the daemon runs; no recorder yet ---
in_host "$binary"
wait_for 5 grep -q "Creating terminal connection: 127.0.0.1:4302" "$home/Marlobex.log"
daemon_pid=$(head -n 1 "$home/Marlobex.lock")
# The daemon writes its counters at start: one sample is enough here.
wait_for 5 test -e "$home/Marlobex.prom"
run_tool "$work/status" Marlobex-status --wait 0
cat "$work/status"
check "Marlobex-status: running, ports listening, no recorder is a warning (1)" \
  bash -c "[ $status = 1 ] && grep -qx 'Marlobex runs: process $daemon_pid (holds $home/Marlobex.lock)' '$work/status' &&
    grep -qx '  port 4301 (10.203.0.1:::9100): listening, no recorder connected from 127.0.0.1' '$work/status' &&
    grep -qx 'WARNING: port 4301 (10.203.0.1:::9100) has no recorder connected from 127.0.0.1' '$work/status'"

# --- recorders: a stranger first (while a recorder is connected, later ones wait in the backlog),
# then text on 4301 and hex on 4302 ---
in_host timeout 10 "$tools/Marlobex-recorder" 127.0.0.1 4301 --bind 127.0.0.7 > "$work/stranger" 2>&1
status=$?
check "a stranger's recorder is connected, then closed by the daemon with nothing sent" \
  bash -c "[ $status = 0 ] && grep -qx 'Connection closed by the daemon after 0 bytes' '$work/stranger'"
in_host "$tools/Marlobex-recorder" 127.0.0.1 4301 --bind 127.0.0.1 > "$work/text" 2> "$work/text.err" &
text_pid=$!
in_host "$tools/Marlobex-recorder" 127.0.0.1 4302 --bind 127.0.0.1 --hex > "$work/hex" 2> "$work/hex.err" &
hex_pid=$!
wait_for 5 bash -c "[ \$(grep -c 'Accepted connection from NVR address: 127.0.0.1' '$home/Marlobex.log') = 2 ]"

# --- the probe counts while the till prints and the daemon relays ---
in_host python3 - <<'PY' &
import socket
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(("10.203.0.2", 9100)); l.listen(8); l.settimeout(15)
try:
    while True:
        c, _ = l.accept()
        while True:
            d = c.recv(4096)
            if not d: break
            c.sendall(b"ACK\n")
        c.close()
except socket.timeout:
    pass
PY
sleep 0.3
in_host "$tools/Marlobex-probe" -t 3 > "$work/probe" 2>&1 &
probe_pid=$!
sleep 0.5
receipts=""
for i in 1 2 3; do
  receipt="TILL 1 RECEIPT $i TOTAL $i.00"$'\n'
  receipts+=$receipt
  in_till python3 -c '
import socket, sys
s = socket.create_connection(("10.203.0.2", 9100), timeout=5)
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
s.sendall(sys.argv[1].encode()); s.recv(100); s.close()' "$receipt"
done
in_till python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("10.203.0.1", 5555))
for i in range(2): s.sendto(b"TO THE WRONG PORT", ("10.203.0.2", 9101))
s.sendto(b"UDP LINE 1", ("10.203.0.2", 9200))'
wait "$probe_pid"
cat "$work/probe"
check "the probe's first line says the adapter sees traffic" \
  bash -c "head -n 1 '$work/probe' | grep -q '^Adapter tb$tag (10.203.0.2) saw traffic: [0-9]* frames in 3.0 s.$'"
check "the probe counts the three receipts on their link" \
  has_line "$work/probe" "  line 4: 10.203.0.1:* -> *:9100  port 4301  3 frames, ${#receipts} bytes"
check "the probe counts the datagram on its link" \
  has_line "$work/probe" "  line 5: 10.203.0.1:* -> *:9200  port 4302  1 frames, 10 bytes"
check "the probe shows the datagrams to the wrong port" \
  has_line "$work/probe" "  10.203.0.1:5555 -> 10.203.0.2:9101  2 frames, 34 bytes"

wait_for 5 bash -c "[ \$(stat -c %s '$work/text') -ge ${#receipts} ]"
sleep 0.3
check "the text recorder prints exactly the till's bytes" cmp -s "$work/text" <(printf %s "$receipts")

# Two samples of the counters file, the second written after everything was relayed.
run_tool "$work/status" Marlobex-status
cat "$work/status"
counts_line() {  # counts_line FRAMES BYTES: a link's counts since the start and over the interval
  grep -qxE "    $1 frames, $2 bytes since the start; [0-9]+ frames, [0-9]+ bytes in the last 1[01]\.[0-9] s" "$work/status"
}
check "Marlobex-status: both recorders connected is OK (0), with the recent log lines" \
  bash -c "[ $status = 0 ] && grep -qx '  port 4302 (10.203.0.1:::9200): listening, recorder 127.0.0.1 connected' '$work/status' &&
    grep -q 'Rejected connection from address: 127.0.0.7 on port 4301' '$work/status' && tail -n 1 '$work/status' | grep -qx OK"
check "Marlobex-status counts the receipts' frames and bytes since the start, and the last interval" \
  counts_line 3 ${#receipts}
check "Marlobex-status counts the datagram's frame and bytes" counts_line 1 10
check "Marlobex-status shows the drops by reason" \
  bash -c "[ \$(grep -cx '    dropped: no_recorder 0 (+0), slow_recorder 0 (+0), write_failed 0 (+0)' '$work/status') = 2 ]"

# --- the daemon stops: the recorders say so, the status is critical ---
kill -TERM "$daemon_pid"
wait "$text_pid"; text_status=$?
wait "$hex_pid"
daemon_pid=
check "the recorder reports the closed connection and ends with status 0" \
  bash -c "[ $text_status = 0 ] && grep -qx 'Connected to 127.0.0.1:4301 from 127.0.0.1:[0-9]*' '$work/text.err' &&
    grep -qx 'Connection closed by the daemon after ${#receipts} bytes' '$work/text.err'"
check "the hex recorder prints the datagram as a hex dump" \
  diff "$work/hex" <(echo "00000000  55 44 50 20 4c 49 4e 45  20 31                    |UDP LINE 1|")
wait_for 3 bash -c "! kill -0 $(head -n 1 "$home/Marlobex.lock") 2>/dev/null"
run_tool "$work/status" Marlobex-status
check "Marlobex-status after the stop: critical (2)" \
  bash -c "[ $status = 2 ] && grep -q 'Terminate signal caught.  Exiting.' '$work/status'"

# --- another program holds 4301 before the daemon starts, and the recorder connects to it ---
# (ip netns exec, not in_host, so that $! is the process to end)
ip netns exec "$host" python3 -c '
import socket, sys, time
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(("0.0.0.0", 4301)); l.listen(4)  # past the closed connections in TIME_WAIT
open(sys.argv[1], "w").close()
c, _ = l.accept(); time.sleep(30)' "$work/squatting" &
squatter_pid=$!
wait_for 5 test -e "$work/squatting"
rm -f "$home/Marlobex.prom"
in_host "$binary"
wait_for 5 test -e "$home/Marlobex.prom"
daemon_pid=$(head -n 1 "$home/Marlobex.lock")
ip netns exec "$host" "$tools/Marlobex-recorder" 127.0.0.1 4301 --bind 127.0.0.1 > /dev/null 2> "$work/fooled.err" &
fooled_pid=$!
wait_for 5 grep -q '^Connected to 127.0.0.1:4301' "$work/fooled.err"
run_tool "$work/status" Marlobex-status --wait 0
cat "$work/status"
check "a recorder connected to the program holding the daemon's port" \
  grep -qx 'Connected to 127.0.0.1:4301 from 127.0.0.1:[0-9]*' "$work/fooled.err"
check "Marlobex-status: a link whose port another program holds is not listening, a warning (1)" \
  bash -c "[ $status = 1 ] && grep -qx '  port 4301 (10.203.0.1:::9100): not listening' '$work/status' &&
    grep -qx 'WARNING: port 4301 (10.203.0.1:::9100) is not listening: another program holds the port, or its server stopped (see the log)' '$work/status' &&
    grep -q 'Acceptor bind failed: Port 4301 Error: Address already in use' '$work/status' &&
    tail -n 1 '$work/status' | grep -qx WARNING"
kill "$fooled_pid" "$squatter_pid" 2>/dev/null
wait "$fooled_pid" "$squatter_pid"
kill -TERM "$daemon_pid"
wait_for 3 bash -c "! kill -0 $daemon_pid 2>/dev/null"
daemon_pid=

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
