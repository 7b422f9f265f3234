#!/usr/bin/env bash
# Faults and load against the built daemon, set up like end_to_end.sh: a till and its host in two
# network namespaces joined by a veth pair, the daemon sniffing the host's adapter, recorders on
# loopback, a private mount namespace with a tmpfs on the installation directory. Every scenario
# starts a fresh daemon and ends by stopping it with SIGTERM while the fault or the load goes on.
# Usage: fault_load.sh MARLOBEX_BINARY INSTALL_DIRECTORY
set -uo pipefail

if [ "$(id -u)" != 0 ]; then
  echo "SKIP: the fault and load test needs root (network namespaces, promiscuous capture)"
  exit 0
fi
binary=$1
home=${2%/}

source "$(dirname "$0")/../../scripts/sandbox.sh"
source "$(dirname "$0")/../../tests/e2e/common.sh"
source "$(dirname "$0")/watch.sh"
sandbox_enter MARLOBEX_FAULT_TAG mxf fa fb 10.203.0.2 10.203.0.1 -- "$0" "$@"
export LC_ALL=C
mkdir -p "$work/logs"
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null
  mountpoint -q "$home" && umount "$home" 2>/dev/null
  jobs -p | xargs -r kill 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cat > "$home/Marlobex.xml" <<'XML'
<Marlobex>
  <Network SniffAdapterAddress="10.203.0.2">
    <NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="10.203.0.1" DstAddress="10.203.0.2" DstPort="9100" NvrPort="4101"/>
    <Terminal SrcAddress="10.203.0.1" DstPort="9200" NvrPort="4102"/>
    <Terminal SrcAddress="10.203.0.1" DstPort="9300" NvrPort="4103"/>
  </Network>
</Marlobex>
XML

# The till's host reads every connection to 9100 to its end; it lives as long as the test may.
wait_for 5 bash -c "ip -n '$host' -4 addr show | grep -q 10.203.0.2"
bg_host host 10.203.0.2 9100 560
wait_for 10 bash -c "ip netns exec '$host' ss -Hltn 'sport = :9100' | grep -q ."

# start_daemon NAME: keeps the previous scenario's log, starts the daemon on a fresh one.
start_daemon() {
  local name=$1 file
  for file in "$log" "$log.old"; do
    [ -e "$file" ] && mv "$file" "$work/logs/$name-before-$(basename "$file")"
  done
  in_host "$binary"
  wait_for 10 log_has "Creating terminal connection: 127.0.0.1:4103" || { echo "FAILED: $name: the daemon did not start"; return 1; }
  daemon_pid=$(head -n 1 "$home/Marlobex.lock")
  echo "--- $name (daemon $daemon_pid) ---"
}

# terminate_during NAME: SIGTERM while the fault or the load is still on.
terminate_during() {
  local name=$1
  kill -TERM "$daemon_pid"
  wait_for 2 dead "$daemon_pid"
  check "$name: SIGTERM during the load ends the daemon within 2 s" dead "$daemon_pid"
  check "$name: the last line is the stamped 'Terminate signal caught.  Exiting.'" last_line_is_sigterm
  if [ "$failed" != 0 ]; then echo "--- log of $name (last 15 lines) ---"; tail -n 15 "$log"; fi
  kill -KILL "$daemon_pid" 2>/dev/null
  daemon_pid=
}

# sample_rss PID OUT STOP_FILE SECONDS: the daemon's VmRSS (KiB) every 0.2 s, one per line.
sample_rss() {
  local deadline=$((SECONDS + $4))
  while [ ! -e "$3" ] && [ $SECONDS -lt $deadline ]; do rss_kib "$1" >> "$2"; sleep 0.2; done
}

# pad_log BYTES: appends stamped filler lines until the log holds about BYTES.
pad_log() {
  local want=$1 have stamp
  have=$(size_of "$log")
  [ "$have" -ge "$want" ] && return 0
  stamp="[ $(date '+%Y-%b-%d %H:%M:%S') ]"
  awk -v n=$(( (want - have) / 80 + 1 )) -v s="$stamp" \
    'BEGIN { for (i = 0; i < n; i++) printf "%s filler line %08d, standing in for older log lines .....\n", s, i }' >> "$log"
}

