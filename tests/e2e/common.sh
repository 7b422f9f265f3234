# Shared by the end-to-end scripts and the load benchmarks: counted checks (check DESCRIPTION COMMAND...), waits
# (wait_for SECONDS COMMAND...), the peer script in the till's and the host's namespaces ($till, $host), and the
# daemon's log lines ($log, or a file) unstamped.
passed=0 failed=0
check() { if "${@:2}"; then passed=$((passed + 1)); echo "ok: $1"; else failed=$((failed + 1)); echo "FAILED: $1"; fi; }
summary() { echo "$passed passed, $failed failed"; [ "$failed" = 0 ]; }
wait_for() { local deadline=$((SECONDS + $1)); until "${@:2}"; do [ $SECONDS -ge $deadline ] && return 1; sleep 0.05; done; }
in_host() { ip netns exec "$host" "$@"; }
in_till() { ip netns exec "$till" "$@"; }
peers=$(dirname "${BASH_SOURCE[0]}")/../../scripts/peers.py
client() { in_host python3 "$peers" "$@"; }
till() { in_till python3 "$peers" "$@"; }
stamp_re='^\[ [0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]{8} \] '
messages() { sed -E "s/$stamp_re//" "${1:-$log}" 2>/dev/null; }
log_has() { messages | grep -qxF -- "$1"; }
count_of() { messages | grep -cF -- "$1"; }
lines_with() { [ "$(count_of "$1")" "$2" "$3" ]; }  # lines_with TEXT OPERATOR N: the log's lines holding TEXT
file_size() { [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" "$2" "$3" ]; }  # file_size FILE OPERATOR N
