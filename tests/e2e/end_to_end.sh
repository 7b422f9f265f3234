#!/usr/bin/env bash
# Runs the built daemon as a user would: a till and its host in network namespaces joined by a veth pair,
# the daemon sniffing the host's end, recorders on loopback, a tmpfs over the installation directory,
# the operator's tools beside it. Usage: end_to_end.sh MARLOBEX_BINARY INSTALL_DIRECTORY TOOLS_DIRECTORY
set -uo pipefail
[ "$(id -u)" = 0 ] || { echo "SKIP: the end-to-end test needs root (network namespaces, promiscuous capture)"; exit 0; }
binary=$1 home=${2%/} tools=$3
source "$(dirname "$0")/../../scripts/sandbox.sh"
source "$(dirname "$0")/common.sh"
sandbox_enter MARLOBEX_E2E_TAG mx va vb 10.201.0.2 10.201.0.1 -- "$0" "$@"
trap 'kill -KILL ${daemon_pid:-} 2>/dev/null; jobs -p | xargs -r kill 2>/dev/null; rm -rf "$work"' EXIT

start() {  # start STATUS_FILE: a daemon under a subreaper, once it has made its servers
  local before; before=$(count_of "Creating terminal connection: 127.0.0.1:4102")
  rm -f "$home/Marlobex.lock"
  client reap "$1" "$binary" & reaper_pid=$!
  wait_for 5 lines_with "Creating terminal connection: 127.0.0.1:4102" -gt "$before"
  daemon_pid=$(head -n 1 "$home/Marlobex.lock")
}
stop() {  # stop SIGNAL STATUS_FILE WHEN: the signal's line is the last, and the daemon itself ends with 0
  kill -s "$1" "$daemon_pid"
  wait_for 5 grep -q "^$daemon_pid exited" "$2"
  check "SIG$1 $3: its line is the last line, and the daemon ends with status 0" \
    [ "$(messages | tail -n 1):$(awk -v pid="$daemon_pid" '$1 == pid && $2 == "exited" { print $3 }' "$2")" = "${!1}:0" ]
  wait "$reaper_pid"
}
TERM="Terminate signal caught.  Exiting." HUP="Hangup signal caught.  Exiting."

# Declared Latin-1, with a Latin-1 byte where the daemon does not look; the restart below reads the
# same links from a UTF-8 file with U+FEFF in a comment.
links='<Network SniffAdapterAddress="10.201.0.2" SuppressDuplicates="yes"><NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="10.201.0.1" DstAddress="10.201.0.2" DstPort="9100" NvrPort="4101"/>
    <Terminal SrcAddress="10.201.0.1" DstPort="9200" NvrPort="4102"/>
  </Network></Marlobex>'
printf '<?xml version="1.0" encoding="ISO-8859-1"?><Marlobex Site="Caf\xe9">\n  %s\n' "$links" > "$home/Marlobex.xml"
client host 10.201.0.2 9100 30 ack &

