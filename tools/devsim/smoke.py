#!/usr/bin/env python3
"""Smoke check of nubo-devsim, written straight from the message tables.

Usage: tools/devsim/smoke.py [path/to/nubo-devsim]   (DEVSIM_STDERR=1 shows its diagnostics)

Starts the simulator on a copy of sample-device/, talks to it through the port it
prints, and checks the answers byte by byte. Prints timings for the fault options
for a human to judge; it asserts no timings. Exit status 0 when all checks pass.
"""

import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BINARY = os.path.join(HERE, "..", "..", "build-devsim", "bin", "nubo-devsim")

failures = []


def check(condition, what):
    if condition:
        print("  ok   " + what)
    else:
        print("  FAIL " + what)
        failures.append(what)


# ---------------------------------------------------------------------------
# Host side of the wire format.

serial_counter = 0


def request(message_id, fields=b"", serial=None):
    global serial_counter
    if serial is None:
        serial = serial_counter
        serial_counter += 1
    body = struct.pack("<i", serial) + fields
    return struct.pack("<HI", message_id, len(body)) + body, serial


def hstr(text):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return struct.pack("<I", len(data)) + data


class Body:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        v = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return v[0] if len(v) == 1 else v

    def string(self):
        n = self.take("i")
        if n <= 0:
            return b""
        s = self.data[self.pos:self.pos + n]
        self.pos += n
        return s

    def time(self):
        return self.take("hbbbb")

    def rest(self):
        return self.data[self.pos:]


class Port:
    def __init__(self, path, flush=True):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        if flush:
            termios.tcflush(self.fd, termios.TCIOFLUSH)
        self.pending = b""
        self.reads = 0

    def close(self):
        os.close(self.fd)

    def send(self, data):
        os.write(self.fd, data)

    def read_some(self, timeout):
        r, _, _ = select.select([self.fd], [], [], timeout)
        if not r:
            return None
        try:
            data = os.read(self.fd, 65536)
        except OSError:
            return b""  # EIO: the other end hung up
        self.reads += 1
        return data

    def read_exact(self, n, timeout=2.0):
        deadline = time.monotonic() + timeout
        while len(self.pending) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            data = self.read_some(left)
            if not data:
                return None
            self.pending += data
        out, self.pending = self.pending[:n], self.pending[n:]
        return out

    def message(self, timeout=2.0):
        header = self.read_exact(6, timeout)
        if header is None:
            return None
        mid, size = struct.unpack("<HI", header)
        body = self.read_exact(size, timeout)
        if body is None:
            return None
        return mid, Body(body)

    def response(self, timeout=2.0):
        m = self.message(timeout)
        if m is None:
            return None
        mid, body = m
        return mid, body.take("i"), body

    def exchange(self, message_id, fields=b""):
        data, serial = request(message_id, fields)
        self.send(data)
        r = self.response()
        if r is None:
            return None, None
        mid, got_serial, body = r
        if got_serial != serial:
            failures.append("serial %d answered as %d" % (serial, got_serial))
        return mid, body


