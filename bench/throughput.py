#!/usr/bin/env python3
"""End-to-end throughput of quorvalex beside the reference Frame Streams and
dnstap tools, all fed the same capture of a real resolver's dnstap stream.

Run through bench/throughput.sh. Every process started here is stopped by its
pid on the way out, whatever happens."""
import argparse
import itertools
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

CTYPE = b"protobuf:dnstap.Dnstap"
PROCS = []
DEADLINE = None


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def check_deadline():
    if DEADLINE is not None and time.time() > DEADLINE:
        raise SystemExit("time budget exceeded")


# ---------------------------------------------------------------- processes

def start(args, **kw):
    kw.setdefault("stdin", subprocess.DEVNULL)
    p = subprocess.Popen(args, **kw)
    PROCS.append(p)
    return p


def stop(p, sig=signal.SIGTERM, secs=30):
    if p.poll() is None:
        try:
            os.kill(p.pid, sig)
        except ProcessLookupError:
            pass
        try:
            p.wait(secs)
        except subprocess.TimeoutExpired:
            os.kill(p.pid, signal.SIGKILL)
            p.wait()
    if p in PROCS:
        PROCS.remove(p)
    return p.returncode


def stop_all():
    for p in list(PROCS):
        stop(p, secs=5)


def wait_for(secs, fn):
    end = time.time() + secs
    while time.time() < end:
        try:
            if fn():
                return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def cpu_seconds(pid):
    """utime + stime of a live process, children excluded."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def vm_hwm_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


# ---------------------------------------------------------- Frame Streams io

def data_frames(data):
    """(offset, length) of every whole data frame in the bytes of a Frame
    Streams file; a frame cut short at the end is left out."""
    pos, n_data = 0, len(data)
    unpack = struct.unpack_from
    while pos + 4 <= n_data:
        (n,) = unpack(">I", data, pos)
        pos += 4
        if n:
            if pos + n > n_data:
                return
            yield pos, n
            pos += n
        else:
            (clen,) = unpack(">I", data, pos)
            pos += 4 + clen


def read_payloads(path, limit=None):
    data = open(path, "rb").read()
    return [data[pos:pos + n] for pos, n in itertools.islice(data_frames(data), limit or None)]


def count_frames(path):
    """(data frames, payload bytes) of a Frame Streams file."""
    try:
        data = open(path, "rb").read()
    except FileNotFoundError:
        return 0, 0
    frames, nbytes = 0, 0
    for _, n in data_frames(data):
        frames += 1
        nbytes += n
    return frames, nbytes


def write_fstrm(path, payloads):
    start_frame = struct.pack(">III", 2, 1, len(CTYPE)) + CTYPE
    with open(path + ".tmp", "wb") as f:
        f.write(struct.pack(">II", 0, len(start_frame)) + start_frame)
        f.write(b"".join(struct.pack(">I", len(p)) + p for p in payloads))
        f.write(struct.pack(">III", 0, 4, 3))
    os.replace(path + ".tmp", path)


# ------------------------------------------------------------- line counter

class LineCounter:
    """Counts newline bytes arriving on TCP connections or on a pipe, and
    notes when the latest one arrived."""

    def __init__(self):
        self.lines = 0
        self.last = 0.0
        self.lock = threading.Lock()
        self.closing = False
        self.threads = []

    def _drain(self, read):
        while True:
            chunk = read(1 << 20)
            if not chunk:
                return
            k = chunk.count(b"\n")
            if k:
                now = time.time()
                with self.lock:
                    self.lines += k
                    self.last = now

    def listen(self):
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(16)
        self.server.settimeout(0.2)
        t = threading.Thread(target=self._accept, daemon=True)
        t.start()
        self.threads.append(t)
        return self.server.getsockname()[1]

    def _accept(self):
        while not self.closing:
            try:
                conn, _ = self.server.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            conn.settimeout(None)
            t = threading.Thread(target=self._conn, args=(conn,), daemon=True)
            t.start()

    def _conn(self, conn):
        try:
            self._drain(conn.recv)
        except OSError:
            pass
        conn.close()

    def pipe(self, fileobj):
        t = threading.Thread(target=self._drain, args=(fileobj.read1,), daemon=True)
        t.start()
        self.threads.append(t)

    def snapshot(self):
        with self.lock:
            return self.lines, self.last

    def close(self):
        self.closing = True
        try:
            self.server.close()
        except (AttributeError, OSError):
            pass


def wait_lines(counter, expected, t0, stall=5.0, limit=180.0):
    """Waits until `expected` lines arrived or none came for `stall` seconds;
    returns (lines, seconds from t0 to the latest line)."""
    seen, since = -1, time.time()
    end = time.time() + limit
    while time.time() < end:
        lines, last = counter.snapshot()
        if lines >= expected:
            break
        if lines != seen:
            seen, since = lines, time.time()
        elif time.time() - since > stall:
            break
        time.sleep(0.02)
    lines, last = counter.snapshot()
    return lines, (last - t0) if lines else float("nan")


def wait_file_bytes(path, expected, stall=5.0, limit=180.0):
    """Waits until a capture file reaches `expected` bytes or stops growing."""
    seen, since = -1, time.time()
    end = time.time() + limit
    while time.time() < end:
        size = os.path.getsize(path) if os.path.exists(path) else 0
        if size >= expected:
            return time.time()
        if size != seen:
            seen, since = size, time.time()
        elif time.time() - since > stall:
            break
        time.sleep(0.02)
    return time.time()


# ------------------------------------------------------------------ capture

ZONE = """$ORIGIN example.test.
$TTL 300
@    IN SOA ns.example.test. admin.example.test. 1 3600 600 86400 300
@    IN NS  ns
ns   IN A   127.0.0.1
www  IN A   192.0.2.10
www  IN AAAA 2001:db8::10
mail IN A   192.0.2.25
mail IN AAAA 2001:db8::25
@    IN MX  10 mail
@    IN TXT "v=spf1 mx -all"
txt  IN TXT "hello world"
api  IN CNAME www
"""

for i in range(1, 201):
    ZONE += "h%d IN A 198.51.100.%d\n" % (i, i % 250 + 1)
    ZONE += "h%d IN AAAA 2001:db8:1::%x\n" % (i, i)

# The server configuration the end-to-end tests use too.
UNBOUND_CONF_IN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e", "lib",
                               "unbound.conf.in")


def unbound_conf(port, udir, sock):
    with open(UNBOUND_CONF_IN) as f:
        text = f.read()
    return text.replace("@PORT@", str(port)).replace("@DIR@", udir).replace("@SOCK@", sock)


def query_file(path):
    """A mix of answered names, types, aliases and names that do not exist."""
    lines = []
    for i in range(1, 201):
        lines.append("h%d.example.test A" % i)
        lines.append("h%d.example.test AAAA" % i)
    for q in ["www.example.test A", "www.example.test AAAA", "mail.example.test A", "example.test MX",
              "example.test TXT", "txt.example.test TXT", "api.example.test A", "example.test SOA",
              "example.test NS", "mail.example.test AAAA"]:
        lines += [q] * 10
    for i in range(100):
        lines.append("nx%d.example.test A" % i)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return len(lines)


def make_capture(path, frames, work):
    log("capturing %d dnstap frames from unbound (once; cached in %s)" % (frames, path))
    for tool in ("unbound", "dnsperf", "fstrm_capture"):
        if not shutil.which(tool):
            raise SystemExit("%s is not installed" % tool)
    udir = os.path.join(work, "unbound")
    os.makedirs(udir)
    sock = os.path.join(work, "capture.sock")
    raw = os.path.join(work, "raw.fstrm")
    port = free_port()
    open(os.path.join(udir, "example.test.zone"), "w").write(ZONE)
    conf = os.path.join(udir, "unbound.conf")
    open(conf, "w").write(unbound_conf(port, udir, sock))
    qfile = os.path.join(work, "queries.txt")
    per_run = query_file(qfile)
    cap = start(["fstrm_capture", "-t", CTYPE.decode(), "-u", sock, "-w", raw],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_for(10, lambda: os.path.exists(sock)):
        raise SystemExit("fstrm_capture did not listen")
    unb = start(["unbound", "-d", "-c", conf], stdout=subprocess.DEVNULL, stderr=open(udir + "/log", "w"))

    def answers():
        r = subprocess.run(["kdig", "@127.0.0.1", "-p", str(port), "+time=1", "+retry=0", "www.example.test", "A"],
                           capture_output=True, text=True)
        return "NOERROR" in r.stdout
    if not wait_for(20, answers):
        raise SystemExit("unbound did not answer")
    # Two frames per query (client query and response); some slack for any
    # query unbound drops under load.
    runs = (frames // 2 * 105 // 100) // per_run + 1
    collected = []
    for attempt in range(3):
        subprocess.run(["dnsperf", "-s", "127.0.0.1", "-p", str(port), "-d", qfile, "-n", str(runs),
                        "-l", "60", "-q", "200"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=90)
        time.sleep(1)
        stop(unb)  # unbound flushes its dnstap output on the way out
        stop(cap)
        collected += read_payloads(raw, frames - len(collected))
        os.remove(raw)
        if len(collected) >= frames or attempt == 2:
            break
        log("only %d frames so far, querying more" % len(collected))
        cap = start(["fstrm_capture", "-t", CTYPE.decode(), "-u", sock, "-w", raw],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(10, lambda: os.path.exists(sock))
        unb = start(["unbound", "-d", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(20, answers)
    if len(collected) < frames:
        raise SystemExit("could not capture %d frames" % frames)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    write_fstrm(path, collected[:frames])


# ------------------------------------------------------------------- replay

def replay(files, sock):
    """Starts one fstrm_replay per file, all at once; returns (t0, t_end).
    A sender that could not open its connection (a full listen backlog)
    sent nothing and is started again."""
    def launch(f):
        return start(["fstrm_replay", "-t", CTYPE.decode(), "-r", f, "-u", sock],
                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    t0 = time.time()
    ps = [(launch(f), f, 0) for f in files]
    while ps:
        p, f, tries = ps.pop(0)
        _, err = p.communicate(timeout=300)
        PROCS.remove(p)
        if p.returncode != 0:
            text = err.decode(errors="replace")
            if "fstrm_writer_open" in text and tries < 20:
                time.sleep(0.01)
                ps.append((launch(f), f, tries + 1))
                continue
            raise SystemExit("fstrm_replay failed: %s" % text[-500:])
    return t0, time.time()


class Result:
    def __init__(self, name, sent):
        self.name = name
        self.sent = sent
        self.got = 0
        self.ingest_s = float("nan")  # senders started .. all senders done
        self.e2e_s = float("nan")     # senders started .. last event out
        self.cpu = float("nan")       # CPU seconds of the process measured
        self.rss = float("nan")       # VmHWM, MiB

    def rate(self, which="e2e"):
        s = self.e2e_s if which == "e2e" else self.ingest_s
        return self.sent / s if s and s == s and s > 0 else float("nan")


def run_fstrm_capture(work, files, sent, tag=""):
    """Reference: fstrm_capture alone (ingest only)."""
    sock = os.path.join(work, "ref.sock")
    out = os.path.join(work, "ref.fstrm")
    cap = start(["fstrm_capture", "-t", CTYPE.decode(), "-u", sock, "-w", out],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(10, lambda: os.path.exists(sock))
    c0 = cpu_seconds(cap.pid)
    r = Result("fstrm_capture alone, %d sender%s%s" % (len(files), "s" if len(files) > 1 else "", tag), sent)
    t0, t1 = replay(files, sock)
    r.ingest_s = r.e2e_s = t1 - t0
    r.cpu = cpu_seconds(cap.pid) - c0
    r.rss = vm_hwm_mib(cap.pid)
    stop(cap)
    r.got = count_frames(out)[0]
    os.remove(out)
    return r


def run_dnstap_cli(work, files, sent):
    """Reference: the dnstap tool reading the socket and writing JSON."""
    sock = os.path.join(work, "cli.sock")
    counter = LineCounter()
    cli = start(["dnstap", "-u", sock, "-j"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    counter.pipe(cli.stdout)
    wait_for(10, lambda: os.path.exists(sock))
    c0 = cpu_seconds(cli.pid)
    r = Result("dnstap -j, %d sender%s" % (len(files), "s" if len(files) > 1 else ""), sent)
    t0, t1 = replay(files, sock)
    r.ingest_s = t1 - t0
    r.got, r.e2e_s = wait_lines(counter, sent, t0)
    r.cpu = cpu_seconds(cli.pid) - c0
    r.rss = vm_hwm_mib(cli.pid)
    stop(cli)
    r.got = max(r.got, counter.snapshot()[0])
    return r


def qx_config(work, fmt, port, queue_size):
    sock = os.path.join(work, "qx.sock")
    conf = os.path.join(work, "qx.conf")
    group = subprocess.run(["id", "-gn"], capture_output=True, text=True).stdout.strip()
    open(conf, "w").write(
        "message-format %s\n"
        "message-hostname bench\n"
        "message-queue-size %d\n"
        "message-queue-recovery off\n"
        "metrics-interval 3600\n"
        "listener unix %s group=%s mode=0660 max-connections=64\n"
        "forwarder ipv4 127.0.0.1 %d batch-size=100 recovery=drop\n"
        % (fmt, queue_size, sock, group, port))
    return conf, sock


def run_qx(qx, work, fmt, files, sent, queue_size, perf=None, warm=False, tag=""):
    """quorvalex with one Unix listener and one forwarder: JSON lines to a
    counting sink, or dnstap frames to fstrm_capture. `warm`: one unmeasured
    pass first, so the ring's pages are touched before the measured pass."""
    label = "quorvalex %s, %d sender%s%s" % ("JSON" if fmt == "json" else "dnstap -> fstrm_capture", len(files),
                                            "s" if len(files) > 1 else "", ", warm ring" if warm else "")
    label += tag
    r = Result(label, sent)
    r.queue = queue_size
    counter, cap, out = None, None, None
    if fmt == "json":
        counter = LineCounter()
        port = counter.listen()
    else:
        port = free_port()
        out = os.path.join(work, "fwd.fstrm")
        cap = start(["fstrm_capture", "-t", CTYPE.decode(), "-a", "127.0.0.1", "-p", str(port), "-w", out],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.3)
    conf, sock = qx_config(work, fmt, port, queue_size)
    qlog = open(os.path.join(work, "qx.log"), "w")
    qxp = start([qx, "run", conf], stdout=qlog, stderr=subprocess.STDOUT)
    if not wait_for(10, lambda: os.path.exists(sock)):
        raise SystemExit("quorvalex did not listen (see %s/qx.log)" % work)
    time.sleep(0.3)  # let the forwarder connect
    warm_frames = 0
    if warm:
        # Two passes write more than the ring holds: every page is touched.
        for _ in range(2):
            replay(files, sock)
            warm_frames += sent
            if fmt == "json":
                wait_lines(counter, warm_frames, time.time())
            else:
                wait_file_bytes(out, warm_frames // sent * sum(os.path.getsize(f) - 54 for f in files) - 65536)
    prof = None
    if perf:
        prof = start(["perf", "record", "-g", "-F", "999", "-p", str(qxp.pid), "-o", perf],
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
    c0 = cpu_seconds(qxp.pid)
    t0, t1 = replay(files, sock)
    r.ingest_s = t1 - t0
    if fmt == "json":
        r.got, r.e2e_s = wait_lines(counter, sent + warm_frames, t0)
    else:
        # Input files less their START and STOP frames; fstrm_capture writes
        # through a stdio buffer, so the tail may only show at its stop.
        expected = (1 + warm_frames // sent) * sum(os.path.getsize(f) - 54 for f in files) - 65536
        r.e2e_s = wait_file_bytes(out, expected) - t0
    r.cpu = cpu_seconds(qxp.pid) - c0
    r.rss = vm_hwm_mib(qxp.pid)
    if prof:
        stop(prof, signal.SIGINT)
    if stop(qxp) != 0:
        log("quorvalex exited with %s (see %s/qx.log)" % (qxp.returncode, work))
    if fmt == "json":
        time.sleep(0.2)
        r.got = counter.snapshot()[0] - warm_frames
        counter.close()
    else:
        stop(cap)
        r.got = count_frames(out)[0] - warm_frames
        os.remove(out)
    return r


# -------------------------------------------------------------------- main

def fmt_row(r):
    lost = r.sent - r.got
    cpu_m = r.cpu / r.sent * 1e6 if r.sent else float("nan")
    return "%-66s %9d %9d %6d %10.0f %10.0f %8.2f %8.1f" % (
        r.name, r.sent, r.got, lost, r.rate("ingest"), r.rate("e2e"), cpu_m, r.rss)


def main():
    global DEADLINE
    ap = argparse.ArgumentParser()
    ap.add_argument("qx", help="quorvalex binary")
    ap.add_argument("--data", default=os.environ.get("QX_BENCH_DATA",
                    os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "quorvalex-bench")))
    ap.add_argument("--frames", type=int, default=1000000)
    ap.add_argument("--senders", type=int, default=8)
    ap.add_argument("--queue-size", type=int, default=2 << 30, help="bytes")
    ap.add_argument("--only", default="", help="comma list of runs: cap1,qxd1,cap8,qxd8,qxd8w,cli1,qxj1,cli8,qxj8"
                    " and the synthetic ones scap1,sqxd1,scap8,sqxd8")
    ap.add_argument("--synthetic", action="store_true",
                    help="also ingest synthetic 300-byte frames (scap1,sqxd1,scap8,sqxd8)")
    ap.add_argument("--synthetic-frames", type=int, default=1000000, help="frames of the synthetic input")
    ap.add_argument("--repeat", type=int, default=3, help="runs of each kind; the median is reported")
    ap.add_argument("--perf", default="", help="record perf profiles of quorvalex runs into this directory")
    a = ap.parse_args()
    DEADLINE = time.time() + 480
    qx = os.path.abspath(a.qx)
    for tool in ("fstrm_replay", "fstrm_capture", "dnstap"):
        if not shutil.which(tool):
            raise SystemExit("%s is not installed (apt-get install fstrm-bin "
                             "golang-github-dnstap-golang-dnstap-cli)" % tool)
    work = tempfile.mkdtemp(prefix="qx-bench-", dir="/tmp").lower()
    os.makedirs(work, exist_ok=True)
    try:
        data = os.path.join(a.data, "unbound-%d.fstrm" % a.frames)
        if not os.path.exists(data):
            make_capture(data, a.frames, work)
        payloads = read_payloads(data)
        if len(payloads) != a.frames:
            raise SystemExit("%s holds %d frames, not %d" % (data, len(payloads), a.frames))
        size = sum(len(p) for p in payloads)
        # The same capture cut in `senders` parts, for runs whose total must
        # stay one capture (JSON: the queue holds the backlog).
        parts = []
        k = a.senders
        for i in range(k):
            pf = os.path.join(a.data, "unbound-%d.part%dof%d.fstrm" % (a.frames, i, k))
            if not os.path.exists(pf):
                write_fstrm(pf, payloads[i * len(payloads) // k:(i + 1) * len(payloads) // k])
            parts.append(pf)
        del payloads
        log("input: %s, %d frames, %.0f bytes per payload on average" % (data, a.frames, size / a.frames))

        only = set(x for x in a.only.split(",") if x)
        # Synthetic 300-byte frames (distinct random payloads), made once by
        # the end-to-end tests' Frame Streams writer and cached beside the capture.
        syn_keys = {"scap1", "sqxd1", "scap8", "sqxd8"}
        synthetic = a.synthetic or bool(only & syn_keys)
        syn, syn_n = None, a.synthetic_frames
        if synthetic:
            syn = os.path.join(a.data, "synthetic-300-%d.fstrm" % syn_n)
            if not os.path.exists(syn):
                log("writing %d synthetic 300-byte frames to %s (once)" % (syn_n, syn))
                os.makedirs(a.data, exist_ok=True)
                writer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e", "lib",
                                      "fstrm_file.py")
                subprocess.run([sys.executable, writer, "write", syn + ".tmp", str(syn_n), "300", "11"], check=True)
                os.replace(syn + ".tmp", syn)
        # The ring holds all 8 senders' frames even if the forwarder stalls.
        syn_queue = max(a.queue_size, (k * syn_n * 303 * 11 // 10 + (1 << 20) - 1) >> 20 << 20)
        syn_tag = ", 300-byte synthetic"
        results = {}
        full1 = ([data], a.frames)
        fullk = ([data] * k, a.frames * k)
        split = (parts, a.frames)
        plan = [
            ("cap1", lambda: run_fstrm_capture(work, *full1)),
            ("qxd1", lambda: run_qx(qx, work, "dnstap", *full1, a.queue_size, prof("qxd1"))),
            ("cap8", lambda: run_fstrm_capture(work, *fullk)),
            ("qxd8", lambda: run_qx(qx, work, "dnstap", *fullk, a.queue_size, prof("qxd8"))),
            ("qxd8w", lambda: run_qx(qx, work, "dnstap", *fullk, min(a.queue_size, 1 << 30), prof("qxd8w"),
                                     warm=True)),
            ("cli1", lambda: run_dnstap_cli(work, *full1)),
            ("qxj1", lambda: run_qx(qx, work, "json", *full1, a.queue_size, prof("qxj1"))),
            ("cli8", lambda: run_dnstap_cli(work, *split)),
            ("qxj8", lambda: run_qx(qx, work, "json", *split, a.queue_size, prof("qxj8"))),
            ("scap1", lambda: run_fstrm_capture(work, [syn], syn_n, tag=syn_tag)),
            ("sqxd1", lambda: run_qx(qx, work, "dnstap", [syn], syn_n, syn_queue, prof("sqxd1"), tag=syn_tag)),
            ("scap8", lambda: run_fstrm_capture(work, [syn] * k, syn_n * k, tag=syn_tag)),
            ("sqxd8", lambda: run_qx(qx, work, "dnstap", [syn] * k, syn_n * k, syn_queue, prof("sqxd8"),
                                     tag=syn_tag)),
        ]
        if not synthetic:
            plan = [x for x in plan if x[0] not in syn_keys]

        def prof(name):
            if not a.perf:
                return None
            os.makedirs(a.perf, exist_ok=True)
            return os.path.join(os.path.abspath(a.perf), name + ".data")

        runs = {}
        for rep in range(a.repeat):
            for key, fn in plan:
                if only and key not in only:
                    continue
                if time.time() > DEADLINE:
                    log("time budget spent: skipping the remaining runs")
                    break
                log("run %s (%d of %d) ..." % (key, rep + 1, a.repeat))
                r = fn()
                log("  " + fmt_row(r))
                runs.setdefault(key, []).append(r)
        # The median run of each kind, by the rate its target is about.
        for key, rs in runs.items():
            which = "ingest" if key.startswith(("cap", "qxd", "scap", "sqxd")) else "e2e"
            rs.sort(key=lambda r: r.rate(which))
            results[key] = rs[len(rs) // 2]

        print()
        print("Throughput, %d dnstap frames captured from unbound (%.0f-byte payloads on average), "
              "%d cores, queue %d MiB, median of %d runs" % (a.frames, size / a.frames, os.cpu_count(),
                                                            a.queue_size >> 20, a.repeat))
        print("%-66s %9s %9s %6s %10s %10s %8s %8s" % ("run", "sent", "received", "lost", "ingest/s", "e2e/s",
                                                      "cpu s/M", "RSS MiB"))
        for key, _ in plan:
            if key in results:
                print(fmt_row(results[key]))
        print()
        print("ingest/s: frames over the time from the senders' start until every sender had its FINISH;")
        print("e2e/s: until the last event reached the collector; cpu s/M: CPU seconds of the measured")
        print("process per million events; RSS: its peak resident set (VmHWM).")
        print("8-sender JSON runs split the capture in %d parts (%d events in all); 8-sender ingest runs" % (k, a.frames))
        print("send the whole capture from every sender (%d frames in all). 'warm ring': a 1 GiB ring" % (a.frames * k))
        print("written over twice before the measured pass; otherwise the pass is the ring's first lap, whose")
        print("page faults (the kernel zeroing fresh pages) are taken by appends holding the queue's lock.")
        if synthetic:
            print("300-byte synthetic: %d frames of 300 random bytes from every sender, queue %d MiB." %
                  (syn_n, syn_queue >> 20))
        print()
        ok = True

        def target(text, value, goal):
            nonlocal ok
            good = value == value and value >= goal
            ok = ok and good
            print("%-66s %8.2f  (target >= %g) %s" % (text, value, goal, "ok" if good else "MISSED"))

        def ratio(x, y, which):
            if x in results and y in results:
                return results[x].rate(which) / results[y].rate(which)
            return float("nan")
        if "qxd1" in results and "cap1" in results:
            target("ingest, 1 sender: quorvalex / fstrm_capture alone", ratio("qxd1", "cap1", "ingest"), 1.0)
        if "qxd8" in results and "cap8" in results:
            target("ingest, %d senders: quorvalex / fstrm_capture alone" % k, ratio("qxd8", "cap8", "ingest"), 3.0)
        if "qxd8w" in results and "cap8" in results:
            target("ingest, %d senders, warm ring: quorvalex / fstrm_capture alone" % k,
                   ratio("qxd8w", "cap8", "ingest"), 3.0)
        if "sqxd1" in results and "scap1" in results:
            target("ingest, 300-byte synthetic, 1 sender: quorvalex / fstrm_capture", ratio("sqxd1", "scap1", "ingest"),
                   1.0)
        if "sqxd8" in results and "scap8" in results:
            target("ingest, 300-byte synthetic, %d senders: quorvalex / fstrm_capture" % k,
                   ratio("sqxd8", "scap8", "ingest"), 1.0)
        best = max([results[x].rate("e2e") for x in ("qxj1", "qxj8") if x in results] or [float("nan")])
        if best == best:
            target("JSON end to end, one forwarder (thousand events/s)", best / 1000, 300)
        if "qxj1" in results and "cli1" in results:
            target("JSON end to end, 1 sender: quorvalex / dnstap -j", ratio("qxj1", "cli1", "e2e"), 3.0)
        if "qxj8" in results and "cli8" in results:
            target("JSON end to end, %d senders: quorvalex / dnstap -j" % k, ratio("qxj8", "cli8", "e2e"), 3.0)
        for key in ("qxd1", "qxd8", "qxd8w", "qxj1", "qxj8", "sqxd1", "sqxd8"):
            if key in results:
                r = results[key]
                good = r.rss < (r.queue >> 20) + 32
                lost_ok = r.got == r.sent
                ok = ok and good and lost_ok
                print("%-66s %8.1f  (target < %d MiB) %s, lost %d %s" % (
                    "peak RSS, " + r.name, r.rss, (r.queue >> 20) + 32, "ok" if good else "MISSED",
                    r.sent - r.got, "ok" if lost_ok else "MISSED"))
        return 0 if ok else 1
    finally:
        stop_all()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    for s in (signal.SIGINT, signal.SIGTERM):
        signal.signal(s, lambda *_: (stop_all(), sys.exit(130)))
    sys.exit(main())
