"""The daemon's peers in the end-to-end tests, each command a function below; every loop ends by a
count or a time limit."""
import ctypes, os, select, socket, struct, sys, time


def record(port, out, seconds, links=1):
    # LINKS recorders on PORT, PORT+1, ...; what the last one receives goes to OUT until the
    # connection ends or SECONDS pass without a byte
    socks = [socket.create_connection(("127.0.0.1", int(port) + i), source_address=("127.0.0.1", 0))
             for i in range(int(links))]
    open(out + ".connected", "w").close()
    socks[-1].settimeout(float(seconds))
    with open(out, "wb") as f:
        while data := socks[-1].recv(65536):
            f.write(data)
            f.flush()


def flood(port, out, seconds):
    # a recorder on PORT that writes as fast as it can for SECONDS, recording what it receives to
    # OUT; it then shuts down its sending side and records until the connection ends or 3 s pass idle
    s = socket.create_connection(("127.0.0.1", int(port)), source_address=("127.0.0.1", 0))
    open(out + ".connected", "w").close()
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


def udp(address, port, count, text, pause=0.002):
    # COUNT datagrams of TEXT, or of TEXT % their number when it has a %, PAUSE seconds apart
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for i in range(int(count)):
        s.sendto((text % i if "%" in text else text).encode(), (address, int(port)))
        if float(pause):
            time.sleep(float(pause))


def mirror(interface, source, destination, port, text):
    # TEXT in one UDP datagram from SOURCE to DESTINATION:PORT, put on INTERFACE twice as a mirror
    # port shows a routed packet: the second copy with other MAC addresses, a tag and TTL one lower
    data = text.encode()
    udp = struct.pack("!HHHH", 40000, int(port), 8 + len(data), 0) + data
    def ipv4(ttl):
        return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0x1234, 0, ttl, 17, 0,
                           socket.inet_aton(source), socket.inet_aton(destination)) + udp
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((interface, 0))
    s.send(b"\x02" * 6 + b"\x04" * 6 + b"\x08\x00" + ipv4(64))
    s.send(b"\x06" * 6 + b"\x08" * 6 + b"\x81\x00\x00\x05\x08\x00" + ipv4(63))


def answer(address, port, seconds):
    # one connection at a time (each till connection sends one receipt), until SECONDS pass without one
    listener = socket.create_server((address, int(port)))
    listener.settimeout(float(seconds))
    while True:
        connection = listener.accept()[0]
        while data := connection.recv(4096):
            connection.sendall(b"ACK %d\n" % len(data))


def tcp(address, port, text):
    s = socket.create_connection((address, int(port)), timeout=5)
    s.sendall(text.encode()); s.recv(100)


def strangers(port, count, source=""):
    # COUNT connections to PORT, each closed at once: from COUNT addresses, or all from SOURCE
    for i in range(int(count)):
        with socket.socket() as s:
            s.bind((source or "127.0.%d.%d" % (10 + i // 250, 1 + i % 250), 0))
            s.connect(("127.0.0.1", int(port)))


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


command, arguments = sys.argv[1], sys.argv[2:]
try:
    {"record": record, "flood": flood, "udp": udp, "mirror": mirror, "answer": answer, "tcp": tcp, "strangers": strangers, "reap": reap}[command](*arguments)
except OSError:  # a peer's time is up, or the daemon has gone
    if command not in ("answer", "record", "flood", "strangers"):
        raise
