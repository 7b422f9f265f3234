# Shared by the end-to-end scripts: counted checks, waiting for a condition, and commands in the
# till's and the host's network namespaces ($till and $host).
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
