"""The faults that scripts/mutants plants, one at a time, in a scratch copy of the sources.

Each fault is a plausible slip in the daemon's code that the test suite ought to notice: an id, a
one-line description, the file, an exact text that occurs once in that file and what replaces it.
A text that does not occur exactly once cannot be planted, and fails the run: the code has moved on
and the fault must move with it.

  python3 scripts/mutants.py list                 id, file and description, one fault a line
  python3 scripts/mutants.py ids [--all] [ID,ID...]
                                                  the ids in list order (checked when given); the
                                                  plain list, or with --all the extra faults too
  python3 scripts/mutants.py describe ID          the description
  python3 scripts/mutants.py file ID              the file, relative to the source tree
  python3 scripts/mutants.py apply ID TREE        plants the fault in TREE; status 3 when the
                                                  text does not occur exactly once (prints how often)
"""

import sys
from collections import namedtuple

Mutant = namedtuple("Mutant", "id description file find replace")

# Faults of one file stay together: the scratch build then recompiles a file once for each fault in
# it and once more when the next file's faults begin.
MUTANTS = [
    # --- log/ ---
    Mutant("log-rotate-at-threshold", "rotates a log of exactly 1 MiB instead of one strictly past it",
           "log/Log.cpp",
           "open_file_size() > kRotateAbove",
           "open_file_size() >= kRotateAbove"),
    Mutant("log-failed-stream-kept", "a stream that failed (full disk, read-only) is never reopened",
           "log/Log.cpp",
           "(!stream_.good() || !path_names_open_file())",
           "(!path_names_open_file())"),
    Mutant("log-rotation-failure-every-line", "a failing rotation is reported on every line, not once per episode",
           "log/Log.cpp",
           "if (file_.is_open() && !rotation_failing_) {",
           "if (file_.is_open()) {"),
    Mutant("log-rotation-episode-never-ends", "a rotation that works again does not end the failure episode",
           "log/Log.cpp",
           "  rotation_failing_ = false;\n",
           ""),
    Mutant("log-stamp-utc", "stamps lines with UTC instead of local time",
           "log/Log.cpp",
           "second_clock::local_time()",
           "second_clock::universal_time()"),
    Mutant("log-open-waits-for-fifo", "the log is opened without O_NONBLOCK: a FIFO at its name holds the daemon",
           "log/AppendFile.cpp",
           "O_CREAT | O_NONBLOCK | O_CLOEXEC",
           "O_CREAT | O_CLOEXEC"),

    # --- config/ ---
    Mutant("config-first-nvr", "the first NVR of a network becomes its recorder address, not the last",
           "config/Configuration.cpp",
           "    recorder_address = address;\n",
           "    if (recorder_address.empty()) recorder_address = address;\n"),
    Mutant("config-duplicate-nvr-not-recorder", "a duplicate NVR does not become its network's recorder address",
           "config/Configuration.cpp",
           "    recorder_address = address;\n    if (recorders.count(address) != 0) {",
           "    if (recorders.count(address) != 0) {"),
    Mutant("config-empty-nvr-counts", "an NVR element without Address empties the recorder address",
           "config/Configuration.cpp",
           "    if (address.empty()) continue;\n",
           ""),
    Mutant("config-key-order", "the link key puts both addresses before the ports",
           "config/Configuration.cpp",
           "return src_address + \":\" + src_port + \":\" + dst_address + \":\" + dst_port;",
           "return src_address + \":\" + dst_address + \":\" + src_port + \":\" + dst_port;"),
    Mutant("config-duplicate-nvrport", "a NvrPort text already taken is not refused",
           "config/Configuration.cpp",
           "if (ports.count(entry.nvr_port) != 0) {",
           "if (ports.count(entry.nvr_port) > 1) {"),
    Mutant("config-duplicate-key-frees-port", "a Terminal with a duplicate key leaves its NvrPort free",
           "config/Configuration.cpp",
           "    if (sink.has_link(entry.key())) continue;\n",
           "    if (sink.has_link(entry.key())) {\n      ports.erase(entry.nvr_port);\n      continue;\n    }\n"),
    Mutant("config-empty-nvrport-accepted", "a Terminal without NvrPort gets a link",
           "config/Configuration.cpp",
           "    if (entry.nvr_port.empty()) continue;\n",
           ""),
    Mutant("config-both-addresses-required", "a Terminal needs both SrcAddress and DstAddress, not one of them",
           "config/Configuration.cpp",
           "entry.src_address.empty() && entry.dst_address.empty()",
           "entry.src_address.empty() || entry.dst_address.empty()"),
    Mutant("config-first-adapter", "the first Network's SniffAdapterAddress is used, not the last",
           "config/Configuration.cpp",
           "    text = attribute_text(network, name);\n",
           "    if (text.empty()) text = attribute_text(network, name);\n"),

    Mutant("config-scan-marks-not-skipped", "in a UTF-8 document the scan stops at a byte order mark TinyXML skips",
           "config/DocumentScan.cpp",
           "} else if (encoding_ == Encoding::Utf8 && is_skipped_mark(at)) {",
           "} else if (false) {"),

    # --- capture/ ---
    Mutant("decode-vlan-offset", "the 802.1Q tag is taken as 2 bytes instead of 4",
           "capture/PacketDecoder.cpp",
           "type_offset += kVlanTag;",
           "type_offset += 2;"),
    Mutant("decode-ethernet-padding", "the payload runs to the captured length, Ethernet padding included",
           "capture/PacketDecoder.cpp",
           "const std::uint32_t transport_length = total_length - ip_header;",
           "const std::uint32_t transport_length = captured_length - transport;"),
    Mutant("decode-first-fragment-dropped", "the fragment check also drops the first fragment (MF flag tested)",
           "capture/PacketDecoder.cpp",
           "if ((frame.u16(ip + 6) & kFragmentOffset) != 0)",
           "if ((frame.u16(ip + 6) & (kMoreFragments | kFragmentOffset)) != 0)"),
    Mutant("decode-later-fragment-decoded", "a later fragment is decoded as if it began with a transport header",
           "capture/PacketDecoder.cpp",
           "  if ((frame.u16(ip + 6) & kFragmentOffset) != 0) return std::nullopt;\n",
           ""),
    Mutant("decode-ihl-ignored", "IPv4 options ignored: the transport header is taken 20 bytes in",
           "capture/PacketDecoder.cpp",
           "const std::uint32_t ip_header = 4u * (frame.u8(ip) & 0x0Fu);",
           "const std::uint32_t ip_header = kIPv4MinHeader;"),
    Mutant("decode-short-ihl-accepted", "an IHL below 5 is accepted",
           "capture/PacketDecoder.cpp",
           "if (ip_header < kIPv4MinHeader || total_length < ip_header)",
           "if (total_length < ip_header)"),
    Mutant("decode-data-offset-ignored", "TCP options ignored: the payload is taken 20 bytes into the segment",
           "capture/PacketDecoder.cpp",
           "transport_header = 4u * (frame.u8(transport + 12) >> 4);",
           "transport_header = kTcpMinHeader;"),
    Mutant("decode-any-protocol-as-udp", "any protocol but TCP is decoded as UDP",
           "capture/PacketDecoder.cpp",
           "  } else if (protocol == kProtocolUdp) {\n    transport_header = kUdpHeader;\n"
           "  } else {\n    return std::nullopt;\n  }\n",
           "  } else {\n    transport_header = kUdpHeader;\n  }\n"),
    Mutant("decode-total-length-trusted", "a datagram longer than the captured bytes is decoded",
           "capture/PacketDecoder.cpp",
           "  if (!frame.has(ip, total_length)) return std::nullopt;\n",
           ""),
    Mutant("decode-empty-payload", "a segment without payload is handed over",
           "capture/PacketDecoder.cpp",
           "if (transport_length <= transport_header)",
           "if (transport_length < transport_header)"),
    Mutant("match-leading-zero", "a number with a leading zero (\"080\") compiles to exactly that value",
           "capture/LinkMatcher.cpp",
           "    if (at > start && text[start] == '0') return false;\n",
           ""),
    Mutant("match-port-65536", "the port text \"65536\" compiles to a value instead of never matching",
           "capture/LinkMatcher.cpp",
           "constexpr std::uint32_t kMaxPort = 65535;",
           "constexpr std::uint32_t kMaxPort = 65536;"),
    Mutant("match-address-trailing-text", "an address with text after its fourth octet compiles to Exactly",
           "capture/LinkMatcher.cpp",
           "  if (at != text.size()) return kNever;\n",
           ""),
    Mutant("match-never-as-wildcard", "a DstPort that can never match acts as a wildcard",
           "capture/LinkMatcher.cpp",
           "source_port.kind != never && destination_port.kind != never;",
           "source_port.kind != never;"),
    Mutant("match-destination-port-mask", "the destination port is masked as the source port (copy and paste)",
           "capture/LinkMatcher.cpp",
           "if (exact & kDestinationPort) port_mask_ |= ports_of(0, 0xFFFFu);",
           "if (exact & kDestinationPort) port_mask_ |= ports_of(0xFFFFu, 0);"),
    Mutant("match-first-combination-wins", "the first wildcard combination with a hit wins, not the first rule",
           "capture/LinkMatcher.cpp",
           "    first = std::min(first, combination.find(packet));\n",
           "    const std::uint32_t found = combination.find(packet);\n"
           "    if (found != kNone) return found;\n"),
    Mutant("dispatch-last-match", "links are tried in reverse key order: the last match takes the payload",
           "capture/Dispatch.cpp",
           "  for (const auto& entry : terminals) links.push_back(entry.second.get());\n",
           "  for (auto it = terminals.rbegin(); it != terminals.rend(); ++it) links.push_back(it->second.get());\n"),
    Mutant("filter-tag-offset", "the kernel filter looks for IPv4 2 bytes behind an 802.1Q tag instead of 4",
           "capture/KernelFilter.cpp",
           "code.statement(BPF_LDX | BPF_W | BPF_IMM, kVlanTag);",
           "code.statement(BPF_LDX | BPF_W | BPF_IMM, 2);"),
    Mutant("filter-wildcard-dropped", "the kernel filter compares a link's wildcard field with the value 0",
           "capture/KernelFilter.cpp",
           "return field.kind == FieldRule::Kind::Exactly;",
           "return field.kind != FieldRule::Kind::Never;"),
    Mutant("capture-never-reopens", "a capture handle given up is never opened again",
           "capture/CaptureSource.cpp",
           "if (Clock::now() - last_open_attempt_ >= kReopenInterval) try_reopen();",
           "if (Clock::now() - last_open_attempt_ >= kReopenInterval) last_open_attempt_ = Clock::now();"),
    Mutant("capture-read-error-every-read", "the same read error is logged on every failed read, not once a second",
           "capture/CaptureSource.cpp",
           "if (text != last_error_ || now - last_error_logged_ >= std::chrono::seconds(1)) {",
           "if (true) {"),
    Mutant("capture-drop-report-interval", "kernel drops are reported every 10 s instead of at most once a minute",
           "capture/CaptureSource.cpp",
           "now - last_drop_report_ < kDropReportInterval",
           "now - last_drop_report_ < kStatisticsInterval"),
    Mutant("capture-frames-not-counted", "frames read are not counted",
           "capture/CaptureSource.cpp",
           "    ++counters_.frames;\n",
           ""),

    Mutant("capture-duplicate-window-5s", "copies 5 s apart count as one packet, not only copies within 50 ms",
           "capture/DuplicateWindow.h",
           "kWindowMicroseconds = 50000;",
           "kWindowMicroseconds = 5000000;"),
    Mutant("capture-duplicate-ttl-compared", "a copy routed with its TTL one lower is not a duplicate",
           "capture/DuplicateWindow.cpp",
           "hash_bytes(0, ip + 4, 4);",
           "hash_bytes(0, ip + 4, 6);"),
    Mutant("capture-duplicate-identification-ignored", "a retransmission under another identification is taken for a copy",
           "capture/DuplicateWindow.cpp",
           "hash_bytes(0, ip + 4, 4);",
           "hash_bytes(0, ip + 6, 2);"),

    # --- relay/ ---
    Mutant("relay-port-clamped", "a NvrPort above 65535 is clamped instead of reduced to 16 bits",
           "relay/TerminalServer.cpp",
           "return static_cast<unsigned short>(static_cast<unsigned long>(value) & 0xFFFFu);",
           "return static_cast<unsigned short>(std::min(value, 65535L));"),
    Mutant("relay-no-reuse-address", "the listening socket is bound without SO_REUSEADDR",
           "relay/TerminalServer.cpp",
           "  acceptor_.set_option(tcp::acceptor::reuse_address(true));\n",
           ""),
    Mutant("relay-emfile-stops-server", "an accept that fails with EMFILE stops the server instead of retrying",
           "relay/TerminalServer.cpp",
           "return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;",
           "return code == ENFILE || code == ENOBUFS || code == ENOMEM;"),
    Mutant("relay-rejection-every-time", "every rejected connection is logged, not once per address",
           "relay/TerminalServer.cpp",
           "if (rejected_.count(peer) != 0 || rejected_.size() >= kRejectedLimit) return;",
           "if (rejected_.size() >= kRejectedLimit) return;"),
    Mutant("relay-rejection-cap", "1025 rejected addresses are logged instead of 1024",
           "relay/TerminalServer.cpp",
           "rejected_.size() >= kRejectedLimit",
           "rejected_.size() > kRejectedLimit"),
    Mutant("relay-half-closed-dropped", "a recorder that only stopped sending is dropped at once",
           "relay/TerminalServer.cpp",
           "    state_ = State::Finished;\n    start_accept();\n",
           "    recorder_gone();\n"),
    Mutant("relay-finished-not-accepting", "a port whose recorder's stream ended does not accept again",
           "relay/TerminalServer.cpp",
           "    state_ = State::Finished;\n    start_accept();\n",
           "    state_ = State::Finished;\n"),
    Mutant("relay-ended-connection-replaces", "a connection that ended while it waited replaces the finished recorder",
           "relay/TerminalServer.cpp",
           "if (read_and_discard(*incoming_) == Stream::Open) {",
           "if (true) {"),
    Mutant("relay-stranger-displaces", "a stranger's connection closes a finished recorder that still reads",
           "relay/TerminalServer.cpp",
           "    reject_peer(peer);\n",
           "    reject_peer(peer);\n    if (state_ == State::Finished) recorder_gone();\n"),
    Mutant("relay-no-payload-cap", "a payload longer than 65535 bytes is sent whole",
           "relay/TerminalServer.cpp",
           "static_cast<std::size_t>(std::min(length, kMaxPayload));",
           "static_cast<std::size_t>(length);"),
    Mutant("relay-no-recorder-not-counted", "payloads dropped for want of a recorder are not counted",
           "relay/TerminalServer.cpp",
           "    ++counters_.dropped_no_recorder;\n",
           ""),
    Mutant("relay-queue-limit", "the queue limit ignores the size of the payload being added",
           "relay/TerminalServer.cpp",
           "if (queued_bytes() + count > kQueueLimit) {",
           "if (queued_bytes() > kQueueLimit) {"),
    Mutant("relay-slow-every-drop", "a slow recorder is reported on every dropped payload, not once per episode",
           "relay/TerminalServer.cpp",
           "      dropping_ = true;\n",
           ""),
    Mutant("relay-partial-send-repeated", "after a partial send the bytes the kernel took are queued again",
           "relay/TerminalServer.cpp",
           "  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken));\n",
           ""),
    Mutant("relay-gathered-never-sent", "a link's first waiting payload does not ask for a send: nothing is sent",
           "relay/TerminalServer.cpp",
           "  return gathered_ends_.size() == 1;\n",
           "  return false;\n"),

    # --- app/ ---
    Mutant("app-file-argument-off-by-one", "the file argument is read from one character early",
           "app/CommandLine.cpp",
           "const std::string::size_type start = flag + 3;",
           "const std::string::size_type start = flag + 2;"),
    Mutant("app-label-quote-unescaped", "a double quote in a label value is not escaped",
           "app/CountersFile.cpp",
           r'out += "\\\"";',
           r'out += "\"";'),
    Mutant("app-label-not-cut", "a configured text of any length becomes a label value whole",
           "app/CountersFile.cpp",
           "return escape_label_value(bounded_label_value(text));",
           "return escape_label_value(text);"),
    Mutant("app-counters-temporary-kept", "whatever stands at the temporary's name (a FIFO) is not removed first",
           "app/CountersFile.cpp",
           "  ::unlink(temporary_path_.c_str());\n  const int fd =",
           "  const int fd ="),
    Mutant("app-counters-written-in-place", "the counters file is written in place instead of renamed over",
           "app/CountersFile.cpp",
           "temporary_path_(directory + kCountersTemporary)",
           "temporary_path_(directory + kCountersFile)"),
    Mutant("app-lock-not-truncated", "the lock file is not truncated: a longer stale id leaves digits behind",
           "app/Daemon.cpp",
           "  if (::ftruncate(fd, 0) != 0) {",
           "  if (false) {"),
    Mutant("app-lock-truncated-on-open", "the lock file is truncated on opening, before the lock is ours",
           "app/Daemon.cpp",
           "::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK, 0640);",
           "::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_TRUNC, 0640);"),
    Mutant("app-forks-under-init", "a daemon started by process 1 forks and locks anyway",
           "app/Daemon.cpp",
           "  if (::getppid() == 1) return DaemonStart::Daemon;\n",
           ""),
    Mutant("app-fork-status", "the process that forks the daemon ends with 1, not 0",
           "app/Daemon.cpp",
           "if (child > 0) return DaemonStart::ForkingParent;",
           "if (child > 0) return DaemonStart::ForkFailed;"),
    Mutant("app-lock-held-status", "a start that finds the lock held ends with 1, not 0",
           "app/Daemon.cpp",
           "if (lock == -2) return DaemonStart::AlreadyRunning;",
           "if (lock == -2) return DaemonStart::LockFailed;"),
    Mutant("app-umask", "the daemon's umask is 022 instead of 027",
           "app/Daemon.cpp",
           "::umask(027);",
           "::umask(022);"),
    Mutant("app-no-descriptor-raise", "the soft descriptor limit is never raised to the hard limit",
           "app/Daemon.cpp",
           "limit.rlim_cur == limit.rlim_max) return;",
           "limit.rlim_cur <= limit.rlim_max) return;"),
    Mutant("app-sighup-not-recorded", "SIGHUP is not recorded and does not end the daemon",
           "app/Daemon.cpp",
           "if (signal_number == SIGHUP || signal_number == SIGTERM) g_pending_signal = signal_number;",
           "if (signal_number == SIGTERM) g_pending_signal = signal_number;"),
    Mutant("app-signal-line-swapped", "SIGTERM is logged as the hangup and SIGHUP as the terminate line",
           "app/Daemon.cpp",
           "return signal_number == SIGHUP ? \"Hangup signal caught.  Exiting.\"",
           "return signal_number == SIGTERM ? \"Hangup signal caught.  Exiting.\""),
    Mutant("app-service-interval-seconds", "relay I/O is serviced once a second, not once a millisecond, while frames stream",
           "app/Run.cpp",
           "constexpr std::chrono::milliseconds kServiceInterval{1};",
           "constexpr std::chrono::seconds kServiceInterval{1};"),
    Mutant("app-duplicates-never-suppressed", "SuppressDuplicates=\"yes\" is not passed on: every copy is relayed",
           "app/Run.cpp",
           "suppresses_duplicates(read_duplicate_setting(root));",
           "false;"),
    Mutant("app-load-status-swapped", "a Marlobex.xml that does not load ends with 254, not 255",
           "app/Run.cpp",
           "  return kConfigurationFailedStatus;\n",
           "  return kNoRootElementStatus;\n"),
    Mutant("app-no-terminals-status", "no usable Terminal ends with 255, not 254",
           "app/Run.cpp",
           "      return kNoTerminalsStatus;\n",
           "      return kConfigurationFailedStatus;\n"),
]

