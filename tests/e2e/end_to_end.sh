#!/usr/bin/env bash
# Runs the built daemon as a user would: a till and its host in two network namespaces joined by a
# veth pair, the daemon sniffing the host's adapter, recorders connecting over loopback. Everything
# happens in a private mount namespace with a tmpfs on the installation directory.
# The test process is a child subreaper (the subreaper helper), so it collects the exit status of
# the daemon itself, not only of the process that forked it.
# Usage: end_to_end.sh MARLOBEX_BINARY INSTALL_DIRECTORY SUBREAPER
set -uo pipefail

if [ "$(id -u)" != 0 ]; then
  echo "SKIP: the end-to-end test needs root (network namespaces, promiscuous capture)"
  exit 0
fi
binary=$1
home=${2%/}
subreaper=$3

source "$(dirname "$0")/../../scripts/sandbox.sh"
source "$(dirname "$0")/common.sh"
[ -n "${MARLOBEX_E2E_TAG:-}" ] ||
  sandbox_reenter MARLOBEX_E2E_TAG mx va vb 10.201.0.2 10.201.0.1 -- "$0" "$@"
sandbox_private_home "$home" || exit 1
log=$home/Marlobex.log
tag=$MARLOBEX_E2E_TAG
till=mxtill$tag host=mxhost$tag
work=$(mktemp -d)
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null
  [ -n "${init_pid:-}" ] && kill -KILL "$init_pid" 2>/dev/null
  jobs -p | xargs -r kill 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

log_has() { grep -qxF -- "$1" <(sed -E 's/^\[ [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]{8} \] //' "$log"); }
last_line_is() { [ "$(tail -n 1 "$log" | sed -E 's/^\[ [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]{8} \] //')" = "$1" ]; }
alive() { kill -0 "$1" 2>/dev/null; }
starts() { grep -c 'Starting Marlobex' "$log"; }
# A daemon started under the subreaper: STATUS_FILE gets "child <pid>" and one "<pid> exited <n>"
# line per process that ends, the forking parent's and the daemon's own.
start_reaped() {  # start_reaped STATUS_FILE; sets reaper_pid
  in_host "$subreaper" "$1" "$binary" &
  reaper_pid=$!
}
parent_status() { awk 'NR == 1 { child = $2 } $1 == child && $2 == "exited" { print $3 }' "$1"; }
status_of() { awk -v pid="$2" '$1 == pid && $2 != "child" { print $2, $3 }' "$1"; }
reaped() { [ -n "$(status_of "$1" "$2")" ]; }
dead() { ! alive "$1"; }

# --- network: till 10.201.0.1 -- host 10.201.0.2 (the daemon sniffs the host side) ---

cat > "$home/Marlobex.xml" <<'XML'
<Marlobex>
  <Network SniffAdapterAddress="10.201.0.2">
    <NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="10.201.0.1" DstAddress="10.201.0.2" DstPort="9100" NvrPort="4101"/>
    <Terminal SrcAddress="10.201.0.1" DstPort="9200" NvrPort="4102"/>
  </Network>
</Marlobex>
XML

# A recorder: connects from FROM to PORT in the host namespace and stores what it receives until
# the connection ends or the time is up.
recorder() {  # recorder FROM PORT OUTFILE SECONDS
  in_host python3 - "$@" <<'PY' &
import socket, sys, time
src, port, out, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3].strip(), float(sys.argv[4])
s = socket.socket()
s.bind((src, 0))
s.connect(("127.0.0.1", port))
open(out + ".connected", "w").close()
s.settimeout(0.1)
end = time.time() + seconds
with open(out, "wb") as f:
    while time.time() < end:
        try:
            data = s.recv(65536)
        except socket.timeout:
            continue
        if not data:
            break
        f.write(data); f.flush()
open(out + ".closed", "w").close()
PY
}
# The till's host: accepts on 9100 and answers every receipt (traffic the recorder must never see).
in_host python3 - <<'PY' &
import socket, threading
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(("10.201.0.2", 9100)); l.listen(8); l.settimeout(30)
def serve(c):
    while True:
        d = c.recv(4096)
        if not d: break
        c.sendall(b"ACK " + str(len(d)).encode() + b"\n")
try:
    while True:
        c, _ = l.accept()
        threading.Thread(target=serve, args=(c,), daemon=True).start()
except socket.timeout:
    pass