for tool in Marlobex-check:2 Marlobex-probe:2 Marlobex-recorder:2 Marlobex-status:3; do
  "$tools/${tool%:*}" -t -1 x 2> /dev/null
  check "${tool%:*} ends with ${tool#*:} on arguments it does not take" [ $? = ${tool#*:} ]
done
in_host "$tools/Marlobex-check" > "$work/check"
check "Marlobex-check finds the adapter here and nothing wrong (0)" bash -c "[ $? = 0 ] &&
  grep -qx 'Adapter: 10.201.0.2 on vb$tag' '$work/check' && tail -n 1 '$work/check' | grep -qx 'OK: .*'"

# --- start-up: the forking process ends with 0; lock, modes and umask; a second start changes nothing ---
start "$work/first.status"
wait_for 3 grep -q exited "$work/first.status"
check "the forking process ends with status 0" \
  [ "$(awk 'NR == 1 { c = $2 } $2 == "exited" { print ($1 == c) ":" $3 }' "$work/first.status")" = 1:0 ]
check "banner and adapter logged" \
  eval 'log_has "------ Starting Marlobex version 1.2.6.72482" && log_has "Listening on vb$tag 10.201.0.2"'
check "lock and log files have mode 0640" [ "$(stat -c %a "$home/Marlobex.lock" "$log")" = $'640\n640' ]
check "the daemon's umask is 027" grep -qxP "Umask:\t0027" "/proc/$daemon_pid/status"
client reap "$work/second.status" "$binary"
check "a second start ends with status 0, its daemon child too, logs nothing and leaves the lock file be" eval \
  '[ "$(grep -c " exited 0$" "$work/second.status"):$(count_of "Starting Marlobex")" = 2:1 ] &&
  cmp -s "$home/Marlobex.lock" <(echo "$daemon_pid")'

# --- receipts reach the recorders byte for byte, one direction only; the tools see them ---
client record 4101 "$work/tcp" 20 &
in_host "$tools/Marlobex-recorder" 127.0.0.1 4102 --raw > "$work/raw" 2> "$work/recorder" & recorder_pid=$!
wait_for 5 test -e "$work/tcp.connected"
wait_for 3 log_has "Accepted connection from NVR address: 127.0.0.1 Port: 4102"
receipts=($'STORE 12 TILL 1\nCOFFEE         2.50\nTOTAL          2.50\n'
  $'STORE 12 TILL 1\nBAGEL          1.90\nVOID BAGEL    -1.90\nTOTAL          0.00\n')
till tcp 10.201.0.2 9100 "${receipts[0]}"; till tcp 10.201.0.2 9100 "${receipts[1]}"
in_host "$tools/Marlobex-probe" -t 4 > "$work/probe" & probe_pid=$!
wait_for 5 bash -c "[ \$(ip netns exec $host ss -H0 | wc -l) = 2 ]"  # the probe's capture socket beside the daemon's
till udp 10.201.0.2 9200 1 "TOTAL"; till udp 10.201.0.2 9200 1 $' 2.50\nCASH\x01 5.00\n'
wait "$probe_pid"
check "Marlobex-probe counts the receipt's two datagrams on their link (0)" bash -c "[ $? = 0 ] &&
  grep -qxF '  line 4: 10.201.0.1:* -> *:9200  port 4102  2 frames, 22 bytes' '$work/probe'"
expected="${receipts[0]}${receipts[1]}"
wait_for 5 file_size "$work/tcp" -ge ${#expected} && sleep 0.3
check "the recorder received exactly the till's bytes" cmp -s "$work/tcp" <(printf %s "$expected")
in_host "$tools/Marlobex-status" > "$work/running"
check "Marlobex-status: running, the receipt counted, its recorder connected (0)" bash -c "[ $? = 0 ] &&
  grep -qx 'Marlobex runs: process $daemon_pid (holds $home/Marlobex.lock)' '$work/running' &&
  grep -qx '  port 4102 (10.201.0.1:::9200): listening, recorder 127.0.0.1 connected' '$work/running' &&
  grep -q '^    2 frames, 22 bytes since the start' '$work/running'"
stop TERM "$work/first.status" "at rest"
wait "$recorder_pid"
check "Marlobex-recorder --raw printed the datagrams' bytes as they came, and ended with 0 at the close" \
  bash -c "[ $? = 0 ] && cmp '$work/raw' <(printf 'TOTAL 2.50\\nCASH\\x01 5.00\\n') &&
  grep -qx 'Connection closed by the daemon after 22 bytes' '$work/recorder'"
in_host "$tools/Marlobex-status" --wait 0 > "$work/status"
check "Marlobex-status after the stop: critical (2), with the daemon's last line" bash -c "[ $? = 2 ] &&
  grep -q '^CRITICAL: Marlobex is not running' '$work/status' && grep -q '$TERM' '$work/status'"

# --- a restart on the ports just left; counters; ended by SIGHUP ---
printf '<?xml version="1.0" encoding="UTF-8"?><!-- \xef\xbb\xbf --><Marlobex>\n  %s\n' "$links" > "$home/Marlobex.xml"
start "$work/hangup.status"
client record 4102 "$work/counted" 20 &
wait_for 3 lines_with 'Accepted connection from NVR address: 127.0.0.1 Port: 4102' = 2
till udp 10.201.0.2 9200 37 $'PAYLOAD %02d\n'; till udp 10.201.0.2 9100 3 $'PAYLOAD %02d\n'
till udp 10.201.0.2 9300 5 $'PAYLOAD %02d\n'
till mirror "va$tag" 10.201.0.1 10.201.0.2 9200 $'MIRRORED\n'
wait_for 5 file_size "$work/counted" -ge 416
check "a packet that the mirror port shows twice reaches the recorder once" \
  cmp -s "$work/counted" <(printf 'PAYLOAD %02d\n' {0..36}; echo MIRRORED)
stop HUP "$work/hangup.status" "at rest"
udp='nvr_port="4102",recorder="127.0.0.1",src_address="10.201.0.1",src_port="",dst_address="",dst_port="9200"'
tcp='nvr_port="4101",recorder="127.0.0.1",src_address="10.201.0.1",src_port="",dst_address="10.201.0.2",dst_port="9100"'
{ echo 'marlobex_info{version="1.2.6.72482"} 1'; printf 'marlobex_capture_%s\n' 'open 1' 'read_errors_total 0' 'frames_total 42'
  printf "marlobex_link_%s{$udp} %s\n" frames_total 38 payload_bytes_total 416 sent_bytes_total 416 \
    duplicate_frames_total 1 recorder_connections_total 1 recorder_connected 1 listening 1
  printf "marlobex_link_dropped_payloads_total{$udp,reason=\"%s\"} 0\n" no_recorder slow_recorder write_failed
  printf "marlobex_link_%s{$tcp} %s\n" frames_total 3 payload_bytes_total 33 sent_bytes_total 0 recorder_connected 0
  echo "marlobex_link_dropped_payloads_total{$tcp,reason=\"no_recorder\"} 3"; } > "$work/expected.prom"
check "the counters file at the stop holds the exact counts, 42 frames captured: what links take, both mirror copies, no more" \
  bash -c "! grep -vxFf '$home/Marlobex.prom' '$work/expected.prom'"
last_payload=$(grep -F "marlobex_link_last_payload_seconds{$udp} " "$home/Marlobex.prom" | cut -d' ' -f2)
check "the counters file has mode 0640, and the last payload's time is the capture's" \
  eval '[ "$(stat -c %a "$home/Marlobex.prom")" = 640 ] && [ $(( $(date +%s) - ${last_payload:-0} )) -lt 60 ]'

# --- a recorder that floods the daemon; 1,000 port checks and strangers after its clean close ---
start "$work/peers.status"
accepted=$(count_of 'Accepted connection')
client record 4102 "$work/quiet" 20 & client flood 4101 "$work/flood" 4 &
wait_for 5 lines_with 'Accepted connection' = $((accepted + 2))
till udp 10.201.0.2 9100 200 'F%03d ' & till udp 10.201.0.2 9200 200 'Q%03d '
wait_for 5 eval 'file_size "$work/quiet" = 1000 && file_size "$work/flood" = 1000'
check "a recorder that floods the daemon: both recorders get every payload in order, no frame dropped" \
  bash -c "cmp -s '$work/flood' <(printf 'F%03d ' {0..199}) && cmp -s '$work/quiet' <(printf 'Q%03d ' {0..199}) &&
  [ $(count_of 'Capture dropped') = 0 ]"
finished="ip netns exec $host ss -Htn state close-wait sport = :4101 and dst 127.0.0.1"
wait_for 6 bash -c "[ \$($finished | wc -l) = 1 ]"
client strangers 4101 0 2000 1 16 & till udp 10.201.0.2 9200 200 'S%03d ' 0.005 &
client flap 4101 1000 0 close
accepted=$(count_of 'Accepted connection from NVR address: 127.0.0.1 Port: 4101')
client flood 4101 "$work/back" 10 &
wait_for 5 test -e "$work/back.connected"
begin=$(date +%s%N)
wait_for 2 lines_with 'Accepted connection from NVR address: 127.0.0.1 Port: 4101' -gt "$accepted"
admitted=$(( ($(date +%s%N) - begin) / 1000000 ))
check "after 1,000 port checks the recorder is admitted within 1 s ($admitted ms), one finished connection left at most" \
  [ "$admitted" -le 1000 -a "$($finished | wc -l)" -le 1 ]
till udp 10.201.0.2 9100 50 'B%03d '
wait_for 5 eval 'file_size "$work/back" = 250 && file_size "$work/quiet" = 2000'
check "strangers on its port meanwhile; the recorder back gets every later payload, the other every payload" \
  bash -c "cmp -s '$work/back' <(printf 'B%03d ' {0..49}) && cmp -s '$work/quiet' <(printf '%s' 'Q'{000..199}' ' 'S'{000..199}' ')"
begin=$(date +%s%N)
stop TERM "$work/peers.status" "during a flood"
check "SIGTERM during a flood ends the daemon within 1 s" [ $(( ($(date +%s%N) - begin) / 1000000 )) -le 1000 ]

# --- signals while the daemon is busy logging rejected strangers; the first after an outside rotation ---
for signal in TERM HUP; do
  start "$work/busy-$signal.status"
  [ $signal = TERM ] && mv "$log" "$log.1" && install -m 640 /dev/null "$log"
  rejected=$(count_of "Rejected connection from address: ")
  client strangers 4101 0 1000 1 16 &
  wait_for 10 lines_with "Rejected connection from address: " -ge $((rejected + 200))
  stop $signal "$work/busy-$signal.status" "while busy logging"
  check "SIG$signal while busy logging: every line is whole and stamped" bash -c "! grep -vqE '$stamp_re' '$log'"
done

# --- configurations that end the start-up: nested 70,000 deep (refused before parsing), no Terminal ---
python3 -c 'print("<a>" * 70000)' > "$work/deep.xml"
echo '<Marlobex><Network SniffAdapterAddress="10.201.0.2"><NVR Address="127.0.0.1"/></Network></Marlobex>' > "$work/none.xml"
for case in "deep 255 Failed to load Marlobex.xml. Exiting." "none 254 No terminals were configured correctly. Exiting."; do
  read -r name status line <<<"$case"
  cp "$work/$name.xml" "$home/Marlobex.xml"; client reap "$work/$name.status" "$binary"
  check "$name.xml ends the daemon with status $status, its last line: $line" \
    [ "$(grep -c " exited $status\$" "$work/$name.status"):$(messages | tail -n 1)" = "1:$line" ]
done

echo "--- daemon log ---"; cat "$log"
summary
