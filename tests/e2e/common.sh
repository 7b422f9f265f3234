# Shared by the end-to-end scripts and the load benchmarks: counted checks, waiting for a condition,
# commands and the peer script (scripts/peers.py) in the till's and the host's network namespaces
# ($till and $host), and the daemon's log lines ($log, or the file given) without their stamps.
passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok: $what"; else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
wait_for() {  # wait_for SECONDS COMMAND...
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -ge $deadline ] && return 1; sleep 0.05; done
}
in_host() { ip netns exec "$host" "$@"; }
in_till() { ip netns exec "$till" "$@"; }
peers=$(dirname "${BASH_SOURCE[0]}")/../../scripts/peers.py
client() { in_host python3 "$peers" "$@"; }
till() { in_till python3 "$peers" "$@"; }
stamp_re='^\[ [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]{8} \] '
messages() { sed -E "s/$stamp_re//" "${1:-$log}" 2>/dev/null; }
log_has() { messages | grep -qxF -- "$1"; }
count_of() { messages | grep -cF -- "$1"; }