PY
till_send() {  # till_send TEXT: one TCP receipt, waiting for the host's answer
  in_till python3 -c '
import socket, sys
s = socket.create_connection(("10.201.0.2", 9100), timeout=5)
s.sendall(sys.argv[1].encode()); s.recv(100); s.close()' "$1"
}
till_udp() { in_till python3 -c '
import socket, sys
socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(sys.argv[1].encode(), ("10.201.0.2", 9200))' "$1"; }

# --- start-up ---
start_reaped "$work/first.status"
wait_for 5 log_has "Creating terminal connection: 127.0.0.1:4102"
wait_for 3 bash -c "[ -n \"\$(awk 'NR == 1 { c = \$2 } \$1 == c && \$2 == \"exited\"' '$work/first.status')\" ]"
check "the starting process ends with status 0" [ "$(parent_status "$work/first.status")" = 0 ]
check "banner, adapter and both servers logged" \
  bash -c "grep -q 'Starting Marlobex version 1.2.6.72482' '$log' && grep -q 'Listening on vb$tag 10.201.0.2' '$log'"
daemon_pid=$(head -n 1 "$home/Marlobex.lock")
check "the lock file holds the daemon's id and a newline" \
  bash -c "[ \"\$(cat '$home/Marlobex.lock')\" = '$daemon_pid' ] && [ \$(stat -c %s '$home/Marlobex.lock') = $(( ${#daemon_pid} + 1 )) ]"
check "the lock file has mode 0640" [ "$(stat -c %a "$home/Marlobex.lock")" = 640 ]
check "the log file has mode 0640" [ "$(stat -c %a "$log")" = 640 ]
check "the daemon runs" alive "$daemon_pid"

in_host "$subreaper" "$work/second.status" "$binary"
check "a second start ends with status 0, its daemon child too" \
  [ "$(grep -c ' exited 0$' "$work/second.status")/$(grep -vc '^child ' "$work/second.status")" = 2/2 ]
sleep 0.3
check "the second start logs nothing" [ "$(grep -c 'Starting Marlobex' "$log")" = 1 ]
check "the first instance keeps running" alive "$daemon_pid"

# --- a stranger is rejected, once per address ---
for i in 1 2; do
  in_host python3 -c '
import socket
s = socket.socket(); s.bind(("127.0.0.2", 0)); s.connect(("127.0.0.1", 4101)); s.settimeout(3)
assert s.recv(10) == b""' || true
done
wait_for 3 log_has "Rejected connection from address: 127.0.0.2 on port 4101"
check "a stranger is rejected and logged once" [ "$(grep -c 'Rejected connection from address: 127.0.0.2 on port 4101' "$log")" = 1 ]

# --- receipts reach the recorder byte for byte, one direction only ---
recorder 127.0.0.1 4101 "$work/tcp " 20
recorder 127.0.0.1 4102 "$work/udp" 20
wait_for 5 test -e "$work/tcp.connected" && wait_for 5 test -e "$work/udp.connected"
wait_for 3 log_has "Accepted connection from NVR address: 127.0.0.1 Port: 4102"
receipt1=$'STORE 12 TILL 1\nCOFFEE         2.50\nTOTAL          2.50\n'
receipt2=$'STORE 12 TILL 1\nBAGEL          1.90\nVOID BAGEL    -1.90\nTOTAL          0.00\n'
till_send "$receipt1"; till_send "$receipt2"; till_udp "UDP LINE 1"
expected="$receipt1$receipt2"
wait_for 5 bash -c "[ \$(stat -c %s '$work/tcp') -ge ${#expected} ]"
sleep 0.3
check "the recorder received exactly the till's bytes" cmp -s "$work/tcp" <(printf %s "$expected")
check "the UDP link's recorder received the datagram's payload" [ "$(cat "$work/udp")" = "UDP LINE 1" ]

# --- job-control signals and SIGCHLD change nothing ---
for sig in TSTP TTIN TTOU CHLD; do kill -s $sig "$daemon_pid"; done
sleep 0.2
check "job-control signals leave the daemon running, not stopped" \
  bash -c "[ \"\$(awk '{print \$3}' /proc/$daemon_pid/stat)\" != T ]"

# --- a recorder that drops is replaced by one that reconnects ---
pkill -f "$work/tcp " 2>/dev/null
wait_for 3 test -e "$work/tcp.closed" || true
for i in 1 2 3; do till_send "LOST $i"; sleep 0.1; done
wait_for 5 log_has "Terminal port 127.0.0.1:4101 Write failed: Broken pipe" ||
  wait_for 1 log_has "Terminal port 127.0.0.1:4101 Write failed: Connection reset by peer"
check "the dropped recorder's failed write is logged" grep -q "Terminal port 127.0.0.1:4101 Write failed: " "$log"
recorder 127.0.0.1 4101 "$work/again" 10
wait_for 5 test -e "$work/again.connected"
wait_for 3 bash -c "[ \$(grep -c 'Accepted connection from NVR address: 127.0.0.1 Port: 4101' '$log') = 2 ]"
receipt3=$'STORE 12 TILL 1\nTEA            1.80\nCASH           5.00\nCHANGE         3.20\n'
till_send "$receipt3"
wait_for 5 bash -c "[ \$(stat -c %s '$work/again') -ge ${#receipt3} ]"
check "the reconnected recorder gets the later receipt" cmp -s "$work/again" <(printf %s "$receipt3")

# --- SIGTERM ends the daemon with its line ---
kill -TERM "$daemon_pid"
wait_for 3 dead "$daemon_pid"
check "SIGTERM ends the daemon" dead "$daemon_pid"
check "the last line is the SIGTERM line" last_line_is "Terminate signal caught.  Exiting."
wait_for 3 reaped "$work/first.status" "$daemon_pid"
check "the daemon itself ends with status 0 on SIGTERM" [ "$(status_of "$work/first.status" "$daemon_pid")" = "exited 0" ]
wait "$reaper_pid"

# --- a restart on the same lock file, ended by SIGHUP ---
echo 123456789 > "$home/Marlobex.lock"
start_reaped "$work/hangup.status"
wait_for 5 bash -c "[ \$(grep -c 'Starting Marlobex' '$log') = 2 ] && grep -q . '$home/Marlobex.lock'"
sleep 0.3
daemon_pid=$(head -n 1 "$home/Marlobex.lock")
check "a longer stale id is replaced whole" bash -c "[ \"\$(cat '$home/Marlobex.lock')\" = '$daemon_pid' ] && [ '$daemon_pid' != 123456789 ]"

# --- counters: 37 payloads to a connected recorder, 3 to a link without one, 5 matching nothing ---
recorder 127.0.0.1 4102 "$work/counted" 20
wait_for 5 test -e "$work/counted.connected"
wait_for 3 bash -c "[ \$(grep -c 'Accepted connection from NVR address: 127.0.0.1 Port: 4102' '$log') = 2 ]"
in_till python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for port, count in ((9200, 37), (9100, 3), (9300, 5)):
    for i in range(count):
        s.sendto(b"PAYLOAD %02d\n" % i, ("10.201.0.2", port)); time.sleep(0.002)'
wait_for 5 bash -c "[ \$(stat -c %s '$work/counted') -ge 407 ]"
kill -HUP "$daemon_pid"
wait_for 3 dead "$daemon_pid"
check "the last line is the SIGHUP line" last_line_is "Hangup signal caught.  Exiting."
wait_for 3 reaped "$work/hangup.status" "$daemon_pid"
check "the daemon itself ends with status 0 on SIGHUP" [ "$(status_of "$work/hangup.status" "$daemon_pid")" = "exited 0" ]
prom=$home/Marlobex.prom
udp='nvr_port="4102",recorder="127.0.0.1",src_address="10.201.0.1",src_port="",dst_address="",dst_port="9200"'
tcp='nvr_port="4101",recorder="127.0.0.1",src_address="10.201.0.1",src_port="",dst_address="10.201.0.2",dst_port="9100"'
cat > "$work/expected.prom" <<EOF
marlobex_info{version="1.2.6.72482"} 1
marlobex_capture_open 1
marlobex_capture_read_errors_total 0
marlobex_link_frames_total{$udp} 37
marlobex_link_payload_bytes_total{$udp} 407
marlobex_link_sent_bytes_total{$udp} 407
marlobex_link_recorder_connections_total{$udp} 1
marlobex_link_recorder_connected{$udp} 1
marlobex_link_listening{$udp} 1
marlobex_link_dropped_payloads_total{$udp,reason="no_recorder"} 0
marlobex_link_dropped_payloads_total{$udp,reason="slow_recorder"} 0
marlobex_link_dropped_payloads_total{$udp,reason="write_failed"} 0
marlobex_link_frames_total{$tcp} 3
marlobex_link_payload_bytes_total{$tcp} 33
marlobex_link_sent_bytes_total{$tcp} 0
marlobex_link_recorder_connected{$tcp} 0
marlobex_link_dropped_payloads_total{$tcp,reason="no_recorder"} 3
EOF
check "the counters file at the stop holds the exact counts" bash -c "! grep -vxFf '$prom' '$work/expected.prom'"
check "the counters file has mode 0640" [ "$(stat -c %a "$prom")" = 640 ]
last_payload=$(grep -F "marlobex_link_last_payload_seconds{$udp} " "$prom" | cut -d' ' -f2)
check "the last payload's time is the capture's" bash -c "[ $(( $(date +%s) - ${last_payload:-0} )) -lt 60 ]"
check "the capture counted every frame offered" \
  bash -c "[ \$(sed -n 's/^marlobex_capture_frames_total //p' '$prom') -ge 45 ]"
wait "$reaper_pid"
daemon_pid=

# --- SIGTERM and SIGHUP while the daemon is busy logging: strangers from many addresses ---
stranger_flood() {  # one rejected connection from each of up to 1000 distinct addresses
  in_host python3 - <<'PY' &
import socket
for i in range(1000):
    s = socket.socket()
    try:
        s.bind(("127.0.%d.%d" % (10 + i // 250, 1 + i % 250), 0))
        s.connect(("127.0.0.1", 4101))
    except OSError:
        break  # the daemon has gone
    finally:
        s.close()
PY
  flood_pid=$!
}
stamped_lines_only() { ! grep -vqE '^\[ [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]{8} \] ' "$log"; }
for signal in TERM HUP; do
  before=$(starts)
  rejected_before=$(grep -c 'Rejected connection from address: ' "$log")
  rm -f "$home/Marlobex.lock"
  start_reaped "$work/busy-$signal.status"
  wait_for 5 bash -c "[ \$(grep -c 'Starting Marlobex' '$log') -gt $before ] && grep -q . '$home/Marlobex.lock'"
  wait_for 3 log_has "Creating terminal connection: 127.0.0.1:4102"
  daemon_pid=$(head -n 1 "$home/Marlobex.lock")
  stranger_flood
  wait_for 10 bash -c "[ \$(grep -c 'Rejected connection from address: ' '$log') -ge $((rejected_before + 200)) ]"
  kill -s "$signal" "$daemon_pid"
  wait_for 5 reaped "$work/busy-$signal.status" "$daemon_pid"
  wait "$flood_pid" "$reaper_pid"
  rejected=$(( $(grep -c 'Rejected connection from address: ' "$log") - rejected_before ))
  echo "SIG$signal arrived after $rejected rejection lines"
  [ $signal = TERM ] && line="Terminate signal caught.  Exiting." || line="Hangup signal caught.  Exiting."
  check "SIG$signal while busy logging: its line is the last line" last_line_is "$line"
  check "SIG$signal while busy logging: the daemon ends with status 0" \
    [ "$(status_of "$work/busy-$signal.status" "$daemon_pid")" = "exited 0" ]
  check "SIG$signal while busy logging: every line is whole and stamped" stamped_lines_only
done
daemon_pid=

# --- started by process 1 (as under a service manager): no fork, no lock ---
rm -f "$home/Marlobex.lock"
before=$(starts)
ip netns exec "$host" unshare --pid --fork --kill-child sh -c "\"$binary\" & wait" >/dev/null 2>&1 &
init_pid=$!
wait_for 5 bash -c "[ \$(grep -c 'Starting Marlobex' '$log') -gt $before ]"
sleep 0.3
check "under process 1 the daemon runs in the foreground" alive "$init_pid"
check "under process 1 no lock file is taken" [ ! -e "$home/Marlobex.lock" ]
kill -KILL "$init_pid"; wait "$init_pid" 2>/dev/null

# --- an outside rotation (logrotate's "create") under a running daemon ---
before=$(starts)
in_host "$binary"
wait_for 5 bash -c "[ \$(grep -c 'Starting Marlobex' '$log') -gt $before ]"
sleep 0.3
daemon_pid=$(head -n 1 "$home/Marlobex.lock")
check "the daemon's umask is 027" grep -qxP "Umask:\t0027" "/proc/$daemon_pid/status"
mv "$log" "$log.1" && install -m 640 /dev/null "$log"
kill -TERM "$daemon_pid"
wait_for 3 dead "$daemon_pid"
check "after an outside rotation, SIGTERM's line is the last line of the file at the log's path" \
  last_line_is "Terminate signal caught.  Exiting."
check "and the renamed file does not get it" bash -c "! tail -n 1 '$log.1' | grep -q 'signal caught'"
daemon_pid=

# --- a configuration nested 70,000 deep is refused before parsing: status 255, no crash ---
python3 -c 'print("<a>" * 70000)' > "$home/Marlobex.xml"
start_reaped "$work/deep.status"
wait "$reaper_pid"
check "a configuration nested 70,000 deep ends the daemon with status 255" \
  bash -c "grep -q ' exited 255$' '$work/deep.status' && ! grep -q ' killed ' '$work/deep.status'"
check "and its last line is the load failure" last_line_is "Failed to load Marlobex.xml. Exiting."

echo "--- daemon log ---"; cat "$log"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
