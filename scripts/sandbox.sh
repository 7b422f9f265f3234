# Shared by the demonstration and the end-to-end test: a till namespace and a host namespace joined
# by a veth pair, and a private mount namespace with a tmpfs over the installation directory.
# The namespaces are made and removed outside the private mount namespace, so that removing them
# is seen by the whole machine.

# sandbox_network TILL HOST TILL_IF HOST_IF HOST_ADDRESS TILL_ADDRESS...
sandbox_network() {
  local till=$1 host=$2 till_if=$3 host_if=$4 host_address=$5; shift 5
  ip netns add "$till" && ip netns add "$host" || return 1
  ip link add "$till_if" type veth peer name "$host_if" || return 1
  ip link set "$till_if" netns "$till" && ip link set "$host_if" netns "$host" || return 1
  local ns address
  for ns in "$till" "$host"; do
    # No IPv6, so the veth carries only what the test sends.
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.disable_ipv6=1
    ip -n "$ns" link set lo up
  done
  for address in "$@"; do ip -n "$till" addr add "$address/24" dev "$till_if"; done
  ip -n "$till" link set "$till_if" up
  ip -n "$host" addr add "$host_address/24" dev "$host_if"
  ip -n "$host" link set "$host_if" up
}

sandbox_network_remove() {
  local ns
  for ns in "$@"; do ip netns del "$ns" 2>/dev/null; done
  return 0
}

# sandbox_private_home HOME: inside a private mount namespace, a fresh tmpfs over HOME, or over
# its nearest existing ancestor, so the machine's real files are never touched.
sandbox_private_home() {
  local home=${1%/} mount_point
  mount_point=$home
  while [ ! -d "$mount_point" ]; do mount_point=$(dirname "$mount_point"); done
  case "$mount_point" in /|/usr|/tmp|/run) echo "refusing to mount over $mount_point"; return 1 ;; esac
  mount -t tmpfs marlobex-sandbox "$mount_point" && mkdir -p "$home"
}

# sandbox_reenter TAG_VARIABLE PREFIX TILL_IF HOST_IF HOST_ADDRESS TILL_ADDRESS... -- SCRIPT ARGS...
# Makes the namespaces PREFIXtill<pid> and PREFIXhost<pid> (removed again on exit), then runs
# SCRIPT once more inside a private mount namespace with TAG_VARIABLE=<pid>, and exits with its
# status. Scripts call it when TAG_VARIABLE is not set yet.
sandbox_reenter() {
  local variable=$1 prefix=$2 till_if=$3 host_if=$4 host_address=$5 tag=$$; shift 5
  local till_addresses=()
  while [ "$1" != -- ]; do till_addresses+=("$1"); shift; done
  shift
  trap "sandbox_network_remove ${prefix}till$tag ${prefix}host$tag" EXIT
  sandbox_network "${prefix}till$tag" "${prefix}host$tag" "$till_if$tag" "$host_if$tag" "$host_address" \
    "${till_addresses[@]}" || exit 1
  env "$variable=$tag" unshare -m --propagation private bash "$@"
  exit $?
}

# sandbox_enter TAG_VARIABLE PREFIX TILL_IF HOST_IF HOST_ADDRESS TILL_ADDRESS... -- SCRIPT ARGS...
# What each script in namespaces does first: sandbox_reenter while TAG_VARIABLE is not set; then, in
# the private mount namespace, the tmpfs over $home, and tag, till, host, log and work (a scratch
# directory) set for the script.
sandbox_enter() {
  local variable=$1 prefix=$2
  [ -n "${!variable:-}" ] || sandbox_reenter "$@"
  sandbox_private_home "$home" || exit 1
  tag=${!variable}
  till=${prefix}till$tag host=${prefix}host$tag
  log=$home/Marlobex.log
  work=$(mktemp -d)
}
