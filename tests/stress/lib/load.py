#!/usr/bin/env python3
"""Load and hostile-sender tools of the stress tests. Loopback and Unix
sockets only; every loop is bounded in count and time.

  collector PORTFILE OUT [HOLDFILE]
                                   Frame Streams collector: writes every data
                                   frame's payload as one line to OUT; while
                                   HOLDFILE exists it opens streams but reads
                                   no data frame
  procs PID                        "threads fds" of a process
  flood SOCK N LIMIT K PREFIX [PID]
                                   N senders connect at once; exactly LIMIT are
                                   expected to be held; each held one sends K
                                   events PREFIX<i>:<seq> and stops; with PID,
                                   the daemon's counts while they are held
  hostile SOCK GOOD K PREFIX BAD   GOOD well-behaved senders (K events each)
                                   among BAD senders of each hostile kind
  blast SOCK N PREFIX SECONDS [READYFILE [MIN]]
                                   N senders stream events as fast as they can
                                   until the daemon goes away or SECONDS pass;
                                   prints the number of whole frames the
                                   kernel took from them; READYFILE is made
                                   once each sender had MIN (default 1000)
                                   frames taken
  backlog ADDRESS N K PREFIX DONEFILE
                                   N unidirectional senders connect to ADDRESS
                                   (a Unix path, or HOST:PORT) and each writes
                                   START and K events PREFIX<i>:<seq>, meant
                                   for a daemon that cannot accept them yet;
                                   DONEFILE is made once all is written, then
                                   each waits (up to 60 s) for its connection
                                   to end
  check-prefix PREFIX N FILE...    the events PREFIX<i>:<seq> found in the
                                   files (collector output, queue files) form,
                                   per sender, a run 0..n-1 with no gap and no
                                   duplicate; prints their total
"""
import errno
import os
import select
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "e2e", "lib"))
from frames import read_queue  # noqa: E402

CT = b"protobuf:dnstap.Dnstap"


def be32(v):
    return struct.pack(">I", v)


def control(ctype, with_ct):
    body = be32(ctype) + ((be32(1) + be32(len(CT)) + CT) if with_ct else b"")
    return be32(0) + be32(len(body)) + body


START = control(2, True)
READY = control(4, True)
STOP = control(3, False)
ACCEPT = control(1, True)
FINISH = control(5, False)


def frame(payload):
    return be32(len(payload)) + payload


def readable(sock, timeout):
    """poll() rather than select(): descriptors here go past 1024."""
    p = select.poll()
    p.register(sock, select.POLLIN | select.POLLERR | select.POLLHUP)
    return bool(p.poll(max(0, int(timeout * 1000))))


def recv_exact(sock, n, deadline):
    out = b""
    while len(out) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("timed out")
        if not readable(sock, left):
            continue
        chunk = sock.recv(n - len(out))
        if not chunk:
            raise EOFError("closed")
        out += chunk
    return out


# ---------------------------------------------------------------- collector

def serve_collector(conn, out, lock, hold):
    try:
        buf = b""
        streaming = False

        def need(n):
            nonlocal buf
            while len(buf) < n:
                # Held, the sender's writes fill the socket and then block.
                while streaming and hold and os.path.exists(hold):
                    time.sleep(0.01)
                chunk = conn.recv(65536)
                if not chunk:
                    raise EOFError("closed")
                buf += chunk
            head, buf = buf[:n], buf[n:]
            return head

        def read_control():
            (n,) = struct.unpack(">I", need(4))
            body = need(n)
            return struct.unpack(">I", body[:4])[0]

        (esc,) = struct.unpack(">I", need(4))
        if esc != 0:
            return
        ctype = read_control()
        if ctype == 4:
            conn.sendall(ACCEPT)
            need(4)
            ctype = read_control()
        if ctype != 2:
            return
        streaming = True
        while True:
            (n,) = struct.unpack(">I", need(4))
            if n == 0:
                if read_control() == 3:
                    conn.sendall(FINISH)
                return
            payload = need(n)
            with lock:
                out.write(payload + b"\n")
                out.flush()
    except (EOFError, OSError):
        pass
    finally:
        conn.close()


def collector(portfile, outpath, hold=None):
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(16)
    out = open(outpath, "ab")
    lock = threading.Lock()
    conns = 0
    with open(portfile + ".tmp", "w") as f:
        f.write(str(srv.getsockname()[1]))
    os.rename(portfile + ".tmp", portfile)
    while True:
        conn, _ = srv.accept()
        conns += 1
        with open(outpath + ".conns", "w") as f:
            f.write(str(conns))
        threading.Thread(target=serve_collector, args=(conn, out, lock, hold), daemon=True).start()


# ----------------------------------------------------------------- senders

def procs(pid):
    threads = len(os.listdir("/proc/%s/task" % pid))
    fds = len(os.listdir("/proc/%s/fd" % pid))
    return threads, fds


