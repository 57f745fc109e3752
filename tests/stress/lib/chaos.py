#!/usr/bin/env python3
"""A misbehaving Frame Streams collector and the senders and checks of the
collector chaos test. Loopback only; every wait is bounded.

  collector PORTFILE OUT SEED BATCH
        Accepts connections one at a time and, driven by a seeded random
        plan, stalls before the handshake, reads some frames, stalls, then
        resets the connection, cuts it in the middle of a frame or closes it.
        Each complete data frame becomes a line of OUT: "E<tag>:<seq>" for a
        checked event, "F<tag>:<k>" for a flush event, "BAD ..." for a frame
        that is not what was sent. When OUT.calm appears it writes
        OUT.calm-ack and from then on reads everything and answers STOP.
        Counts of what it did go to OUT.stats.
  send SOCK TAG N SECONDS   N events of SIZE bytes, spread over SECONDS
  flush SOCK TAG OUT SECS   small events, one every 0.2 s, until OUT holds one
  check OUT TAG N BATCH FAILURES MODE
        counts the events delivered and checks them against the recovery mode

The collector's receive buffer and the forwarder's send buffer are kept far
below one event, so the bytes in flight at a failure always lie within the
last one or two events written: what "sent" means for the forwarder is then
what the collector has nearly read, and the recovery modes' promises can be
counted exactly.
"""
import json
import os
import random
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from load import ACCEPT, FINISH, START, STOP, connect_all, frame  # noqa: E402

