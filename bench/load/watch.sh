# Shared by the fault, load and soak scripts, beside tests/e2e/common.sh: the daemon's log ($log)
# counted, and its process read from /proc.
count_lines() { messages "${2:-$log}" | grep -cxF -- "$1"; }      # exact lines
count_prefix() { messages "${2:-$log}" | grep -cF -- "$1"; }      # lines holding a text
last_line_is_sigterm() {
  tail -n 1 "$log" | grep -qxE "${stamp_re}Terminate signal caught\.  Exiting\."
}
# Gone, or a zombie waiting for whichever process it was handed to: it has exited either way.
alive() { [ -e "/proc/$1/stat" ] && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
dead() { ! alive "$1"; }
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
measured() { echo "measured: $*"; }
# A peer in the background, with $! its own id (ip netns exec executes it in place), so that
# killing $! ends the peer itself.
bg_host() { ip netns exec "$host" python3 "$peers" "$@" & }
bg_till() { ip netns exec "$till" python3 "$peers" "$@" & }
at_least() { [ "$(size_of "$1")" -ge "$2" ]; }