# ---------------------------------------------------------------------------------------------
# 1. A recorder that stops reading while the till sends a burst.
scenario_stalled_recorder() {
  local name="stalled recorder" out=$work/stalled burst_count=40000 tail_count=300 rss_max
  start_daemon "$name" || return
  bg_host stalled-recorder 4101 "$out" 10 "$out.go" "$out.done" 120
  local recorder_pid=$!
  wait_for 5 test -e "$out.connected" && wait_for 3 log_has "Accepted connection from NVR address: 127.0.0.1 Port: 4101"
  check "$name: the recorder is admitted" log_has "Accepted connection from NVR address: 127.0.0.1 Port: 4101"
  echo "checks: $burst_count records (200..1400 bytes, one per TCP segment) while the recorder reads nothing for 10 s"
  sample_rss "$daemon_pid" "$work/rss" "$work/rss.stop" 120 &
  local sampler=$!
  till burst 10.203.0.2 9100 0 $burst_count 40 | tee "$work/burst.out"
  touch "$out.go"
  wait_for 40 test -e "$out.reading"
  sleep 2
  till burst 10.203.0.2 9100 $burst_count $tail_count 20
  touch "$out.done"
  wait_for 30 test -e "$out.read"
  touch "$work/rss.stop"; wait "$sampler"
  rss_max=$(sort -n "$work/rss" | tail -n 1)
  local sent_bytes; sent_bytes=$(awk '{print $4}' "$work/burst.out")
  measured "burst of $sent_bytes bytes; recorder received $(size_of "$out") bytes; daemon VmRSS at most ${rss_max:-?} KiB over $(wc -l < "$work/rss") samples"
  check "$name: the received stream is whole records in rising order, ending with the last record sent after the stall" \
    client verify "$out" $((burst_count + tail_count - 1))
  local drops; drops=$(count_lines "Terminal port 127.0.0.1:4101 Recorder is not keeping up. Dropping data.")
  measured "'Recorder is not keeping up' lines: $drops"
  check "$name: the dropping is logged once for the one episode" [ "$drops" = 1 ]
  check "$name: the daemon's resident memory stays below 64 MiB" [ "${rss_max:-999999}" -lt 65536 ]
  # The recorder holds its connection again without reading; a second burst is on when SIGTERM comes.
  bg_till burst 10.203.0.2 9100 100000 20000 10 > /dev/null
  local burst_pid=$!
  sleep 2
  measured "daemon VmRSS during the second burst: $(rss_kib "$daemon_pid") KiB"
  terminate_during "$name"
  kill "$burst_pid" "$recorder_pid" 2>/dev/null; wait "$burst_pid" "$recorder_pid" 2>/dev/null
}