# Faults that this kernel and libpcap do not let a test provoke (a link that goes down and up gives
# no failed read at all): planted only with --all or by name, so that a plain run spends its time on
# faults the suite is meant to catch.
EXTRA = [
    # Every server now always has an operation pending (an accept, a read or the accept's retry
    # pause), so the I/O service never runs out of work: the guard is kept as a safeguard.
    Mutant("app-no-work-guard", "the I/O service has no work guard and stops once it runs out of work",
           "app/Run.cpp",
           "std::unique_ptr<IoWorkGuard> work{new IoWorkGuard(io)};",
           "std::unique_ptr<IoWorkGuard> work;"),
    # Reading 64 KiB a completion, the daemon drains two Python recorders that flood it faster
    # than they write, so poll() returns all the same; a faster peer would hold it.
    Mutant("app-relay-unbounded", "one turn runs every ready relay handler, so a recorder that floods holds the loop",
           "app/Run.cpp",
           "  run_ready_handlers(relay.io, kHandlersPerTurn);\n",
           "  relay.io.poll();\n"),
    Mutant("capture-reopen-after-one-failure", "one failed read (a link going down) gives up the handle",
           "capture/CaptureSource.cpp",
           "if (++failures_ >= kFailuresBeforeReopen)",
           "if (++failures_ >= 1)"),
]

