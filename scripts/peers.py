"""The daemon's peers for the end-to-end tests and the load benchmarks: tills, the till's host,
recorders and strangers, one command a function below (python3 peers.py COMMAND ARGUMENTS...).
Every loop ends by itself: by a count, by a time limit, or both.

Records (what the burst till sends, one record per TCP segment):
    b"RX" | sequence (u32, big endian) | total length (u16) | body | crc32 of all before (u32)
The body is a slice of a fixed pattern chosen by the sequence number, so a record cut short, two
records spliced together or a byte changed in transit never passes the checksum.
"""
import ctypes, errno, fcntl, os, select, selectors, socket, struct, sys, termios, time, zlib

HEADER = struct.Struct(">2sIH")
TRAILER = struct.Struct(">I")
MAGIC = b"RX"
SMALLEST, LARGEST = 200, 1400
PATTERN = bytes((i * 131 + 7) & 0xFF for i in range(4096))
IP_BIND_ADDRESS_NO_PORT = 24


def make_record(sequence):
    length = SMALLEST + (sequence * 7919) % (LARGEST - SMALLEST + 1)
    start = sequence % 1024
    body = PATTERN[start:start + length - HEADER.size - TRAILER.size]
    head = HEADER.pack(MAGIC, sequence, length) + body
    return head + TRAILER.pack(zlib.crc32(head))


def touch(path):
    open(path, "w").close()


def connect(port, source="127.0.0.1", timeout=5):
    # a TCP connection from SOURCE to PORT on loopback, its source port chosen at connect
    s = socket.socket()
    s.setsockopt(socket.SOL_IP, IP_BIND_ADDRESS_NO_PORT, 1)
    s.bind((source, 0))
    s.settimeout(timeout)
    s.connect(("127.0.0.1", int(port)))
    return s


def record(port, out, seconds, links=1):
    # LINKS recorders on PORT, PORT+1, ...; what the last one receives goes to OUT until the
    # connection ends or SECONDS pass without a byte
    socks = [connect(int(port) + i) for i in range(int(links))]
    touch(out + ".connected")
    socks[-1].settimeout(float(seconds))
    with open(out, "wb") as f:
        while data := socks[-1].recv(65536):
            f.write(data)
            f.flush()


def flood(port, out, seconds):
    # a recorder on PORT that writes as fast as it can for SECONDS, recording what it receives to
    # OUT; then it shuts down its sending side and records until the connection ends or 3 s idle
    s = connect(port)
    touch(out + ".connected")
    s.setblocking(False)
    junk, end = b"x" * 65536, time.time() + float(seconds)
    with open(out, "wb") as f:
        while True:
            flooding = time.time() < end
            if end and not flooding:
                s.shutdown(socket.SHUT_WR)
                end = 0
            readable, writable, _ = select.select([s], [s] if flooding else [], [], 3)
            if writable:
                s.send(junk)
            if readable:
                data = s.recv(65536)
                if not data:
                    return
                f.write(data)
                f.flush()
            elif not writable:
                return


def stalled_recorder(port, out, stall, go_file, done_file, seconds):
    """Connects and reads nothing for STALL seconds and until GO_FILE appears; then reads until
    DONE_FILE appears and the stream has been quiet for 1.5 s; then holds the connection without
    reading again until SECONDS have passed."""
    started = time.monotonic()
    deadline = started + float(seconds)
    sock = connect(port)
    touch(out + ".connected")
    while time.monotonic() < deadline and (
            time.monotonic() - started < float(stall) or not os.path.exists(go_file)):
        time.sleep(0.05)
    touch(out + ".reading")
    sock.settimeout(0.1)
    quiet_since = time.monotonic()
    with open(out, "wb") as f:
        while time.monotonic() < deadline:
            try:
                data = sock.recv(262144)
            except socket.timeout:
                if os.path.exists(done_file) and time.monotonic() - quiet_since > 1.5:
                    break
                continue
            if not data:
                break
            f.write(data)
            quiet_since = time.monotonic()
    touch(out + ".read")
    while time.monotonic() < deadline:
        time.sleep(0.1)
    sock.close()