class Simulator:
    def __init__(self, binary, fs, *args):
        self.proc = subprocess.Popen([binary, "--fs", fs] + list(args), stdout=subprocess.PIPE, bufsize=0,
                                     stderr=None if os.environ.get("DEVSIM_STDERR") else subprocess.DEVNULL)
        self.output = b""
        self.path = self.next_ready(10.0)
        assert self.path is not None, "no READY line: %r" % self.output

    def next_ready(self, timeout):
        """The port of the next READY line (it comes again after a restart or a replug), or None."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.output:
            left = deadline - time.monotonic()
            r, _, _ = select.select([self.proc.stdout], [], [], max(0, left))
            data = os.read(self.proc.stdout.fileno(), 4096) if r else b""
            if not data:
                return None
            self.output += data
        line, self.output = self.output.split(b"\n", 1)
        line = line.decode()
        return line[6:] if line.startswith("READY ") else None

    def port(self, flush=True):
        return Port(self.path, flush)

    def cpu_ticks(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return "killed"


# ---------------------------------------------------------------------------

def basic(binary, fs, work):
    print("requests")
    log = os.path.join(work, "requests.log")
    sim = Simulator(binary, fs, "--log", log)
    port = sim.port()

    mid, b = port.exchange(0)
    check(mid == 1 and b.take("HHHH") == (1, 0x2a, 0x100, 0x203)
          and b.string() == b"Nubo Simulator" and b.string() == b"Serial SIM-0001", "WhoAmI defaults")

    readme = fs + "/mnt/nandfs/usr/Readme.txt"
    mid, b = port.exchange(4, b"\x00" + hstr("/mnt/nandfs/usr/Readme.txt"))
    flag0, name, exists, size, ro, flag = b.take("B"), b.string(), b.take("B"), b.take("q"), b.take("B"), b.take("B")
    t1, t2, t3 = b.time(), b.time(), b.time()
    mtime = time.localtime(os.stat(readme).st_mtime)
    check(mid == 5 and flag0 == 0 and name == b"Readme.txt" and exists == 1 and size == os.path.getsize(readme)
          and ro == 0 and flag == 0, "entry info of a file")
    check(t2 == (mtime.tm_year, mtime.tm_mon - 1, mtime.tm_mday, mtime.tm_hour, mtime.tm_min),
          "modification time as local fields, month 0-based")
    mid, b = port.exchange(4, b"\x01" + hstr("/mnt/nandfs/nothing"))
    check(mid == 5 and b.take("B") == 1 and b.string() == b"nothing" and b.take("B") == 0
          and b.take("q") == 0 and b.rest() == bytes(20), "entry info of a missing entry: exists 0")

    mid, b = port.exchange(17, hstr("/mnt/nandfs/usr"))
    files = [b.string() for _ in range(b.take("i"))]
    folders = [b.string() for _ in range(b.take("i"))]
    check(mid == 18 and files == [b".profile", b"Readme.txt", b"settings.ini"]
          and folders == [b"Logs", b"apps", b"docs"], "folder listing %r %r" % (files, folders))
    mid, b = port.exchange(17, hstr("/mnt/nandfs/none"))
    check(mid == 3 and b.string() == b"No such folder: /mnt/nandfs/none", "listing a missing folder fails")

    mid, b = port.exchange(10, hstr("/mnt/nandfs/macAddress.txt") + b"\x01\x01")
    handle, size = b.take("qq")
    check(mid == 11 and handle == 4096 and size == 18, "open for reading: handle 4096, size 18")
    mid, b = port.exchange(12, struct.pack("<qI", handle, 10000))
    value, count = b.take("qi")
    check(mid == 13 and value == 0 and count == 18 and b.rest() == b"00:1A:2B:3C:4D:5E\n", "read the whole file")
    mid, b = port.exchange(12, struct.pack("<qI", handle, 100))
    check(mid == 13 and b.take("qi") == (0, 0), "read at end of file: count 0")
    mid, _ = port.exchange(16, struct.pack("<q", handle))
    check(mid == 2, "close")
    mid, b = port.exchange(16, struct.pack("<q", handle))
    check(mid == 3 and b.string() == b"Invalid handle 4096", "close of an unknown handle fails")
    mid, b = port.exchange(10, hstr("/mnt/nandfs/lib/libm.so.2") + b"\x01\x01")
    check(mid == 3 and b.string() == b"No such file: /mnt/nandfs/lib/libm.so.2", "firmware marker absent")

    # Writing: three blocks, then a seek back and an overwrite.
    data = bytes((i * 7) & 0xff for i in range(20000))
    mid, b = port.exchange(10, hstr("/mnt/nandfs/usr/new.bin") + b"\x02\x00")
    handle, size = b.take("qq")
    check(mid == 11 and handle == 4097 and size == 0, "open for writing creates the file")
    ok = True
    for at in range(0, len(data), 8169):
        block = data[at:at + 8169]
        mid, _ = port.exchange(14, struct.pack("<qI", handle, len(block)) + block)
        ok = ok and mid == 2
    mid, _ = port.exchange(15, struct.pack("<qqB", handle, 0, 0))
    ok = ok and mid == 2
    mid, _ = port.exchange(14, struct.pack("<qI", handle, 2) + b"AB")
    ok = ok and mid == 2
    mid, _ = port.exchange(15, struct.pack("<qqB", handle, -1, 2))
    mid2, _ = port.exchange(14, struct.pack("<qI", handle, 1) + b"Z")
    port.exchange(16, struct.pack("<q", handle))
    with open(fs + "/mnt/nandfs/usr/new.bin", "rb") as f:
        written = f.read()
    check(ok and mid == 2 and mid2 == 2 and written == b"AB" + data[2:-1] + b"Z", "write, seek from start and end")

    # Reads in a row are served from a block read ahead: a seek, or a write through
    # another handle, must be seen by the next read all the same.
    def read_block(h, n):
        m, body = port.exchange(12, struct.pack("<qI", h, n))
        if m != 13:
            return None
        body.take("q")
        count = body.take("i")
        return body.rest()[:count]
    mid, b = port.exchange(10, hstr("/mnt/nandfs/usr/new.bin") + b"\x01\x01")
    reader = b.take("q")
    first, second = read_block(reader, 1000), read_block(reader, 1000)
    port.exchange(15, struct.pack("<qqB", reader, 0, 0))
    again = read_block(reader, 1000)
    check(first == written[:1000] and second == written[1000:2000] and again == first,
          "reads in a row, and after a seek back")
    mid, b = port.exchange(10, hstr("/mnt/nandfs/usr/new.bin") + b"\x02\x00")
    writer = b.take("q")
    port.exchange(14, struct.pack("<qI", writer, 5) + b"fresh")
    after_truncate = read_block(reader, 1000)
    port.exchange(15, struct.pack("<qqB", reader, 0, 0))
    fresh = read_block(reader, 1000)
    port.exchange(16, struct.pack("<q", writer))
    port.exchange(16, struct.pack("<q", reader))
    check(after_truncate == b"" and fresh == b"fresh",
          "a read after another handle truncated and wrote the file sees it (got %s bytes, then %r)"
          % (len(after_truncate) if after_truncate is not None else None, (fresh or b"")[:16]))
    mid, b = port.exchange(10, hstr("/mnt/nandfs/usr/new.bin") + b"\x02\x00")
    h = b.take("q")
    port.exchange(16, struct.pack("<q", h))
    check(os.path.getsize(fs + "/mnt/nandfs/usr/new.bin") == 0, "open for writing truncates")

    # Entries.
    mid, _ = port.exchange(7, b"\x01" + hstr("/mnt/nandfs/usr/made") + b"\x01")
    mid2, _ = port.exchange(7, b"\x01" + hstr("/mnt/nandfs/usr/made") + b"\x01")
    check(mid == 2 and mid2 == 2 and os.path.isdir(fs + "/mnt/nandfs/usr/made"), "create folder, twice")
    mid, _ = port.exchange(8, b"\x01" + hstr("/mnt/nandfs/usr/made") + hstr("/mnt/nandfs/usr/moved") + b"\x00\x01")
    check(mid == 2 and os.path.isdir(fs + "/mnt/nandfs/usr/moved"), "move")
    mid, _ = port.exchange(9, b"\x01" + hstr("/mnt/nandfs/usr/apps") + b"\x01\x00")
    check(mid == 2 and not os.path.exists(fs + "/mnt/nandfs/usr/apps"), "delete a folder with its contents")
    mid, b = port.exchange(9, b"\x01" + hstr("/mnt/nandfs/usr/apps") + b"\x01\x00")
    check(mid == 3, "delete of a missing entry fails: %r" % b.string())

    # Paths that leave the file system.
    os.symlink("/etc", fs + "/mnt/nandfs/usr/outside")
    for path in ["/mnt/../../etc/passwd", "/mnt/nandfs/usr/outside/passwd", "/mnt/nandfs/usr/outside"]:
        mid, b = port.exchange(10, hstr(path) + b"\x01\x01")
        check(mid == 3 and b.string().startswith(b"Path outside"), "refused: " + path)
    mid, b = port.exchange(4, b"\x01" + hstr("/mnt/nandfs/usr/outside"))
    check(mid == 3, "entry info through a link to outside refused")
    os.unlink(fs + "/mnt/nandfs/usr/outside")

    # Properties, unknown requests, a bad header.
    mid, b = port.exchange(19, b"\x02\x01\x00\x02\x00")
    ints = [b.take("Hi") for _ in range(b.take("H"))]
    strings = [(b.take("H"), b.string()) for _ in range(b.take("H"))]
    check(mid == 20 and (5, 42) in ints and (0x8010, b"sim") in strings, "GetProperties")
    mid, b = port.exchange(26, b"\x00" + struct.pack("<H", 5))
    check(mid == 27 and b.take("Hi") == (5, 42), "GetProperty 5")
    mid, b = port.exchange(26, b"\x01\x01\x00" + struct.pack("<H", 0x8010))
    check(mid == 27 and b.take("H") == 0x8010 and b.string() == b"sim", "GetProperty 0x8010")
    mid, b = port.exchange(99)
    check(mid == 3 and b.string() == b"Unknown request 99", "unknown request")
    port.send(struct.pack("<HI", 0x8007, 4))
    port.send(struct.pack("<HI", 0, 8186))
    mid, _ = port.exchange(0)
    check(mid == 1, "bad headers dropped, next request answered")

    # Reopening the port, also as an ordinary user that asks for exclusive use.
    port.close()
    for _ in range(3):
        port = sim.port()
        mid, _ = port.exchange(0)
        port.close()
    check(mid == 1, "close and reopen three times")

    # The simulator waits for requests in a blocking read: a close while it waits, with
    # half a request and an unread answer behind it, must still end the session before
    # the next client's bytes (a client that does not flush on open sees nothing old).
    port = sim.port()
    port.send(request(0, serial=7001)[0])
    time.sleep(0.2)
    port.send(request(0, serial=7002)[0][:7])
    time.sleep(0.2)
    port.close()
    time.sleep(0.2)
    port = sim.port(flush=False)
    port.send(request(0, serial=7003)[0])
    r = port.response()
    check(r is not None and r[0] == 1 and r[1] == 7003,
          "a close while waiting drops the half request and the unread answer (got %r)" % (r and r[:2],))
    check(port.read_some(0.3) is None, "nothing after the new session's answer")
    port.close()
    if os.getuid() == 0:
        os.chmod(sim.path, 0o666)
        child = os.fork()
        if child == 0:
            status = 1
            try:
                os.setuid(65534)
                for _ in range(2):
                    p = Port(sim.path)
                    import fcntl
                    fcntl.ioctl(p.fd, termios.TIOCEXCL)
                    m, _ = p.exchange(0)
                    p.close()
                status = 0 if m == 1 else 1
            finally:
                os._exit(status)
        _, status = os.waitpid(child, 0)
        check(status == 0, "non-root client with TIOCEXCL can reopen")

    time.sleep(0.5)
    before = sim.cpu_ticks()
    time.sleep(3)
    after = sim.cpu_ticks()
    print("  idle CPU over 3 s: %d ticks" % (after - before))
    check(after - before <= 1, "no CPU while idle")
    check(sim.stop() == 0, "exit 0 on SIGTERM")

    # Stopped while the read waits for the rest of a request, and idle meanwhile.
    for sig, name in ((signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM")):
        waiting = Simulator(binary, fs)
        p = waiting.port()
        p.send(request(0)[0][:5])
        time.sleep(0.3)
        before = waiting.cpu_ticks()
        time.sleep(1)
        check(waiting.cpu_ticks() - before <= 1, "no CPU with half a request waiting")
        started = time.monotonic()
        check(waiting.stop(sig) == 0, "exit 0 on %s with half a request read" % name)
        check(time.monotonic() - started < 3, "%s ends the wait at once" % name)
        p.close()

    # A client that asks for far more than it reads: the answers back up in the
    # pseudo-terminal. Its close, and a stop signal, must still be heard at once, and
    # the next client served.
    big = fs + "/mnt/nandfs/usr/big.bin"
    with open(big, "wb") as f:
        f.write(os.urandom(1 << 20))
    for stop_with in ("close", "SIGTERM"):
        backed = Simulator(binary, fs)
        p = backed.port()
        mid, b = p.exchange(10, hstr("/mnt/nandfs/usr/big.bin") + b"\x01\x01")
        handle = b.take("q")
        for _ in range(40):  # 40 answers of 8 KB: over 300 KB, none of it read
            p.send(request(12, struct.pack("<qI", handle, 8169))[0])
        time.sleep(0.5)
        # Sent while the simulator cannot take it: the remains of a request, which the
        # next client's first request must not be read as the rest of.
        p.send(request(12, struct.pack("<qI", handle, 8169))[0][:9])
        before = backed.cpu_ticks()
        time.sleep(1)
        check(backed.cpu_ticks() - before <= 1, "no CPU with answers backed up (%s)" % stop_with)
        started = time.monotonic()
        if stop_with == "close":
            p.close()
            time.sleep(0.2)
            p = backed.port()
            m, _ = p.exchange(0)
            check(m == 1 and time.monotonic() - started < 3, "the next client is served after backed-up answers and half a request")
            check(backed.stop() == 0, "exit 0 after backed-up answers")
        else:
            check(backed.stop(signal.SIGTERM) == 0 and time.monotonic() - started < 3,
                  "SIGTERM ends a simulator whose answers back up")
        p.close()
    os.unlink(big)

    with open(log) as f:
        lines = f.read().splitlines()
    check(lines[0] == "0 WhoAmIRequest", "log: " + lines[0])
    check(lines[1] == "1 FileSystemEntryInfoRequest isFolder=0 path=/mnt/nandfs/usr/Readme.txt", "log: " + lines[1])
    check("5 FileOpenRequest access=1 readFlag=1 path=/mnt/nandfs/macAddress.txt" in lines, "log: open")
    check("6 FileReadRequest handle=4096 count=10000" in lines, "log: read")
    check(any(l.endswith("FileWriteRequest handle=4097 length=8169") for l in lines), "log: write")
    check(any(l.endswith("FileSystemEntryMoveRequest isFolder=1 flagA=0 flagB=1 old=/mnt/nandfs/usr/made "
                         "new=/mnt/nandfs/usr/moved") for l in lines), "log: move")
    check(any(l.endswith("UnknownRequest id=99 size=4") for l in lines), "log: unknown")


def faults(binary, fs, work):
    print("faults")
    sim = Simulator(binary, fs, "--delay", "300")
    port = sim.port()
    start = time.monotonic()
    mid, _ = port.exchange(0)
    print("  --delay 300: answered after %.0f ms" % ((time.monotonic() - start) * 1000))
    check(mid == 1, "delayed response arrives")
    port.close()
    check(sim.stop(signal.SIGINT) == 0, "exit 0 on SIGINT")

    sim = Simulator(binary, fs, "--drop", "2", "--late", "3:300")
    port = sim.port()
    m1, _ = port.exchange(0)
    data, serial = request(0)
    port.send(data)
    check(m1 == 1 and port.response(0.5) is None, "--drop 2: second response never comes")
    d3, s3 = request(0)
    d4, s4 = request(0)
    port.send(d3 + d4)
    first, second = port.response(), port.response()
    check(first[1] == s4 and second[1] == s3, "--late 3:300: the fourth answer overtakes the third")
    port.close()
    sim.stop()

    sim = Simulator(binary, fs, "--chunk", "5")
    port = sim.port()
    port.reads = 0
    mid, b = port.exchange(0)
    print("  --chunk 5: 55-byte answer came in %d reads" % port.reads)
    check(mid == 1 and b.take("HHHH") == (1, 0x2a, 0x100, 0x203), "chunked answer reassembles (id %r)" % mid)
    check(port.reads > 1, "chunked answer came in several reads")
    port.close()
    sim.stop()

    sim = Simulator(binary, fs, "--garbage", "1:6,2")
    port = sim.port()
    data, serial = request(0)
    port.send(data)
    raw = port.read_exact(6 + 55)
    check(raw is not None and raw[:6] == b"\xff" * 6 and raw[6:8] == b"\x01\x00", "--garbage 1:6 before answer 1")
    data, serial = request(0)
    port.send(data)
    raw = port.read_exact(7 + 55)
    check(raw is not None and raw[:7] == b"\xff" * 7, "--garbage 2 sends 7 bytes by default")
    port.close()
    sim.stop()

    sim = Simulator(binary, fs, "--async-after", "1", "--async-every", "400")
    port = sim.port()
    mid, _ = port.exchange(0)
    ids = [port.message()[0] for _ in range(6)]
    check(mid == 1 and ids == [0x8002, 0x8006, 0x8006, 0x8000, 0x8001, 0x8005], "--async-after 1: %r" % ids)
    msgs = [port.message(2.0) for _ in range(6)]
    ok = all(m is not None for m in msgs)
    if ok:
        ev, pn, ps, pt = msgs[0][1], msgs[1][1], msgs[2][1], msgs[3][1]
        ok = (ev.take("iq") == (3, 77) and pn.take("BHHHi") == (2, 1, 2, 5, 1234)
              and ps.take("BHH") == (1, 1, 0x8010) and ps.string() == b"hello" and pt.take("qi") == (4321, -2)
              and msgs[4][1].rest() == bytes(4) and msgs[5][1].rest() == bytes(4))
    check(ok, "--async-every 400: the set arrives with its fields")
    port.close()
    sim.stop()

    sim = Simulator(binary, fs, "--rate", "1000")
    port = sim.port()
    start = time.monotonic()
    mid, b = port.exchange(10, hstr("/mnt/nandfs/usr/Readme.txt") + b"\x01\x01")
    handle = b.take("q")
    got = b""
    for _ in range(3):
        mid, b = port.exchange(12, struct.pack("<qI", handle, 8169))
        got += b.rest()[12:]
    print("  --rate 1000: %d bytes of traffic took %.0f ms" % (len(got) + 150, (time.monotonic() - start) * 1000))
    check(got == open(fs + "/mnt/nandfs/usr/Readme.txt", "rb").read(), "rate-limited read is complete")
    port.close()
    sim.stop()

    sim = Simulator(binary, fs, "--unsafe-names")
    port = sim.port()
    mid, b = port.exchange(17, hstr("/mnt/nandfs/usr"))
    files = [b.string() for _ in range(b.take("i"))]
    folders = [b.string() for _ in range(b.take("i"))]
    check(set(files) >= {b"..", b"../x", b"a/b", b"/abs", b"", b"Readme.txt"}
          and set(folders) >= {b"..", b"../evil", b"a/b", b"docs"}, "--unsafe-names")
    port.close()
    sim.stop()

    sim = Simulator(binary, fs, "--tilde-names", "--self-folder", "loop")
    port = sim.port()
    mid, b = port.exchange(17, hstr("/mnt/nandfs/usr/loop/loop/docs"))
    files = [b.string() for _ in range(b.take("i"))]
    folders = [b.string() for _ in range(b.take("i"))]
    check(mid == 18 and {b"~", b"~user", b"~/x", b"notes.txt"} <= set(files)
          and {b"~", b"~user", b"~/x", b"loop"} <= set(folders), "--tilde-names, --self-folder: %r %r" % (files, folders))
    port.close()
    sim.stop()

    sim = Simulator(binary, fs, "--file-size", "-1", "--long-reads", "3", "--refuse-create", "/mnt/nandfs/usr/no")
    port = sim.port()
    mid, b = port.exchange(10, hstr("/mnt/nandfs/usr/Readme.txt") + b"\x01\x01")
    handle, size = b.take("qq")
    check(mid == 11 and size == -1, "--file-size -1 on open (%r)" % size)
    mid, b = port.exchange(12, struct.pack("<qI", handle, 5))
    b.take("q")
    count = b.take("i")
    data = b.rest()
    check(mid == 13 and count == 8 and len(data) == 8 and data[5:] == b"\x55" * 3, "--long-reads 3 (%r)" % data)
    mid, _ = port.exchange(10, hstr("/mnt/nandfs/usr/no") + b"\x02\x00")
    check(mid == 3, "--refuse-create: no open for writing")
    mid, _ = port.exchange(8, b"\x00" + hstr("/mnt/nandfs/usr/Readme.txt") + hstr("/mnt/nandfs/usr/no") + b"\x00\x01")
    check(mid == 3 and os.path.exists(fs + "/mnt/nandfs/usr/Readme.txt"), "--refuse-create: no move onto it")
    port.close()
    sim.stop()

    # The second write is stored damaged and the second read answer sent damaged,
    # both answered as if all were well; the others stay as they were.
    sim = Simulator(binary, fs, "--corrupt-write", "2", "--corrupt-read", "2")
    port = sim.port()
    mid, b = port.exchange(10, hstr("/mnt/nandfs/usr/damaged.bin") + b"\x02\x00")
    handle = b.take("q")
    answers = [port.exchange(14, struct.pack("<qI", handle, 3) + block)[0] for block in (b"abc", b"def", b"ghi")]
    port.exchange(16, struct.pack("<q", handle))
    with open(fs + "/mnt/nandfs/usr/damaged.bin", "rb") as f:
        stored = f.read()
    check(answers == [2, 2, 2] and stored == b"abc" + bytes([ord("d") ^ 0xFF]) + b"efghi",
          "--corrupt-write 2 (%r)" % stored)
    mid, b = port.exchange(10, hstr("/mnt/nandfs/usr/damaged.bin") + b"\x01\x01")
    handle = b.take("q")
    reads = []
    for _ in range(3):
        m, body = port.exchange(12, struct.pack("<qI", handle, 3))
        body.take("q")
        count = body.take("i")
        reads.append(body.rest()[:count] if m == 13 else None)
    port.exchange(16, struct.pack("<q", handle))
    check(reads == [stored[0:3], bytes([stored[3] ^ 0xFF]) + stored[4:6], stored[6:9]], "--corrupt-read 2 (%r)" % reads)
    os.remove(fs + "/mnt/nandfs/usr/damaged.bin")
    port.close()
    sim.stop()

    root = os.path.join(work, "root")
    sim = Simulator(binary, fs, "--hangup-after-sent", "30", "--device-root", root)
    port = sim.port()
    data, _ = request(0)
    port.send(data)
    got = b""
    while True:
        chunk = port.read_some(3.0)
        if not chunk:
            break
        got += chunk
    check(len(got) == 30 and chunk == b"", "--hangup-after-sent 30: 30 bytes, then hang-up")
    check(sim.proc.poll() is None and not os.path.lexists(root + "/dev/ttyACM0"), "idle after hang-up, unplugged")
    port.close()
    check(sim.stop() == 0, "exit 0 after hang-up")

    sim = Simulator(binary, fs, "--hangup-after-received", "10")
    port = sim.port()
    data, _ = request(0)
    port.send(data)
    check(port.read_some(3.0) == b"", "--hangup-after-received 10: hang-up, no answer")
    port.close()
    check(sim.stop() == 0, "exit 0 after hang-up")


def device_root(binary, fs, work):
    print("device root")
    root = os.path.join(work, "devroot")
    sim = Simulator(binary, fs, "--device-root", root, "--pid", "0x512")
    entry = root + "/sys/class/tty/ttyACM0"
    check(os.readlink(entry) == "../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/tty/ttyACM0",
          "class entry is a relative link")
    real = os.path.realpath(entry)
    check(os.path.isdir(real) and os.readlink(real + "/device") == "../../../1-2:1.0"
          and os.path.basename(os.path.realpath(real + "/device")) == "1-2:1.0", "device link to the interface")
    usb = os.path.dirname(os.path.realpath(real + "/device"))
    texts = {n: open(usb + "/" + n).read() for n in ["idVendor", "idProduct", "bcdDevice", "product"]}
    check(texts == {"idVendor": "7a3c\n", "idProduct": "0512\n", "bcdDevice": "0100\n", "product": "Nubo Device\n"},
          "USB device files %r" % texts)
    check(os.readlink(root + "/dev/ttyACM0") == sim.path, "dev link to the pty")
    port = Port(root + "/dev/ttyACM0")
    mid, _ = port.exchange(0)
    check(mid == 1, "WhoAmI through the dev link")
    port.close()
    check(sim.stop() == 0 and not os.path.lexists(root + "/dev/ttyACM0"), "dev link removed on exit")


# ---------------------------------------------------------------------------
# Leaving the bus and coming back: the restart after the update trigger, a cable
# pulled and plugged in again, and many devices side by side.

IMAGE = "/mnt/nandfs/Nuboimage"
TRIGGER = "/mnt/nandfs/NuboimageDone"
MARKER = "/mnt/nandfs/lib/libm.so.2"


def fresh_fs(work, name):
    fs = os.path.join(work, name)
    shutil.copytree(os.path.join(HERE, "sample-device"), fs, symlinks=True)
    return fs


def usb_device(root, tty_name):
    """The USB device folder (usb1/1-N) that the tty's class entry leads to."""
    tty_folder = os.path.realpath(root + "/sys/class/tty/" + tty_name)
    return os.path.dirname(os.path.realpath(tty_folder + "/device"))


