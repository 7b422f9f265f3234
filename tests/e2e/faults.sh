#!/usr/bin/env bash
# What a shop network does to the running daemon: its adapter down and up, removed and made again; kernel drops
# while it is stopped; 700 links under a soft limit of 1024 descriptors. What a careless administrator leaves at
# the names of its files: symbolic links and FIFOs. Usage: faults.sh MARLOBEX_BINARY INSTALL_DIRECTORY
set -uo pipefail
[ "$(id -u)" = 0 ] || { echo "SKIP: the fault test needs root (network namespaces, promiscuous capture)"; exit 0; }
binary=$1 home=${2%/} daemon_pid=
source "$(dirname "$0")/../../scripts/sandbox.sh"
source "$(dirname "$0")/common.sh"
sandbox_enter MARLOBEX_FAULT_TAG mxf fa fb 10.203.0.2 10.203.0.1 -- "$0" "$@"
trap '[ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null; jobs -p | xargs -r kill 2>/dev/null; rm -rf "$work"' EXIT

start_daemon() {  # start_daemon LINKS [PREFIX...]: links from 10.203.0.1, DstPort 20000+i to NvrPort 5000+i
  { echo '<Marlobex><Network SniffAdapterAddress="10.203.0.2"><NVR Address="127.0.0.1"/>'
    for ((i = 0; i < $1; i++)); do
      printf '<Terminal SrcAddress="10.203.0.1" DstPort="%d" NvrPort="%d"/>\n' $((20000 + i)) $((5000 + i)); done
    echo '</Network></Marlobex>'; } > "$home/Marlobex.xml"
  rm -f "$log" "$home/Marlobex.lock"
  [ -n "${log_link:-}" ] && ln -s "$log_link" "$log"
  in_host "${@:2}" "$binary"
  wait_for 10 grep -q "Creating terminal connection: 127.0.0.1:$((5000 + $1 - 1))" "$log"
  daemon_pid=$(head -n 1 "$home/Marlobex.lock")
}
stop_daemon() {  # stop_daemon WHAT
  kill -TERM "$daemon_pid"; wait_for 3 bash -c "! kill -0 $daemon_pid 2>/dev/null"
  check "$1: the last line is SIGTERM's" [ "$(messages | tail -n 1)" = "Terminate signal caught.  Exiting." ]
  daemon_pid=; jobs -p | xargs -r kill 2>/dev/null
}
recorders() {  # recorders COUNT OUT: one recorder per link, in the background; waits until all are admitted
  client record 5000 "$2" 60 "$1" &
  wait_for 20 lines_with 'Accepted connection from NVR address: ' = "$1"
}

# --- the adapter: down and up, then removed and made again, under a connected recorder ---
start_daemon 2
recorders 1 "$work/one"
ip -n "$host" link set "fb$tag" down; sleep 1; ip -n "$host" link set "fb$tag" up
wait_for 5 bash -c "ip -n '$host' link show 'fb$tag' | grep -q LOWER_UP"
till udp 10.203.0.2 20000 1 UP
wait_for 5 file_size "$work/one" -ge 2
check "a link down and up relays without opening the adapter again" \
  [ "$(cat "$work/one"):$(count_of "Listening on ")" = UP:1 ]
ip -n "$host" link del "fb$tag"; sleep 0.2
cpu_ticks() { awk '{print $14 + $15}' "/proc/$daemon_pid/stat"; }
ticks=$(cpu_ticks) errors=$(count_of "Error reading the packets: "); sleep 3
check "while it is gone: at most 4 read-error lines and under 10% of a core in 3 s" [ $(( $(cpu_ticks) - ticks )) \
  -lt $(( $(getconf CLK_TCK) * 3 / 10 )) -a "$(count_of "Error reading the packets: ")" -le $((errors + 4)) ]
check "a removed adapter is reported once and given up" [ "$(count_of "Error reading the packets: The interface disappeared")" \
  = 1 -a "$(count_of "Closing the capture adapter; opening it again every second.")" = 1 ]
ip link add "fa$tag" netns "$till" type veth peer name "fb$tag" netns "$host"
ip -n "$till" addr add 10.203.0.1/24 dev "fa$tag" && ip -n "$till" link set "fa$tag" up
ip -n "$host" addr add 10.203.0.2/24 dev "fb$tag" && ip -n "$host" link set "fb$tag" up
deadline=$((SECONDS + 5))
until file_size "$work/one" -gt 2 || [ $SECONDS -ge $deadline ]; do till udp 10.203.0.2 20000 1 R; sleep 0.1; done
check "the adapter made again is opened again and relays within 5 s; the recorder's connection was not disturbed" [ \
  "$(stat -c %s "$work/one")" -gt 2 -a "$(count_of "Listening on ")" = 2 -a "$(count_of "Accepted connection")" = 1 ]

# --- frames that the kernel drops while the daemon is stopped (for the second link: its recorder is away) ---
kill -STOP "$daemon_pid"; till udp 10.203.0.2 20001 30000 "$(printf 'F%.0s' {1..1000})" 0; kill -CONT "$daemon_pid"
wait_for 15 grep -q 'Capture dropped ' "$log"
check "the kernel's drops are logged within 10 s" grep -qE '^Capture dropped [1-9][0-9]* frames in the last [0-9]+ s\.$' <(messages)
stop_daemon "adapter and drops"

# --- the log behind a symbolic link, then a FIFO; a FIFO at the counters file's temporary ---
mkfifo "$home/Marlobex.prom.tmp"
log_link=$work/real.log start_daemon 2
recorders 1 "$work/files"
check "the log is written through its symbolic link; the counters file is written past a FIFO" bash -c "[ -L '$log' ] &&
  grep -q 'Accepted connection' '$work/real.log' && [ -f '$home/Marlobex.prom' ] && [ ! -e '$home/Marlobex.prom.tmp' ]"
rm "$log" && mkfifo "$log"
client strangers 5001 1 1 1 1; sleep 0.5  # a line for the log
till udp 10.203.0.2 20000 20 $'P%02d\n'
wait_for 5 file_size "$work/files" -ge 80
check "with a FIFO at the log, every payload is relayed" cmp -s "$work/files" <(printf 'P%02d\n' {0..19})
kill -TERM "$daemon_pid"  # ended: gone, or a zombie that process 1 has not reaped yet
check "with a FIFO at the log, SIGTERM ends the daemon within 2 s" \
  wait_for 2 bash -c "[ ! -e /proc/$daemon_pid ] || grep -qs '^State:[[:space:]]*Z' /proc/$daemon_pid/status"
kill -KILL "$daemon_pid" 2>/dev/null; daemon_pid=; jobs -p | xargs -r kill 2>/dev/null

# --- 700 links and recorders under a soft limit of 1024 descriptors; at the temporary, a link to a file of mode 0600 ---
echo secret > "$work/secret" && chmod 600 "$work/secret" && ln -sf "$work/secret" "$home/Marlobex.prom.tmp"
start_daemon 700 prlimit --nofile=1024:
recorders 700 "$work/many"
till udp 10.203.0.2 20699 1 "LAST LINK"
wait_for 5 file_size "$work/many" -ge 9
check "700 recorders are admitted under a soft limit of 1024, none refused; the last link relays" \
  [ "$(count_of "Accepted connection from NVR address: "):$(count_of " Accept failed: "):$(cat "$work/many")" = "700:0:LAST LINK" ]
check "the counters file is written beside the symbolic link, and its target left as it was" \
  [ "$(stat -c %a "$work/secret"):$(cat "$work/secret")" = 600:secret -a ! -L "$home/Marlobex.prom" ]
stop_daemon "700 links"
summary
