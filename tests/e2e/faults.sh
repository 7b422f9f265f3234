#!/usr/bin/env bash
# What a shop network does to the running daemon: its adapter down and up, removed and made again;
# kernel drops while the daemon is stopped; 700 links under a soft limit of 1024 descriptors. What a
# careless administrator leaves at the names of its files: symbolic links and FIFOs.
# Usage: faults.sh MARLOBEX_BINARY INSTALL_DIRECTORY
set -uo pipefail

if [ "$(id -u)" != 0 ]; then
  echo "SKIP: the fault test needs root (network namespaces, promiscuous capture)"
  exit 0
fi
binary=$1
home=${2%/}
source "$(dirname "$0")/../../scripts/sandbox.sh"
source "$(dirname "$0")/common.sh"
sandbox_enter MARLOBEX_FAULT_TAG mxf fa fb 10.203.0.2 10.203.0.1 -- "$0" "$@"
daemon_pid=
trap '[ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null; jobs -p | xargs -r kill 2>/dev/null; rm -rf "$work"' EXIT

till_send() { till udp 10.203.0.2 "$1" 1 "$2"; }

# start_daemon LINKS [PREFIX...]: Marlobex.xml with LINKS links from 10.203.0.1, NvrPort 5000 + i
# for DstPort 20000 + i; the daemon started (after PREFIX) on a fresh log.
start_daemon() {
  local links=$1; shift
  { echo '<Marlobex><Network SniffAdapterAddress="10.203.0.2"><NVR Address="127.0.0.1"/>'
    for i in $(seq 0 $((links - 1))); do
      echo "<Terminal SrcAddress=\"10.203.0.1\" DstPort=\"$((20000 + i))\" NvrPort=\"$((5000 + i))\"/>"
    done
    echo '</Network></Marlobex>'; } > "$home/Marlobex.xml"
  rm -f "$log" "$home/Marlobex.lock"
  [ -n "${log_link:-}" ] && ln -s "$log_link" "$log"
  in_host "$@" "$binary"
  wait_for 10 grep -q "Creating terminal connection: 127.0.0.1:$((5000 + links - 1))" "$log"
  daemon_pid=$(head -n 1 "$home/Marlobex.lock")
}
stop_daemon() {
  kill -TERM "$daemon_pid"; wait_for 3 bash -c "! kill -0 $daemon_pid 2>/dev/null"
  check "$1: the last line is SIGTERM's" bash -c "tail -n 1 '$log' | grep -q 'Terminate signal caught.  Exiting.$'"
  daemon_pid=
  jobs -p | xargs -r kill 2>/dev/null
}
# recorders COUNT OUT: one recorder per link, in the background; waits until all are admitted.
recorders() {
  client record 5000 "$2" 60 "$1" &
  wait_for 20 test -e "$2.connected"
  wait_for 20 bash -c "[ \$(grep -c 'Accepted connection from NVR address: ' '$log') = $1 ]"
}

# --- the adapter: down and up, then removed and made again, under a connected recorder ---
start_daemon 2
recorders 1 "$work/one"
ip -n "$host" link set "fb$tag" down; sleep 1; ip -n "$host" link set "fb$tag" up
wait_for 5 bash -c "ip -n '$host' link show 'fb$tag' | grep -q LOWER_UP"
till_send 20000 "UP"
wait_for 5 bash -c "[ \$(stat -c %s '$work/one') -ge 2 ]"
check "a link down and up relays without opening the adapter again" \
  bash -c "[ \"\$(cat '$work/one')\" = UP ] && [ $(count_of "Listening on ") = 1 ]"
ip -n "$host" link del "fb$tag"
sleep 0.2
ticks=$(awk '{print $14 + $15}' "/proc/$daemon_pid/stat"); errors=$(count_of "Error reading the packets: ")
sleep 3
ticks=$(( $(awk '{print $14 + $15}' "/proc/$daemon_pid/stat") - ticks ))
errors=$(( $(count_of "Error reading the packets: ") - errors ))
check "a removed adapter is reported and given up" \
  bash -c "[ $(count_of "Error reading the packets: The interface disappeared") -ge 1 ] && [ $(count_of "Closing the capture adapter; opening it again every second.") = 1 ]"
