# Shared by the end-to-end scripts: counted checks, waiting for a condition, commands and the peer
# script (clients.py) in the till's and the host's network namespaces ($till and $host), and the
# daemon's log lines ($log) without their stamps.
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
clients=$(dirname "${BASH_SOURCE[0]}")/clients.py
client() { in_host python3 "$clients" "$@"; }
till() { in_till python3 "$clients" "$@"; }
messages() { sed -E 's/^\[ [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]{8} \] //' "$log" 2>/dev/null; }
count_of() { messages | grep -cF -- "$1"; }
