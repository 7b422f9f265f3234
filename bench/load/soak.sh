#!/usr/bin/env bash
# Soak: the built daemon under a steady mix of matching and non-matching frames for MINUTES, set up
# like the fault and load test (a till and its host in two network namespaces joined by a veth
# pair, recorders on loopback, a tmpfs over the installation directory).
#
# The benchmark's generator sends RATE frames/s from the till end, 10% of them TCP payloads of the
# first link, each with a sequence number; the benchmark's recorder verifies every one. Each round
# also brings a recorder that connects, takes one receipt and leaves, and 64 strangers knocking on
# a third port. After each round the daemon's resident size, descriptors and CPU, and payloads
# delivered against offered, are sampled; at the end the slope of RSS and descriptors over time is
# reported, so that a leak shows as a rising line.
#
# Usage: soak.sh MARLOBEX_BINARY INSTALL_DIRECTORY [MINUTES [RATE [ROUND_SECONDS]]]
#   defaults: 10 minutes, 50000 frames/s, 30 s rounds. MARLOBEX_SOAK_RESULTS=FILE keeps the samples.
set -uo pipefail

if [ "$(id -u)" != 0 ]; then
  echo "SKIP: the soak test needs root (network namespaces, promiscuous capture)"
  exit 0
fi
binary=$1
home=${2%/}
minutes=${3:-10} rate=${4:-50000} round_seconds=${5:-30}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

source "$root/scripts/sandbox.sh"
source "$root/tests/e2e/common.sh"
source "$here/watch.sh"
# The generator's frames carry 10.204.0.1 -> 10.204.0.2, the addresses of this private pair.
sandbox_enter MARLOBEX_SOAK_TAG mxs sa sb 10.204.0.2 10.204.0.1 -- "$0" "$@"
export LC_ALL=C
daemon_pid= recorder_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null
  [ -n "$recorder_pid" ] && kill -KILL "$recorder_pid" 2>/dev/null
  jobs -p | xargs -r kill 2>/dev/null
  mountpoint -q "$home" && umount "$home" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

for program in generator recorder; do
  cc -O2 -Wall -o "$work/$program" "$root/bench/relay/$program.c" || exit 1
done

descriptors() { ls "/proc/$1/fd" | wc -l; }

cat > "$home/Marlobex.xml" <<'XML'
<Marlobex>
  <Network SniffAdapterAddress="10.204.0.2">
    <NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="10.204.0.1" DstAddress="10.204.0.2" DstPort="9100" NvrPort="4901"/>
    <Terminal SrcAddress="10.204.0.1" DstPort="9200" NvrPort="4902"/>
    <Terminal SrcAddress="10.204.0.1" DstPort="9300" NvrPort="4903"/>
  </Network>
</Marlobex>
XML

wait_for 5 bash -c "ip -n '$host' -4 addr show | grep -q 10.204.0.2"
in_host "$binary"
wait_for 5 log_has "Creating terminal connection: 127.0.0.1:4903" || { echo "FAILED: the daemon did not start"; cat "$log"; exit 1; }
daemon_pid=$(head -n 1 "$home/Marlobex.lock")
ip netns exec "$host" "$work/recorder" 4901 "$work/progress" > "$work/recorder.out" 2>/dev/null &
recorder_pid=$!
wait_for 5 log_has "Accepted connection from NVR address: 127.0.0.1 Port: 4901" ||
  { echo "FAILED: the verifying recorder was not admitted"; exit 1; }

rounds=$(( minutes * 60 / round_seconds ))
[ "$rounds" -ge 2 ] || rounds=2
echo "soak: $rounds rounds of $round_seconds s at $rate frames/s (10% matching), daemon $daemon_pid"