def plugged(root, tty_name):
    return os.path.lexists(root + "/dev/" + tty_name) or os.path.lexists(root + "/sys/class/tty/" + tty_name)


def write_file(port, path, data):
    """Writes a device file in blocks; True when every answer was a success."""
    mid, b = port.exchange(10, hstr(path) + b"\x02\x00")
    if mid != 11:
        return False
    handle = b.take("q")
    ok = True
    for at in range(0, len(data), 8169):
        block = data[at:at + 8169]
        ok = port.exchange(14, struct.pack("<qI", handle, len(block)) + block)[0] == 2 and ok
    return port.exchange(16, struct.pack("<q", handle))[0] == 2 and ok


def whoami_firmware(port):
    mid, b = port.exchange(0)
    return b.take("HHHH")[3] if mid == 1 else None


def hung_up(port):
    """True when the port reports the other end gone (EIO or end of file) within a few seconds."""
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        data = port.read_some(deadline - time.monotonic())
        if data == b"":
            return True
        if data is None:
            return False
    return False


def restart(binary, work):
    print("restart after the update trigger")
    fs = fresh_fs(work, "restart-fs")
    root = os.path.join(work, "restart-root")
    log = os.path.join(work, "restart.log")
    sim = Simulator(binary, fs, "--device-root", root, "--usb-port", "3", "--usb-serial", "UNIT-3",
                    "--restart-ms", "300", "--restart-tty", "ttyACM7", "--log", log)
    port = Port(root + "/dev/ttyACM0")
    check(whoami_firmware(port) == 0x203, "firmware before the update")
    image = os.urandom(3 * 8169 + 11)
    check(write_file(port, IMAGE, image), "image written")

    mid, b = port.exchange(10, hstr(TRIGGER) + b"\x02\x00")
    handle = b.take("q") if mid == 11 else None
    mid, _ = port.exchange(4, b"\x00" + hstr(TRIGGER))
    check(mid == 5 and plugged(root, "ttyACM0"), "an open trigger is not yet the update: requests still answered")
    mid, _ = port.exchange(16, struct.pack("<q", handle or 0))
    check(mid == 2, "the close that finishes the trigger is answered")
    data, late_serial = request(0)
    port.send(data)
    check(hung_up(port), "then the port hangs up, the request after the trigger unanswered")
    check(not plugged(root, "ttyACM0") and not os.path.exists(usb_device_folder(root, 3) + "/1-3:1.0/tty/ttyACM0"),
          "and the device root's entries are gone")
    gone = time.monotonic()
    new_path = sim.next_ready(10.0)
    print("  back %.0f ms after the hang-up was seen (--restart-ms 300)" % ((time.monotonic() - gone) * 1000))
    check(new_path is not None and new_path != sim.path, "READY again, on a new pty (%r after %r)" % (new_path, sim.path))
    port.close()
    check(new_path is not None and os.readlink(root + "/dev/ttyACM7") == new_path
          and os.path.basename(usb_device(root, "ttyACM7")) == "1-3"
          and open(usb_device(root, "ttyACM7") + "/serial").read() == "UNIT-3\n",
          "plugged into the same slot 1-3 with the same serial, as --restart-tty ttyACM7")
    check(not os.path.exists(fs + IMAGE) and not os.path.exists(fs + TRIGGER) and os.path.isfile(fs + MARKER),
          "image and trigger consumed, firmware marker installed")
    port = Port(new_path)
    check(whoami_firmware(port) == 0x204, "WhoAmI reports the firmware + 1")
    mid, b = port.exchange(10, hstr(MARKER) + b"\x01\x01")
    check(mid == 11, "the marker opens on the device")
    port.exchange(16, struct.pack("<q", b.take("q")) if mid == 11 else b"")
    with open(log) as f:
        lines = f.read().splitlines()
    check(not any(l.startswith("%d " % late_serial) for l in lines), "the request sent after the trigger was never taken")

    # A trigger made by a create request restarts it as well, again into the same slot.
    check(write_file(port, IMAGE, b"second image"), "a second image written")
    mid, _ = port.exchange(7, b"\x00" + hstr(TRIGGER) + b"\x00")
    check(mid == 2 and hung_up(port), "a trigger made by a create request: answered, then the hang-up")
    new_path = sim.next_ready(10.0)
    check(new_path is not None and os.readlink(root + "/dev/ttyACM7") == new_path
          and not os.path.exists(fs + TRIGGER), "and back again")
    port.close()
    check(sim.stop() == 0, "exit 0 after restarts")

    print("never coming back")
    fs = fresh_fs(work, "never-fs")
    root = os.path.join(work, "never-root")
    sim = Simulator(binary, fs, "--device-root", root, "--restart-ms", "100", "--never-return")
    port = Port(root + "/dev/ttyACM0")
    check(write_file(port, IMAGE, image) and write_file(port, "/mnt/nandfs/trigger.part", b""), "image written")
    mid, _ = port.exchange(8, b"\x00" + hstr("/mnt/nandfs/trigger.part") + hstr(TRIGGER) + b"\x00\x01")
    check(mid == 2 and hung_up(port), "a trigger moved into place: answered, then the hang-up")
    check(not plugged(root, "ttyACM0"), "unplugged")
    sim.proc.send_signal(signal.SIGUSR2)
    check(sim.next_ready(1.5) is None and sim.proc.poll() is None, "never back, not even on SIGUSR2, and still running")
    check(os.path.isfile(fs + IMAGE) and not os.path.exists(fs + MARKER), "nothing installed")
    port.close()
    check(sim.stop() == 0, "exit 0 after never returning")


