"""Clients for the fault and load scripts: tills, recorders, strangers and a record checker.

Every loop here ends by itself: by a count, by a time limit, or both.

Records (what the burst till sends, one record per TCP segment):
    b"RX" | sequence (u32, big endian) | total length (u16) | body | crc32 of all before (u32)
The body is a slice of a fixed pattern chosen by the sequence number, so a record cut short, two
records spliced together or a byte changed in transit never passes the checksum.
"""
import errno
import fcntl
import os
import selectors
import socket
import struct
import sys
import termios
import time
import zlib

HEADER = struct.Struct(">2sIH")
TRAILER = struct.Struct(">I")
MAGIC = b"RX"
SMALLEST, LARGEST = 200, 1400
PATTERN = bytes((i * 131 + 7) & 0xFF for i in range(4096))
IP_BIND_ADDRESS_NO_PORT = 24


def record_length(sequence):
    return SMALLEST + (sequence * 7919) % (LARGEST - SMALLEST + 1)


def make_record(sequence):
    length = record_length(sequence)
    body_length = length - HEADER.size - TRAILER.size
    start = sequence % 1024
    head = HEADER.pack(MAGIC, sequence, length) + PATTERN[start:start + body_length]
    return head + TRAILER.pack(zlib.crc32(head))


def touch(path):
    open(path, "w").close()


def unacknowledged_bytes(sock):
    # TIOCOUTQ on a TCP socket: bytes sent but not yet acknowledged, plus bytes not yet sent.
    buffer = fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0")
    return struct.unpack("i", buffer)[0]


def wait_acknowledged(sock, limit):
    deadline = time.monotonic() + limit
    while unacknowledged_bytes(sock) and time.monotonic() < deadline:
        time.sleep(0)


def burst(host, port, first, count, max_seconds):
    """Sends records first..first+count-1, each alone in its segment: the next record is written
    only once the previous one is acknowledged, so the kernel never merges two."""
    sock = socket.create_connection((host, int(port)), timeout=10)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    first, count, max_seconds = int(first), int(count), float(max_seconds)
    started = time.monotonic()
    sent = total = 0
    for sequence in range(first, first + count):
        if time.monotonic() - started > max_seconds:
            break
        record = make_record(sequence)
        sock.sendall(record)
        wait_acknowledged(sock, 2.0)
        sent += 1
        total += len(record)
    seconds = time.monotonic() - started
    sock.shutdown(socket.SHUT_WR)
    sock.settimeout(5)
    try:
        sock.recv(1)
    except OSError:
        pass
    sock.close()
    print(f"burst: {sent} records, {total} bytes, last {first + sent - 1}, {seconds:.2f} s")


def sink(host, port, seconds):
    """The till's host: takes every connection and reads it to the end, answering nothing."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, int(port)))
    listener.listen(64)
    listener.setblocking(False)
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ)
    deadline = time.monotonic() + float(seconds)
    while time.monotonic() < deadline:
        for key, _ in selector.select(0.5):
            if key.fileobj is listener:
                try:
                    conn, _ = listener.accept()
                except BlockingIOError:
                    continue
                conn.setblocking(False)
                selector.register(conn, selectors.EVENT_READ)
                continue
            try:
                data = key.fileobj.recv(262144)
            except BlockingIOError:
                continue
            except OSError:
                data = b""
            if not data:
                selector.unregister(key.fileobj)
                key.fileobj.close()


def till_send(host, port, text):
    """One TCP receipt; returns once the host has read all of it and closed."""
    sock = socket.create_connection((host, int(port)), timeout=5)
    sock.sendall(text.encode())
    sock.shutdown(socket.SHUT_WR)
    sock.recv(1)
    sock.close()


def udp_send(host, port, text):
    socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(text.encode(), (host, int(port)))


def udp_stream(host, port, stop_file, seconds, interval, text):
    """Datagrams every interval seconds until stop_file appears or the time is up."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    deadline = time.monotonic() + float(seconds)
    sent = 0
    while time.monotonic() < deadline and not os.path.exists(stop_file):
        sock.sendto(text.encode(), (host, int(port)))
        sent += 1
        time.sleep(float(interval))
    print(f"udp stream: {sent} datagrams")


def connect_from(source, port, timeout=5):
    sock = socket.socket()
    sock.setsockopt(socket.SOL_IP, IP_BIND_ADDRESS_NO_PORT, 1)
    sock.bind((source, 0))
    sock.settimeout(timeout)
    sock.connect(("127.0.0.1", int(port)))
    return sock


def recorder(source, port, out, seconds):
    """Stores what it receives until the connection ends or the time is up."""
    sock = connect_from(source, port)
    touch(out + ".connected")
    sock.settimeout(0.1)
    deadline = time.monotonic() + float(seconds)
    with open(out, "wb") as f:
        while time.monotonic() < deadline:
            try:
                data = sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            if not data:
                break
            f.write(data)
            f.flush()
    touch(out + ".closed")


def stalled_recorder(source, port, out, stall, go_file, done_file, seconds):
    """Connects and reads nothing for stall seconds and until go_file appears; then reads until
    done_file appears and the stream has been quiet for 1.5 s; then holds the connection without
    reading again until the time is up."""
    started = time.monotonic()
    deadline = started + float(seconds)
    sock = connect_from(source, port)
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


def verify(path, last):
    """Reads the received stream as whole records: every one intact, sequence numbers rising,
    a repeat allowed only as a copy of a record already seen (a retransmitted segment)."""
    data = open(path, "rb").read()
    last = int(last)
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
    good = corrupt == 0 and out_of_order == 0 and top == last
    sys.exit(0 if good else 1)


def flap(source, port, count, pause):
    """Connects and drops at once (a reset, not a close) count times."""
    made = failed = 0
    linger = struct.pack("ii", 1, 0)
    for _ in range(int(count)):
        try:
            sock = connect_from(source, port)
            made += 1
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
            sock.close()
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
    """distinct addresses, each connecting repeats times (round by round), at most concurrency
    connections open at once; counts the connections the daemon closed."""
    first, distinct, repeats, concurrency = int(first), int(distinct), int(repeats), int(concurrency)
    plan = [stranger_address(first + i) for _ in range(repeats) for i in range(distinct)]
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


COMMANDS = {
    "burst": burst, "sink": sink, "till-send": till_send, "udp-send": udp_send,
    "udp-stream": udp_stream, "recorder": recorder, "stalled-recorder": stalled_recorder,
    "verify": verify, "flap": flap, "addresses": addresses, "strangers": strangers,
}

if __name__ == "__main__":
    COMMANDS[sys.argv[1]](*sys.argv[2:])