# churn ROUND: a recorder on 4902 takes one receipt and leaves; datagrams follow until the daemon
# has found it gone, so the next round's recorder is admitted at once. Prints 1 if the receipt
# arrived byte for byte.
churn() {
  local round=$1 out=$work/churn receipt
  receipt=$(printf 'STORE 7 TILL 9\nROUND %05d      1.00\nTOTAL          1.00\n' "$round")
  rm -f "$out" "$out.connected"
  bg_host record 4902 "$out" 20
  local churner=$!
  wait_for 5 test -e "$out.connected"
  wait_for 5 bash -c "[ \$(sed -E 's/$stamp_re//' '$log' | grep -cxF 'Accepted connection from NVR address: 127.0.0.1 Port: 4902') -ge $round ]"
  till udp 10.204.0.2 9200 1 "$receipt"
  wait_for 5 at_least "$out" ${#receipt}
  kill "$churner" 2>/dev/null; wait "$churner" 2>/dev/null
  cmp -s "$out" <(printf %s "$receipt") && echo 1 || echo 0
  local deadline=$((SECONDS + 5))
  until [ "$(count_prefix "Terminal port 127.0.0.1:4902 Write failed: ")" -ge "$round" ] || [ $SECONDS -ge $deadline ]; do
    till udp 10.204.0.2 9200 1 "DRAIN"
    sleep 0.1
  done
}

samples=$work/samples
printf "round\tseconds\toffered\tdelivered\tcorrupt\treordered\trss_kib\tdescriptors\tcpu_pct\tlog_bytes\n" > "$samples"
first_seq=0 offered=0 receipts_good=0 started=$SECONDS
last_ticks=$(cpu_ticks "$daemon_pid") last_time=$(date +%s%N) hz=$(getconf CLK_TCK)
printf "%5s %7s %10s %10s %7s %9s %6s %6s %9s\n" round seconds offered delivered corrupt rss_kib fds cpu% log_bytes
for round in $(seq 1 "$rounds"); do
  in_till "$work/generator" "sa$tag" "$rate" "$round_seconds" "$work/next_seq" "$first_seq" > "$work/generator.out" &
  generator=$!
  receipts_good=$(( receipts_good + $(churn "$round") ))
  client strangers 4903 $(( (round - 1) * 64 )) 64 1 16 > /dev/null
  wait "$generator"
  read -r _ matching _ < "$work/generator.out"
  first_seq=$(cat "$work/next_seq")
  offered=$(( offered + matching ))
  sleep 1.2   # the capture hands over a block within 10 ms; the recorder reports once a second
  read -r delivered corrupt reordered _ < "$work/progress"
  now_ticks=$(cpu_ticks "$daemon_pid") now_time=$(date +%s%N)
  cpu=$(awk -v t=$((now_ticks - last_ticks)) -v hz="$hz" -v ns=$((now_time - last_time)) 'BEGIN { printf "%.1f", 100 * t / hz / (ns / 1e9) }')
  last_ticks=$now_ticks last_time=$now_time
  rss=$(rss_kib "$daemon_pid") fds=$(descriptors "$daemon_pid") log_bytes=$(size_of "$log")
  printf "%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%s\t%d\n" "$round" $((SECONDS - started)) "$offered" "$delivered" "$corrupt" "$reordered" "$rss" "$fds" "$cpu" "$log_bytes" >> "$samples"
  printf "%5d %7d %10d %10d %7d %9d %6d %6s %9d\n" "$round" $((SECONDS - started)) "$offered" "$delivered" "$corrupt" "$rss" "$fds" "$cpu" "$log_bytes"
done
[ -n "${MARLOBEX_SOAK_RESULTS:-}" ] && cp "$samples" "$MARLOBEX_SOAK_RESULTS"

# Least-squares slopes per hour, from round FIRST on. The first round touches the capture ring and
# the buffers for the first time; until 16 rounds have passed the strangers' addresses still add
# to the set of those already logged (1024 at most), so a soak of 20 rounds or more is in its
# steady state from round 17 on, a shorter one is judged on its second half.
slope() {  # COLUMN FIRST
  awk -F'\t' -v c="$1" -v f="$2" 'NR > f { n++; x = $2 / 3600; sx += x; sy += $c; sxx += x * x; sxy += x * $c }
    END { d = n * sxx - sx * sx; printf "%.1f", (n > 1 && d != 0) ? (n * sxy - sx * sy) / d : 0 }' "$samples"
}
column_at() { awk -F'\t' -v r="$1" -v c="$2" 'NR == r + 1 { print $c }' "$samples"; }
half=$(( rounds >= 20 ? 17 : rounds / 2 + 1 ))
rss_slope=$(slope 7 2) fd_slope=$(slope 8 2) rss_half_slope=$(slope 7 "$half") fd_half_slope=$(slope 8 "$half")
rss_first=$(column_at 1 7) rss_second=$(column_at 2 7) rss_last=$(column_at "$rounds" 7)
fds_second=$(column_at 2 8) fds_last=$(column_at "$rounds" 8)
rejections=$(messages | grep -c '^Rejected connection from address: .* on port 4903$')
expected_rejections=$(( rounds * 64 < 1024 ? rounds * 64 : 1024 ))
measured "$offered payloads offered, $delivered delivered, $corrupt corrupt, $reordered out of order in $((SECONDS - started)) s"
measured "RSS $rss_first KiB after round 1, $rss_second after round 2, $rss_last at the end; slope $rss_slope KiB/hour after round 1, $rss_half_slope KiB/hour from round $half on"
measured "descriptors $fds_second after round 2, $fds_last at the end; slope $fd_slope per hour after round 1, $fd_half_slope from round $half on"
measured "$receipts_good of $rounds churn receipts byte for byte; $rejections rejection lines for $((rounds * 64)) stranger addresses"

check "every offered payload was delivered" [ "$delivered" = "$offered" ]
check "no payload corrupt or out of order" [ "$corrupt $reordered" = "0 0" ]
check "every churn recorder got its receipt byte for byte" [ "$receipts_good" = "$rounds" ]
check "one rejection line per stranger address, up to the 1024 remembered" [ "$rejections" = "$expected_rejections" ]
check "the descriptor count ends where it stood after round 2" [ "$fds_last" = "$fds_second" ]
if grep -qa __asan_init "$binary"; then
  # AddressSanitizer holds freed memory back in its quarantine (256 MiB by default) instead of
  # reusing it, so a sanitized daemon's RSS rises with every allocation and says nothing of leaks.
  echo "skipped: the RSS check, for a daemon built with AddressSanitizer"
else
  check "RSS grows by less than 1 MiB after round 2" [ $((rss_last - rss_second)) -lt 1024 ]
fi
kill -TERM "$daemon_pid"
wait_for 3 dead "$daemon_pid"
check "SIGTERM under load ends the daemon within 3 s" dead "$daemon_pid"
check "the last line is the stamped 'Terminate signal caught.  Exiting.'" last_line_is_sigterm
daemon_pid=
kill -TERM "$recorder_pid" 2>/dev/null; wait "$recorder_pid" 2>/dev/null; recorder_pid=
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