def usb_device_folder(root, port_number):
    return root + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d" % port_number


def replug(binary, work):
    print("unplug and replug on SIGUSR1 and SIGUSR2")
    fs = fresh_fs(work, "replug-fs")
    root = os.path.join(work, "replug-root")
    sim = Simulator(binary, fs, "--device-root", root, "--usb-port", "4", "--usb-serial", "UNIT-4")
    port = Port(root + "/dev/ttyACM0")
    check(whoami_firmware(port) == 0x203, "plugged in")

    # Pulled in the middle of an image: what was written stays.
    mid, b = port.exchange(10, hstr(IMAGE) + b"\x02\x00")
    handle = b.take("q")
    written = os.urandom(3 * 8169)
    answers = [port.exchange(14, struct.pack("<qI", handle, 8169) + written[at:at + 8169])[0]
               for at in range(0, len(written), 8169)]
    sim.proc.send_signal(signal.SIGUSR1)
    check(answers == [2, 2, 2] and hung_up(port), "SIGUSR1: the port hangs up")
    check(not plugged(root, "ttyACM0") and not os.path.exists(usb_device_folder(root, 4) + "/1-4:1.0/tty/ttyACM0"),
          "the device root's entries are gone")
    with open(fs + IMAGE, "rb") as f:
        check(f.read() == written, "the image written before the unplug is kept")
    sim.proc.send_signal(signal.SIGUSR1)
    check(sim.next_ready(0.5) is None and sim.proc.poll() is None, "a second SIGUSR1 is ignored")

    sim.proc.send_signal(signal.SIGUSR2)
    new_path = sim.next_ready(5.0)
    check(new_path is not None and new_path != sim.path, "SIGUSR2: READY on a new pty")
    port.close()
    check(new_path is not None and os.readlink(root + "/dev/ttyACM0") == new_path
          and os.path.basename(usb_device(root, "ttyACM0")) == "1-4"
          and open(usb_device(root, "ttyACM0") + "/serial").read() == "UNIT-4\n",
          "back in the same slot 1-4 with the same serial")
    port = Port(new_path)
    check(whoami_firmware(port) == 0x203, "answers on the new pty, firmware unchanged")
    sim.proc.send_signal(signal.SIGUSR2)
    check(sim.next_ready(0.5) is None and whoami_firmware(port) == 0x203, "a SIGUSR2 while plugged in is ignored")

    # Both at once: they are taken in the order they came.
    sim.proc.send_signal(signal.SIGUSR1)
    sim.proc.send_signal(signal.SIGUSR2)
    check(hung_up(port), "SIGUSR1 and SIGUSR2 at once: a hang-up")
    new_path = sim.next_ready(5.0)
    port.close()
    check(new_path is not None and os.readlink(root + "/dev/ttyACM0") == new_path, "and back in")
    port = Port(new_path)
    check(whoami_firmware(port) == 0x203, "answering")
    port.close()
    check(sim.stop() == 0, "exit 0 after replugs")