def host(address, port, seconds, acknowledge=""):
    # the till's host on ADDRESS:PORT: reads every connection to its end, answering each read with
    # "ACK <bytes>" when ACKNOWLEDGE is "ack"; ends once SECONDS pass with nothing to accept or read
    listener = socket.create_server((address, int(port)), backlog=64)
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ)
    while events := selector.select(float(seconds)):
        for key, _ in events:
            if key.fileobj is listener:
                selector.register(listener.accept()[0], selectors.EVENT_READ)
                continue
            try:
                data = key.fileobj.recv(262144)
                if data and acknowledge == "ack":
                    key.fileobj.sendall(b"ACK %d\n" % len(data))
            except OSError:
                data = b""
            if not data:
                selector.unregister(key.fileobj)
                key.fileobj.close()


def tcp(address, port, text):
    # one TCP receipt; returns once the host has read all of it and closed
    with socket.create_connection((address, int(port)), timeout=5) as s:
        s.sendall(text.encode())
        s.shutdown(socket.SHUT_WR)
        while s.recv(4096):
            pass


def udp(address, port, count, text, pause=0.002, stop_file="", source=""):
    # COUNT datagrams of TEXT, or of TEXT % their number when it has a %, PAUSE seconds apart; with
    # STOP_FILE, fewer once that file appears, and how many went is printed; from SOURCE when given
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if source:
        s.bind((source, 0))
    sent = 0
    while sent < int(count) and not (stop_file and os.path.exists(stop_file)):
        s.sendto((text % sent if "%" in text else text).encode(), (address, int(port)))
        sent += 1
        if float(pause):
            time.sleep(float(pause))
    if stop_file:
        print(f"udp: {sent} datagrams")


def mirror(interface, source, destination, port, text):
    # TEXT in one UDP datagram from SOURCE to DESTINATION:PORT, put on INTERFACE twice as a mirror
    # port shows a routed packet: the second copy with other MAC addresses, a tag and TTL one lower
    data = text.encode()
    datagram = struct.pack("!HHHH", 40000, int(port), 8 + len(data), 0) + data
    def ipv4(ttl):
        return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(datagram), 0x1234, 0, ttl, 17, 0,
                           socket.inet_aton(source), socket.inet_aton(destination)) + datagram
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((interface, 0))
    s.send(b"\x02" * 6 + b"\x04" * 6 + b"\x08\x00" + ipv4(64))
    s.send(b"\x06" * 6 + b"\x08" * 6 + b"\x81\x00\x00\x05\x08\x00" + ipv4(63))


def unacknowledged_bytes(sock):
    # TIOCOUTQ on a TCP socket: bytes sent but not yet acknowledged, plus bytes not yet sent.
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]


def burst(address, port, first, count, max_seconds):
    """Sends records FIRST..FIRST+COUNT-1, each alone in its segment: the next record is written
    only once the previous one is acknowledged, so the kernel never merges two."""
    sock = socket.create_connection((address, int(port)), timeout=10)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    first, count, max_seconds = int(first), int(count), float(max_seconds)
    started = time.monotonic()
    sent = total = 0
    for sequence in range(first, first + count):
        if time.monotonic() - started > max_seconds:
            break
        record_bytes = make_record(sequence)
        sock.sendall(record_bytes)
        acknowledged_by = time.monotonic() + 2.0
        while unacknowledged_bytes(sock) and time.monotonic() < acknowledged_by:
            time.sleep(0)
        sent += 1
        total += len(record_bytes)
    seconds = time.monotonic() - started
    sock.shutdown(socket.SHUT_WR)
    sock.settimeout(5)
    try:
        sock.recv(1)
    except OSError:
        pass
    sock.close()
    print(f"burst: {sent} records, {total} bytes, last {first + sent - 1}, {seconds:.2f} s")


def verify(path, last):
    """Reads the received stream as whole records: every one intact, sequence numbers rising,
    a repeat allowed only as a copy of a record already seen (a retransmitted segment)."""
    data = open(path, "rb").read()
    seen, position, top = set(), 0, -1
    intact = duplicates = corrupt = out_of_order = 0
    while position < len(data):
        if len(data) - position < HEADER.size:
            corrupt += 1
            break
        magic, sequence, length = HEADER.unpack_from(data, position)
        if magic != MAGIC or not SMALLEST <= length <= LARGEST or position + length > len(data) \
                or data[position:position + length] != make_record(sequence):
            corrupt += 1
            break
        position += length
        intact += 1
        if sequence in seen:
            duplicates += 1
        elif sequence < top:
            out_of_order += 1
        else:
            top = sequence
        seen.add(sequence)
    missing = (top + 1) - len(seen) if top >= 0 else 0
    print(f"measured: {len(data)} bytes received, {intact} intact records, {duplicates} repeated, "
          f"{missing} missing below the highest ({top}), {corrupt} corrupt at byte {position}, "
          f"{out_of_order} out of order")
    sys.exit(0 if corrupt == 0 and out_of_order == 0 and top == int(last) else 1)