ALL = MUTANTS + EXTRA
BY_ID = {m.id: m for m in ALL}


def selected(ids_text, everything=False):
    """The faults named in a comma-separated text, in list order; without names, the plain list
    (with the extra faults when `everything`)."""
    if not ids_text:
        return ALL if everything else MUTANTS
    wanted = [i for i in ids_text.split(",") if i]
    unknown = [i for i in wanted if i not in BY_ID]
    if unknown:
        sys.exit("unknown mutant: " + ", ".join(unknown) + " (see --list)")
    return [m for m in ALL if m.id in wanted]


def apply(mutant, tree):
    path = tree.rstrip("/") + "/" + mutant.file
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        text = ""
    found = text.count(mutant.find)
    if found != 1:
        print(found)
        return 3
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace(mutant.find, mutant.replace))
    return 0


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "list":
        for m in ALL:
            extra = "(extra) " if m in EXTRA else ""
            print("%-36s %-27s %s%s" % (m.id, m.file, extra, m.description))
    elif command == "ids":
        everything = "--all" in argv[2:]
        names = [a for a in argv[2:] if a != "--all"]
        for m in selected(names[0] if names else "", everything):
            print(m.id)
    elif command in ("describe", "file") and len(argv) == 3:
        m = selected(argv[2])[0]
        print(m.description if command == "describe" else m.file)
    elif command == "apply" and len(argv) == 4:
        return apply(selected(argv[2])[0], argv[3])
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