def mac_and_many(binary, work):
    print("--mac, and sixteen devices side by side")
    root = os.path.join(work, "many-root")
    sims = []
    for n in range(1, 17):
        fs = fresh_fs(work, "many-fs-%d" % n)
        sims.append((fs, Simulator(binary, fs, "--device-root", root, "--usb-port", str(n), "--tty", "ttyACM%d" % n,
                                   "--usb-serial", "UNIT-%02d" % n, "--mac", "02:00:5E:00:00:%02X" % n)))
    macs, slots = [], []
    for n, (fs, sim) in enumerate(sims, 1):
        port = Port(root + "/dev/ttyACM%d" % n)
        mid, b = port.exchange(10, hstr("/mnt/nandfs/macAddress.txt") + b"\x01\x01")
        handle = b.take("q")
        mid, b = port.exchange(12, struct.pack("<qI", handle, 100))
        b.take("q")
        count = b.take("i")
        macs.append(b.rest()[:count] if mid == 13 else None)
        port.exchange(16, struct.pack("<q", handle))
        port.close()
        slots.append((os.path.basename(usb_device(root, "ttyACM%d" % n)),
                      open(usb_device(root, "ttyACM%d" % n) + "/serial").read()))
    check(macs == [("02:00:5E:00:00:%02X\n" % n).encode() for n in range(1, 17)], "--mac: each its own MAC file")
    check(open(sims[0][0] + "/mnt/nandfs/macAddress.txt").read() == "02:00:5E:00:00:01\n", "written into its --fs")
    check(slots == [("1-%d" % n, "UNIT-%02d\n" % n) for n in range(1, 17)], "each in its own slot with its serial")

    time.sleep(0.5)
    before = sum(sim.cpu_ticks() for _, sim in sims)
    time.sleep(3)
    ticks = sum(sim.cpu_ticks() for _, sim in sims) - before
    rss = []
    for _, sim in sims:
        with open("/proc/%d/status" % sim.proc.pid) as f:
            rss += [int(l.split()[1]) for l in f if l.startswith("VmRSS:")]
    print("  16 idle instances: %d CPU ticks over 3 s, %d kB resident in all (%d kB at most each)"
          % (ticks, sum(rss), max(rss)))
    check(ticks <= 2, "16 idle instances use no CPU")
    check(all(sim.stop() == 0 for _, sim in sims), "all 16 exit 0")
    check(not any(plugged(root, "ttyACM%d" % n) for n in range(1, 17)), "and leave the device root")


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else DEFAULT_BINARY)
    work = tempfile.mkdtemp(prefix="devsim-smoke-")
    try:
        fs = os.path.join(work, "fs")
        shutil.copytree(os.path.join(HERE, "sample-device"), fs, symlinks=True)
        basic(binary, fs, work)
        faults(binary, fs, work)
        device_root(binary, fs, work)
        restart(binary, work)
        replug(binary, work)
        mac_and_many(binary, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d failure(s)" % len(failures))
    for f in failures:
        print("  " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