def flap(port, count, pause, how="reset"):
    # COUNT connections from 127.0.0.1 to PORT, PAUSE seconds apart, each dropped at once: reset,
    # or closed in order when HOW is "close"
    made = failed = 0
    for _ in range(int(count)):
        try:
            with connect(port) as sock:
                made += 1
                if how == "reset":
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            failed += 1
        time.sleep(float(pause))
    print(f"flap: {made} connections made and dropped, {failed} failed")


def stranger_address(index):
    # 127/8 is all local; the third byte starts at 1, so 127.0.0.1 (the recorder) never appears.
    return f"127.0.{1 + index // 250}.{1 + index % 250}"


def addresses(first, count):
    for index in range(int(first), int(first) + int(count)):
        print(stranger_address(index))


def strangers(port, first, distinct, repeats, concurrency):
    """DISTINCT addresses from number FIRST on, each connecting REPEATS times (round by round), at
    most CONCURRENCY connections open at once; counts the connections the daemon closed, and ends
    early once the daemon has gone (a connection refused)."""
    distinct, concurrency = int(distinct), int(concurrency)
    plan = [stranger_address(int(first) + i) for _ in range(int(repeats)) for i in range(distinct)]
    selector = selectors.DefaultSelector()
    started = time.monotonic()
    closed = errors = timeouts = 0
    open_count = 0
    next_attempt = 0
    while next_attempt < len(plan) or open_count:
        while open_count < concurrency and next_attempt < len(plan):
            sock = socket.socket()
            sock.setsockopt(socket.SOL_IP, IP_BIND_ADDRESS_NO_PORT, 1)
            sock.bind((plan[next_attempt], 0))
            sock.setblocking(False)
            result = sock.connect_ex(("127.0.0.1", int(port)))
            next_attempt += 1
            if result not in (0, errno.EINPROGRESS):
                errors += 1
                sock.close()
                if result == errno.ECONNREFUSED:
                    next_attempt = len(plan)
                continue
            selector.register(sock, selectors.EVENT_READ, time.monotonic() + 10)
            open_count += 1
        now = time.monotonic()
        for key, _ in selector.select(0.2):
            try:
                data = key.fileobj.recv(16)
                if data:
                    errors += 1
                else:
                    closed += 1
            except (ConnectionResetError, BrokenPipeError):
                closed += 1
            except BlockingIOError:
                continue
            except ConnectionRefusedError:
                errors += 1
                next_attempt = len(plan)
            except OSError:
                errors += 1
            selector.unregister(key.fileobj)
            key.fileobj.close()
            open_count -= 1
        for key in list(selector.get_map().values()):
            if key.data < now:
                timeouts += 1
                selector.unregister(key.fileobj)
                key.fileobj.close()
                open_count -= 1
        if now - started > 240:
            break
    seconds = time.monotonic() - started
    print(f"strangers: {next_attempt} attempts from {distinct} addresses, {closed} closed by the "
          f"daemon, {errors} errors, {timeouts} timed out, {seconds:.1f} s")
    sys.exit(0 if closed == len(plan) else 1)


def reap(status_file, *command):
    # COMMAND as a child subreaper: "child PID", then "PID exited STATUS" for every process that
    # ends, its own and those of descendants that outlive their parent (a daemon after its fork)
    ctypes.CDLL(None).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER
    child = os.fork()
    if child == 0:
        os.execvp(command[0], command)
    with open(status_file, "a", buffering=1) as out:
        out.write("child %d\n" % child)
        while True:
            try:
                pid, status = os.wait()
            except ChildProcessError:
                return
            out.write("%d exited %d\n" % (pid, os.waitstatus_to_exitcode(status)))


COMMANDS = {
    "record": record, "flood": flood, "stalled-recorder": stalled_recorder, "host": host,
    "tcp": tcp, "udp": udp, "mirror": mirror, "burst": burst, "verify": verify, "flap": flap,
    "addresses": addresses, "strangers": strangers, "reap": reap,
}

if __name__ == "__main__":
    command, arguments = sys.argv[1], sys.argv[2:]
    try:
        COMMANDS[command](*arguments)
    except OSError:  # a peer's time is up, or the daemon has gone
        if command not in ("record", "flood", "host"):
            raise