check "while it is gone: at most 4 read-error lines and under 10% of a core in 3 s" \
  bash -c "[ $errors -le 4 ] && [ $ticks -lt $(( $(getconf CLK_TCK) * 3 / 10 )) ]"
ip link add "fa$tag" type veth peer name "fb$tag"
ip link set "fa$tag" netns "$till" && ip link set "fb$tag" netns "$host"
ip -n "$till" addr add 10.203.0.1/24 dev "fa$tag" && ip -n "$host" addr add 10.203.0.2/24 dev "fb$tag"
ip -n "$till" link set "fa$tag" up && ip -n "$host" link set "fb$tag" up
deadline=$((SECONDS + 5))
until [ "$(stat -c %s "$work/one")" -gt 2 ] || [ $SECONDS -ge $deadline ]; do till_send 20000 "R"; sleep 0.1; done
check "the adapter made again is opened again and relays within 5 s" \
  bash -c "[ $(stat -c %s "$work/one") -gt 2 ] && [ $(count_of "Listening on ") = 2 ]"
check "the recorder's connection was not disturbed" [ "$(count_of "Accepted connection from NVR address: ")" = 1 ]

# --- frames the kernel drops while the daemon is stopped (for the second link, whose recorder is
# away: only frames that a link takes pass the kernel filter) ---
kill -STOP "$daemon_pid"
till udp 10.203.0.2 20001 30000 "$(printf 'F%.0s' {1..1000})" 0
kill -CONT "$daemon_pid"
wait_for 15 bash -c "grep -q 'Capture dropped ' '$log'"
check "the kernel's drops are logged within 10 s" \
  grep -qE '^Capture dropped [1-9][0-9]* frames in the last [0-9]+ s\.$' <(messages)
stop_daemon "adapter and drops"

# --- the log behind a symbolic link, then a FIFO; a FIFO at the counters file's temporary ---
mkfifo "$home/Marlobex.prom.tmp"
log_link=$work/real.log start_daemon 2
recorders 1 "$work/files"
check "the log is written through its symbolic link; the counters file is written past a FIFO" bash -c "[ -L '$log' ] &&
  grep -q 'Accepted connection' '$work/real.log' && [ -f '$home/Marlobex.prom' ] && [ ! -e '$home/Marlobex.prom.tmp' ]"
rm "$log" && mkfifo "$log"
client strangers 5001 1  # a line for the log
sleep 0.5
till udp 10.203.0.2 20000 20 $'P%02d\n'
wait_for 5 bash -c "[ \$(stat -c %s '$work/files') -ge 80 ]"
check "with a FIFO at the log, every payload is relayed" cmp -s "$work/files" <(printf 'P%02d\n' {0..19})
kill -TERM "$daemon_pid"
# Ended: gone, or a zombie that process 1 has not reaped yet.
check "with a FIFO at the log, SIGTERM ends the daemon within 2 s" \
  wait_for 2 bash -c "[ ! -e /proc/$daemon_pid ] || grep -qs '^State:[[:space:]]*Z' /proc/$daemon_pid/status"
kill -KILL "$daemon_pid" 2>/dev/null; daemon_pid=
jobs -p | xargs -r kill 2>/dev/null

# --- 700 links and their recorders under a soft limit of 1024 descriptors; a symbolic link at the
# counters file's temporary, to a file of mode 0600 ---
echo secret > "$work/secret" && chmod 600 "$work/secret" && ln -sf "$work/secret" "$home/Marlobex.prom.tmp"
start_daemon 700 prlimit --nofile=1024:
recorders 700 "$work/many"
check "700 recorders are admitted under a soft limit of 1024, none refused" \
  bash -c "[ $(count_of "Accepted connection from NVR address: ") = 700 ] && [ $(count_of " Accept failed: ") = 0 ]"
till_send 20699 "LAST LINK"
wait_for 5 bash -c "[ \$(stat -c %s '$work/many') -ge 9 ]"
check "the last link relays" [ "$(cat "$work/many")" = "LAST LINK" ]
check "the counters file is written beside the symbolic link, and its target left as it was" bash -c "
  [ \"\$(stat -c %a '$work/secret'):\$(cat '$work/secret')\" = 600:secret ] && [ ! -L '$home/Marlobex.prom' ]"
stop_daemon "700 links"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