# ---------------------------------------------------------------------------------------------
# 2. A recorder that connects and drops a thousand times.
scenario_flapping_recorder() {
  local name="flapping recorder" out=$work/flap_final flaps=1000
  start_daemon "$name" || return
  echo "checks: $flaps connect-and-reset cycles on port 4102 while UDP payloads flow, then a steady recorder"
  # A reset connection is noticed by its pending read, or by a write that finds it first; either
  # way the next connection is taken from the listen queue. Payloads flow meanwhile.
  rm -f "$work/drain.stop"
  bg_till udp 10.203.0.2 9200 120000 "DRAIN" 0.001 "$work/drain.stop" > "$work/drain.out"
  local drain=$!
  local started=$SECONDS
  client flap 4102 $flaps 0.002 | tee "$work/flap.out"
  local made; made=$(awk '{print $2}' "$work/flap.out")
  local ended_re='^Terminal port 127\.0\.0\.1:4102 (Write failed: |Recorder closed the connection\.$)'
  wait_for 30 bash -c "[ \$(sed -E 's/$stamp_re//' '$log' | grep -cE '$ended_re') -ge $made ]"
  touch "$work/drain.stop"; wait "$drain"
  sleep 0.3
  local accepted failures closed
  accepted=$(count_lines "Accepted connection from NVR address: 127.0.0.1 Port: 4102")
  failures=$(count_prefix "Terminal port 127.0.0.1:4102 Write failed: ")
  closed=$(count_lines "Terminal port 127.0.0.1:4102 Recorder closed the connection.")
  measured "$made connections made in $((SECONDS - started)) s; log: $accepted accepted, $closed seen closed, $failures write failures; $(cat "$work/drain.out")"
  check "$name: every connection made was admitted and logged once" [ "$accepted" = "$flaps" ]
  check "$name: every dropped connection's end is logged once" [ $((closed + failures)) = "$flaps" ]
  check "$name: the daemon survived" alive "$daemon_pid"
  bg_host record 4102 "$out" 30
  local recorder_pid=$!
  wait_for 5 test -e "$out.connected"
  wait_for 5 bash -c "[ \$(sed -E 's/$stamp_re//' '$log' | grep -cxF 'Accepted connection from NVR address: 127.0.0.1 Port: 4102') = $((flaps + 1)) ]"
  local receipt=$'STORE 7 TILL 2\nSOUP           3.40\nTOTAL          3.40\n'
  till udp 10.203.0.2 9200 1 "$receipt"
  wait_for 5 at_least "$out" ${#receipt}; sleep 0.3
  check "$name: the steady recorder afterwards gets the receipt byte for byte" cmp -s "$out" <(printf %s "$receipt")
  local other
  other=$(messages | grep -vcE '^(------ Starting Marlobex version |Listening on |Creating terminal connection: |Accepted connection from NVR address: 127\.0\.0\.1 Port: 4102$|Terminal port 127\.0\.0\.1:4102 (Write failed: |Recorder closed the connection\.$))')
  check "$name: nothing else was logged" [ "$other" = 0 ]
  # The steady recorder leaves; the flapping and the payloads start again and SIGTERM comes in the middle.
  kill "$recorder_pid"; wait "$recorder_pid" 2>/dev/null
  rm -f "$work/drain.stop"
  bg_till udp 10.203.0.2 9200 30000 "DRAIN" 0.001 "$work/drain.stop" > /dev/null
  drain=$!
  bg_host flap 4102 $flaps 0.002 > /dev/null
  local flapper=$!
  sleep 1
  terminate_during "$name"
  touch "$work/drain.stop"; kill "$flapper" 2>/dev/null; wait "$drain" "$flapper" 2>/dev/null
}

# ---------------------------------------------------------------------------------------------
# 3. Ten thousand connections from strangers.
scenario_strangers() {
  local name="strangers" out=$work/strangers_recorder
  start_daemon "$name" || return
  echo "checks: 10000 connections to port 4101 from 1512 addresses 127.0.x.y; the first 1024 distinct ones are logged once each"
  # 1024 addresses five times each, then 488 more addresses ten times each: 10000 attempts.
  client strangers 4101 0 1024 5 64
  check "$name: every one of the first 5120 attempts was closed by the daemon" [ $? = 0 ]
  client strangers 4101 1024 488 10 64
  check "$name: every one of the next 4880 attempts was closed by the daemon" [ $? = 0 ]
  messages | sed -nE 's/^Rejected connection from address: (.*) on port 4101$/\1/p' > "$work/rejected"
  client addresses 0 1024 > "$work/first_addresses"
  local lines distinct
  lines=$(wc -l < "$work/rejected"); distinct=$(sort -u "$work/rejected" | wc -l)
  measured "$lines rejection lines for $distinct distinct addresses"
  check "$name: exactly one rejection line for each of the first 1024 addresses, none for later ones" \
    cmp -s <(sort "$work/rejected") <(sort "$work/first_addresses")
  bg_host record 4101 "$out" 30
  local recorder_pid=$!
  wait_for 5 test -e "$out.connected"
  wait_for 3 log_has "Accepted connection from NVR address: 127.0.0.1 Port: 4101"
  check "$name: the recorder is still admitted" log_has "Accepted connection from NVR address: 127.0.0.1 Port: 4101"
  local receipt=$'STORE 7 TILL 3\nBREAD          2.10\nTOTAL          2.10\n'
  till tcp 10.203.0.2 9100 "$receipt"
  wait_for 5 at_least "$out" ${#receipt}; sleep 0.3
  check "$name: the recorder gets the receipt byte for byte" cmp -s "$out" <(printf %s "$receipt")
  # The recorder leaves (the next payload finds it gone), strangers come again, SIGTERM meanwhile.
  kill "$recorder_pid"; wait "$recorder_pid" 2>/dev/null
  till tcp 10.203.0.2 9100 "AFTER 1"; sleep 0.1; till tcp 10.203.0.2 9100 "AFTER 2"
  wait_for 3 bash -c "sed -E 's/$stamp_re//' '$log' | grep -q '^Terminal port 127.0.0.1:4101 Write failed: '"
  bg_host strangers 4101 0 1512 3 64 > /dev/null
  local flood=$!
  sleep 1
  terminate_during "$name"
  kill "$flood" 2>/dev/null; wait "$flood" 2>/dev/null
}

# ---------------------------------------------------------------------------------------------
# 5. The log directory read-only for a while, then an old generation that cannot be replaced.
rejection_line() { echo "Rejected connection from address: $(client addresses "$1" 1) on port 4103"; }

scenario_log_faults() {
  local name="log faults" out=$work/log_recorder
  start_daemon "$name" || return
  bg_host record 4102 "$out" 120
  local recorder_pid=$!
  wait_for 5 test -e "$out.connected" && wait_for 3 log_has "Accepted connection from NVR address: 127.0.0.1 Port: 4102"

  echo "checks: the installation directory remounted read-only while the log passes 1 MiB"
  pad_log $((1048576 - 20000))
  mount --bind "$home" "$home" && mount -o remount,bind,ro "$home"
  check "$name: the installation directory is read-only now" bash -c "! touch '$home/probe' 2>/dev/null"
  client strangers 4103 0 600 1 16 > /dev/null
  local size_ro; size_ro=$(size_of "$log")
  local in_file; in_file=$(count_prefix "on port 4103")
  measured "log $size_ro bytes with the directory read-only; $in_file of 600 rejection lines reached it"
  check "$name: the daemon keeps running with a read-only log directory" alive "$daemon_pid"
  check "$name: lines before the rotation size still reach the open log" [ "$in_file" -ge 1 ]
  local receipt_a=$'STORE 7 TILL 4\nMILK           0.99\nTOTAL          0.99\n'
  till udp 10.203.0.2 9200 1 "$receipt_a"
  wait_for 5 at_least "$out" ${#receipt_a}; sleep 0.3
  check "$name: a receipt is still relayed byte for byte while the log cannot be written" cmp -s "$out" <(printf %s "$receipt_a")
  umount "$home"
  client strangers 4103 600 1 1 1 > /dev/null
  client strangers 4103 601 1 1 1 > /dev/null
  sleep 0.2
  measured "after the remount: Marlobex.log $(size_of "$log") bytes, Marlobex.log.old $(size_of "$log.old") bytes"
  check "$name: logging resumes once the directory is writable again" log_has "$(rejection_line 601)"
  check "$name: and the overdue rotation is done" bash -c "[ $(size_of "$log.old") -gt 1048576 ]"

  echo "checks: a Marlobex.log.old that cannot be removed (a directory with a file in it) while the log passes 1 MiB"
  rm -f "$log.old"; mkdir "$log.old"; echo keep > "$log.old/keep"
  pad_log $((1048576 + 10000))
  client strangers 4103 602 200 1 16 > /dev/null
  local rotation_failures; rotation_failures=$(count_lines "Log rotation failed: Directory not empty")
  local logged; logged=$(messages | grep -c 'on port 4103$')
  measured "log $(size_of "$log") bytes; $rotation_failures 'Log rotation failed' lines; $logged rejection lines for port 4103 in the unrotated log"
  check "$name: the failed rotation is logged once for the episode" [ "$rotation_failures" = 1 ]
  check "$name: logging goes on in the unrotated file" [ "$logged" -ge 200 ]
  check "$name: the old generation is left as it was" [ "$(cat "$log.old/keep")" = keep ]
  local receipt_b=$'STORE 7 TILL 4\nEGGS           2.49\nTOTAL          2.49\n'
  till udp 10.203.0.2 9200 1 "$receipt_b"
  wait_for 5 at_least "$out" $(( ${#receipt_a} + ${#receipt_b} )); sleep 0.3
  check "$name: a receipt is still relayed byte for byte while rotation fails" cmp -s "$out" <(printf %s "$receipt_a$receipt_b")
  # More strangers while rotation keeps failing; SIGTERM in the middle.
  bg_host strangers 4103 802 200 5 16 > /dev/null
  local flood=$!
  sleep 0.5
  terminate_during "$name"
  check "$name: still one rotation failure line after SIGTERM" [ "$(count_lines "Log rotation failed: Directory not empty")" = 1 ]
  kill "$flood" "$recorder_pid" 2>/dev/null; wait "$flood" "$recorder_pid" 2>/dev/null
  rm -rf "$log.old"
}

started=$SECONDS
# FAULT_LOAD_SCENARIOS picks some by name (stalled_recorder flapping_recorder strangers
# log_faults); all of them by default, in this order.
for scenario in ${FAULT_LOAD_SCENARIOS:-stalled_recorder flapping_recorder strangers log_faults}; do
  "scenario_$scenario"
done
measured "all scenarios took $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