def connect_all(path, n, timeout=30.0):
    """N connections to a Unix path or to HOST:PORT, made as fast as the
    listener's backlog allows."""
    socks = []
    deadline = time.monotonic() + timeout
    address = path
    family = socket.AF_UNIX
    if ":" in path and not path.startswith("/"):
        host, port = path.rsplit(":", 1)
        address = (host, int(port))
        family = socket.AF_INET
    while len(socks) < n:
        s = socket.socket(family, socket.SOCK_STREAM)
        while True:
            try:
                s.connect(address)
                break
            except OSError as e:
                if e.errno not in (errno.EAGAIN, errno.ECONNREFUSED) or time.monotonic() > deadline:
                    raise
                time.sleep(0.001)
        socks.append(s)
    return socks


def is_closed_by_peer(s):
    """True when the daemon has closed this connection (EOF or reset)."""
    if not readable(s, 0):
        return False
    try:
        return s.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


def send_events(s, prefix, index, k):
    s.sendall(b"".join(frame(b"%s%d:%d" % (prefix, index, seq)) for seq in range(k)))


def flood(path, n, limit, k, prefix, pid=None):
    prefix = prefix.encode()
    t0 = time.monotonic()
    socks = connect_all(path, n)
    for s in socks:
        try:
            s.sendall(START)
        except OSError:
            pass
    print("connected %d in %.2f s" % (len(socks), time.monotonic() - t0), flush=True)
    # The listener accepts up to its limit and closes the rest at once: the
    # last refusal comes after every held connection has its receiver. A
    # slow (sanitizer) build on a busy machine may take a while to get there.
    deadline = time.monotonic() + 120
    while True:
        closed = [s for s in socks if is_closed_by_peer(s)]
        if len(closed) >= n - limit or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    held = [s for s in socks if s not in closed]
    print("held %d refused %d" % (len(held), len(closed)), flush=True)
    if pid:
        print("while held: %d threads %d descriptors" % procs(pid), flush=True)
    if len(held) != limit:
        raise SystemExit("expected %d connections held, got %d" % (limit, len(held)))
    sys.stdout.flush()
    # Held ones are served: each sends K events and stops.
    for i, s in enumerate(held):
        send_events(s, prefix, i, k)
        s.sendall(STOP)
    for s in socks:
        s.close()
    print("sent %d" % (len(held) * k), flush=True)


def hostile_kind(kind, path, index, prefix, k, results):
    """One sender; records (kind, outcome) in results."""
    deadline = time.monotonic() + 60
    try:
        s = connect_all(path, 1)[0]
    except OSError as e:
        results.append((kind, "connect failed: %s" % e))
        return
    try:
        if kind == "good":
            s.sendall(READY)
            if recv_exact(s, len(ACCEPT), deadline) != ACCEPT:
                raise RuntimeError("no ACCEPT")
            s.sendall(START)
            for seq in range(k):
                s.sendall(frame(b"%s%d:%d" % (prefix, index, seq)))
                if seq % 5 == 4:
                    time.sleep(0.01)
            s.sendall(STOP)
            if recv_exact(s, len(FINISH), deadline) != FINISH:
                raise RuntimeError("no FINISH")
            results.append((kind, "ok"))
            return
        if kind == "midframe":  # a length and part of the payload, then silence
            s.sendall(START + be32(100) + b"x" * 10)
        elif kind == "cut":  # a part of the payload, then gone
            s.sendall(START + be32(100) + b"x" * 10)
            s.close()
            results.append((kind, "ok"))
            return
        elif kind == "garbage":
            s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n" + os.urandom(200))
        elif kind == "oversize":  # a data frame over the listener's limit
            s.sendall(START + be32(1 << 20) + b"y" * 4096)
        elif kind == "silent":  # connects and never says a word
            pass
        elif kind == "idle":  # opens the stream, then never sends a frame
            s.sendall(START)
        elif kind == "ready-only":  # READY but never START
            s.sendall(READY)
        elif kind == "bad-control":  # a second START inside the stream
            s.sendall(START + frame(b"ignored-but-queued") + START)
        # The daemon must end these connections by itself.
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                results.append((kind, "not closed by the daemon"))
                return
            if readable(s, left):
                try:
                    if s.recv(4096) == b"":
                        break
                except OSError:
                    break
        results.append((kind, "ok"))
    except Exception as e:  # noqa: BLE001 - reported as the outcome
        results.append((kind, "%s: %s" % (type(e).__name__, e)))
    finally:
        s.close()