SIZE = 32768  # far above the ~13 KB a 4 KB send and receive buffer pair holds
RCVBUF = 4096
PATTERN = bytes(range(256)) * (SIZE // 256 + 2)


def event(tag, seq):
    head = b"E%s:%d:" % (tag, seq)
    start = seq % 256
    return head + PATTERN[start:start + SIZE - len(head)]


class Cut(Exception):
    """The peer went away."""


class Conn:
    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def fill(self, n, idle):
        """True when N bytes are buffered; False after IDLE seconds without data."""
        while len(self.buf) < n:
            r, _, _ = select.select([self.sock], [], [], idle)
            if not r:
                return False
            try:
                # Never more than asked: bytes taken and then dropped at a
                # reset would count as delivered for the forwarder.
                chunk = self.sock.recv(n - len(self.buf))
            except OSError as e:
                raise Cut(str(e))
            if not chunk:
                raise Cut("eof")
            self.buf += chunk
        return True

    def take(self, n):
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def need(self, n, limit=10.0):
        if not self.fill(n, limit):
            raise Cut("peer silent")
        return self.take(n)

    def control(self):
        (n,) = struct.unpack(">I", self.need(4))
        return struct.unpack(">I", self.need(n)[:4])[0]


class Collector:
    def __init__(self, portfile, outpath, seed, batch):
        self.rng = random.Random(seed)
        self.batch = batch
        self.out = open(outpath, "ab")
        self.calm_file = outpath + ".calm"
        self.ack_file = outpath + ".calm-ack"
        self.stats_file = outpath + ".stats"
        self.calm = False
        self.stats = {"conns": 0, "resets": 0, "cuts": 0, "closes": 0, "stalls": 0, "frames": 0}
        self.srv = socket.socket()
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # Inherited by every accepted connection (and it stops auto-tuning).
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RCVBUF)
        self.srv.bind(("127.0.0.1", 0))
        self.srv.listen(16)
        with open(portfile + ".tmp", "w") as f:
            f.write(str(self.srv.getsockname()[1]))
        os.rename(portfile + ".tmp", portfile)

    def save_stats(self):
        with open(self.stats_file + ".tmp", "w") as f:
            json.dump(self.stats, f)
        os.rename(self.stats_file + ".tmp", self.stats_file)

    def check_calm(self):
        if not self.calm and os.path.exists(self.calm_file):
            self.calm = True
            open(self.ack_file, "w").close()
        return self.calm

    def write(self, payload):
        if payload.startswith(b"E"):
            try:
                tag, seq = payload[1:].split(b":", 2)[:2]
                good = payload == event(tag, int(seq))
            except ValueError:
                good = False
            line = (b"E%s:%s" % (tag, seq)) if good else b"BAD %d %r" % (len(payload), payload[:24])
        elif payload.startswith(b"F"):
            line = payload
        else:
            line = b"BAD %d %r" % (len(payload), payload[:24])
        self.out.write(line + b"\n")
        self.out.flush()
        self.stats["frames"] += 1

    def stall(self, secs):
        self.stats["stalls"] += 1
        end = time.monotonic() + secs
        while time.monotonic() < end and not self.check_calm():
            time.sleep(0.05)

    def read_frame(self, c, idle):
        """One frame: True for a data frame, None on idle, False on STOP."""
        if not c.fill(4, idle):
            return None
        (n,) = struct.unpack(">I", c.take(4))
        if n == 0:
            if c.control() == 3:
                c.sock.sendall(FINISH)
            return False
        self.write(c.need(n))
        return True

    def end(self, c, how):
        if how == "cut":
            # Part of the next frame read, the rest left in the buffers: half
            # the time so little that the forwarder may already have written
            # the whole frame and moved on, which only "durable" recovers.
            part = self.rng.choice([self.rng.randint(1, SIZE // 2), self.rng.randint(SIZE - 8192, SIZE - 1)])
            if c.fill(4 + part, 0.5):
                self.stats["cuts"] += 1
            how = "reset"
        if how == "reset":
            c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.stats["resets"] += 1
        else:
            self.stats["closes"] += 1
        c.sock.close()

    def serve(self, sock):
        c = Conn(sock)
        try:
            if self.rng.random() < 0.25:  # accept, then keep the forwarder waiting
                self.stall(self.rng.uniform(0.1, 0.4))
            (esc,) = struct.unpack(">I", c.need(4))
            ctl = c.control() if esc == 0 else -1
            if ctl == 4:
                sock.sendall(ACCEPT)
                c.need(4)
                ctl = c.control()
            if ctl != 2:
                raise Cut("no START")
            for _ in range(self.rng.randint(1, 3)):
                if self.check_calm():
                    break
                if self.rng.random() < 0.4:
                    self.stall(self.rng.uniform(0.1, 0.5))
                for _ in range(self.rng.randint(1, 3 * self.batch)):
                    if self.check_calm():
                        break
                    got = self.read_frame(c, 0.3)
                    if got is None:
                        break
                    if got is False:
                        sock.close()
                        return
            if not self.check_calm():
                self.end(c, self.rng.choice(["reset", "reset", "cut", "cut", "close"]))
                return
            while True:
                got = self.read_frame(c, 1.0)
                if got is False:
                    break
        except Cut:
            pass
        finally:
            self.save_stats()
        sock.close()

    def run(self):
        self.save_stats()
        while True:
            self.check_calm()
            r, _, _ = select.select([self.srv], [], [], 0.1)
            if r:
                sock, _ = self.srv.accept()
                self.stats["conns"] += 1
                self.serve(sock)


def send(path, tag, n, seconds):
    tag = tag.encode()
    s = connect_all(path, 1)[0]
    s.sendall(START)
    steps = max(1, int(seconds * 10))
    per = -(-n // steps)
    seq = 0
    while seq < n:
        s.sendall(b"".join(frame(event(tag, i)) for i in range(seq, min(n, seq + per))))
        seq += per
        time.sleep(0.1)
    s.sendall(STOP)
    s.close()
    print(n)


def flush(path, tag, outpath, seconds):
    """Events that make a forwarder holding a dead connection notice it."""
    s = connect_all(path, 1)[0]
    s.sendall(START)
    deadline = time.monotonic() + seconds
    k = 0
    mark = b"F" + tag.encode() + b":"
    while time.monotonic() < deadline:
        s.sendall(frame(mark + str(k).encode()))
        k += 1
        time.sleep(0.2)
        with open(outpath, "rb") as f:
            if any(line.startswith(mark) for line in f):
                break
    s.sendall(STOP)
    s.close()
    if time.monotonic() >= deadline:
        raise SystemExit("no flush event reached the collector in %s s" % seconds)
    print(k)


def check(outpath, tag, n, batch, failures, mode):
    seen = {}
    bad = 0
    mark = b"E" + tag.encode() + b":"
    with open(outpath, "rb") as f:
        for line in f:
            line = line.rstrip(b"\n")
            if line.startswith(b"F"):
                continue
            if not line.startswith(mark):
                bad += 1
                continue
            seq = int(line[len(mark):])
            if not 0 <= seq < n:
                bad += 1
                continue
            seen[seq] = seen.get(seq, 0) + 1
    delivered = sum(seen.values())
    distinct = len(seen)
    missing = n - distinct
    dups = delivered - distinct
    print("%s: %d sent, %d delivered, %d distinct, %d missing, %d repeated, %d failures"
          % (mode, n, delivered, distinct, missing, dups, failures))
    errors = []
    if bad:
        errors.append("%d frames that were not sent" % bad)
    if mode == "durable" and missing:
        errors.append("%d events never delivered, e.g. %s" %
                      (missing, sorted(set(range(n)) - set(seen))[:8]))
    # Best effort returns the unsent batch: only the batch sent before each
    # failure can be lost with the connection.
    if mode == "best-effort" and missing > failures * batch:
        errors.append("%d events lost, more than %d failures x %d" % (missing, failures, batch))
    # Drop loses the unsent batch and at most the one event cut mid-frame.
    if mode == "drop":
        if missing > failures * (batch + 1):
            errors.append("%d events lost, more than %d failures x %d" % (missing, failures, batch + 1))
        if dups:
            errors.append("%d events delivered twice" % dups)
    if errors:
        raise SystemExit("%s: %s" % (mode, "; ".join(errors)))


def main():
    cmd, a = sys.argv[1], sys.argv[2:]
    if cmd == "collector":
        Collector(a[0], a[1], int(a[2]), int(a[3])).run()
    elif cmd == "send":
        send(a[0], a[1], int(a[2]), float(a[3]))
    elif cmd == "flush":
        flush(a[0], a[1], a[2], float(a[3]))
    elif cmd == "check":
        check(a[0], a[1], int(a[2]), int(a[3]), int(a[4]), a[5])
    else:
        raise SystemExit("unknown command " + cmd)


if __name__ == "__main__":
    main()