def hostile(path, good, k, prefix, bad):
    prefix = prefix.encode()
    kinds = ["midframe", "cut", "garbage", "oversize", "silent", "idle", "ready-only", "bad-control"]
    results = []
    threads = []
    t0 = time.monotonic()
    for i in range(max(good, bad)):
        if i < good:
            threads.append(threading.Thread(target=hostile_kind, args=("good", path, i, prefix, k, results)))
        if i < bad:
            for kind in kinds:
                threads.append(threading.Thread(target=hostile_kind, args=(kind, path, i, prefix, k, results)))
    for t in threads:
        t.start()
    for t in threads:
        t.join(90)
    bad_outcomes = [r for r in results if r[1] != "ok"]
    summary = {}
    for kind, _ in results:
        summary[kind] = summary.get(kind, 0) + 1
    print("senders %s in %.1f s" % (summary, time.monotonic() - t0), flush=True)
    if len(results) != len(threads) or bad_outcomes:
        raise SystemExit("sender failures: %s" % bad_outcomes[:10])
    print("sent %d" % (good * k), flush=True)


def blast_one(path, index, prefix, until, counts):
    """Counts the frames the kernel took whole from this sender: one cut by
    the daemon's stop was not sent."""
    sent = 0
    try:
        s = connect_all(path, 1)[0]
        s.sendall(START)
        batch = 50
        while time.monotonic() < until:
            counts[index] = sent
            frames = [frame(b"%s%d:%d" % (prefix, index, sent + j)) for j in range(batch)]
            data = memoryview(b"".join(frames))
            done = 0
            try:
                while done < len(data):
                    done += s.send(data[done:])
            finally:
                if done == len(data):
                    sent += batch
                else:
                    for f in frames:
                        done -= len(f)
                        if done < 0:
                            break
                        sent += 1
    except OSError:
        pass
    counts[index] = sent


def blast(path, n, prefix, seconds, readyfile=None, minimum=1000):
    prefix = prefix.encode()
    counts = [0] * n
    until = time.monotonic() + seconds
    threads = [threading.Thread(target=blast_one, args=(path, i, prefix, until, counts)) for i in range(n)]
    for t in threads:
        t.start()
    # The load is on once every sender is streaming.
    while readyfile and any(t.is_alive() for t in threads):
        if min(counts) >= minimum:
            open(readyfile, "w").close()
            break
        time.sleep(0.05)
    for t in threads:
        t.join(seconds + 30)
    print(sum(counts), flush=True)


def backlog(address, n, k, prefix, donefile):
    prefix = prefix.encode()
    socks = connect_all(address, n)
    for i, s in enumerate(socks):
        s.sendall(START + b"".join(frame(b"%s%d:%d" % (prefix, i, seq)) for seq in range(k)))
    open(donefile, "w").close()
    print("wrote %d" % (n * k), flush=True)
    deadline = time.monotonic() + 60
    for s in socks:
        while not is_closed_by_peer(s) and time.monotonic() < deadline:
            time.sleep(0.05)
        s.close()


def check_prefix(prefix, n, files):
    prefix = prefix.encode()
    seen = {}
    for path in files:
        data = open(path, "rb").read()
        if data[:4] == b"sslz":  # a queue file
            payloads = read_queue(path)
        else:
            payloads = data.split(b"\n")
        for p in payloads:
            if not p.startswith(prefix):
                continue
            sender, seq = p[len(prefix):].split(b":")
            key = (int(sender), int(seq))
            seen[key] = seen.get(key, 0) + 1
    dups = [k for k, c in seen.items() if c > 1]
    if dups:
        raise SystemExit("%d events seen twice, e.g. %s" % (len(dups), dups[:5]))
    total = 0
    for i in range(n):
        seqs = sorted(seq for (s, seq) in seen if s == i)
        if seqs != list(range(len(seqs))):
            missing = sorted(set(range(seqs[-1] + 1)) - set(seqs))
            raise SystemExit("sender %d: %d events missing below %d, e.g. %s" %
                             (i, len(missing), seqs[-1], missing[:5]))
        total += len(seqs)
    print(total)


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "collector":
        collector(args[0], args[1], args[2] if len(args) > 2 else None)
    elif cmd == "procs":
        print("%d %d" % procs(args[0]))
    elif cmd == "flood":
        flood(args[0], int(args[1]), int(args[2]), int(args[3]), args[4], args[5] if len(args) > 5 else None)
    elif cmd == "hostile":
        hostile(args[0], int(args[1]), int(args[2]), args[3], int(args[4]))
    elif cmd == "blast":
        blast(args[0], int(args[1]), args[2], float(args[3]), args[4] if len(args) > 4 else None,
              int(args[5]) if len(args) > 5 else 1000)
    elif cmd == "backlog":
        backlog(args[0], int(args[1]), int(args[2]), args[3], args[4])
    elif cmd == "check-prefix":
        check_prefix(args[0], int(args[1]), args[2:])
    else:
        raise SystemExit("unknown command " + cmd)


if __name__ == "__main__":
    main()
