#!/usr/bin/env python3
"""Helpers of the end-to-end tests: Frame Streams files, queue files, the
hexadecimal run-stdout lines, and a line collector that can reset its
connection on request."""
import os
import select
import socket
import struct
import sys
import time


def read_fstrm(path):
    """Returns (content type, [payloads]) of a Frame Streams file."""
    data = open(path, "rb").read()
    pos, ctype, payloads = 0, b"", []
    while pos + 4 <= len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        pos += 4
        if n != 0:
            if pos + n > len(data):
                raise SystemExit("%s: truncated data frame" % path)
            payloads.append(data[pos:pos + n])
            pos += n
            continue
        (clen,) = struct.unpack(">I", data[pos:pos + 4])
        ctrl = data[pos + 4:pos + 4 + clen]
        pos += 4 + clen
        (ctl,) = struct.unpack(">I", ctrl[:4])
        if ctl == 2 and len(ctrl) >= 12:  # START with a content type field
            (flen,) = struct.unpack(">I", ctrl[8:12])
            ctype = ctrl[12:12 + flen]
    return ctype, payloads


def write_fstrm(path, ctype, payloads):
    start = struct.pack(">III", 2, 1, len(ctype)) + ctype
    out = [struct.pack(">II", 0, len(start)), start]
    for p in payloads:
        out.append(struct.pack(">I", len(p)) + p)
    out.append(struct.pack(">III", 0, 4, 3))
    open(path, "wb").write(b"".join(out))


def read_queue(path):
    data = open(path, "rb").read()
    if data[:4] != b"sslz":
        raise SystemExit("%s: bad magic %r" % (path, data[:4]))
    pos, payloads = 4, []
    while pos + 5 <= len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        ck = data[pos + 4]
        p = data[pos + 5:pos + 5 + n]
        if len(p) != n:
            raise SystemExit("%s: truncated record" % path)
        if sum(p) & 0xFF != ck:
            raise SystemExit("%s: bad checksum" % path)
        payloads.append(p)
        pos += 5 + n
    if pos != len(data):
        raise SystemExit("%s: %d trailing bytes" % (path, len(data) - pos))
    return payloads


def hex_lines(path):
    """Payloads of the frames in the upper-case hexadecimal lines of a file."""
    payloads, lines = [], 0
    for line in open(path, "rb").read().decode("latin-1").splitlines():
        if line.startswith("[") or line == "":
            continue
        if line.strip("0123456789ABCDEF") != "":
            raise SystemExit("not an upper-case hex line: %r" % line[:80])
        lines += 1
        data = bytes.fromhex(line)
        pos = 0
        while pos < len(data):
            (n,) = struct.unpack(">I", data[pos:pos + 4])
            if n == 0 or pos + 4 + n > len(data):
                raise SystemExit("bad frame in hex line")
            payloads.append(data[pos + 4:pos + 4 + n])
            pos += 4 + n
    return lines, payloads


def collector(portfile, outpath):
    """Accepts connections one after another and appends what they send to
    OUT. When the file OUT.reset appears, the current connection is closed
    (its content "rst": with a reset, otherwise gracefully) and the file is
    removed."""
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    with open(portfile + ".tmp", "w") as f:
        f.write(str(srv.getsockname()[1]))
    os.rename(portfile + ".tmp", portfile)
    out = open(outpath, "ab")
    trigger = outpath + ".reset"
    conns = 0
    while True:
        conn, _ = srv.accept()
        conns += 1
        with open(outpath + ".conns", "w") as f:
            f.write(str(conns))
        while True:
            r, _, _ = select.select([conn], [], [], 0.05)
            if r:
                chunk = conn.recv(65536)
                if not chunk:
                    conn.close()
                    break
                out.write(chunk)
                out.flush()
            elif os.path.exists(trigger):
                mode = open(trigger).read().strip()
                if mode == "rst":
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
                os.remove(trigger)
                break


def main():
    cmd = sys.argv[1]
    if cmd == "count":  # data frames of a Frame Streams file
        print(len(read_fstrm(sys.argv[2])[1]))
    elif cmd == "split":  # IN OUT_A OUT_B K: the first K frames, the rest
        ctype, p = read_fstrm(sys.argv[2])
        k = int(sys.argv[5])
        write_fstrm(sys.argv[3], ctype, p[:k])
        write_fstrm(sys.argv[4], ctype, p[k:])
    elif cmd == "same-fstrm":  # A B: same content type and data frames, in order
        a, b = read_fstrm(sys.argv[2]), read_fstrm(sys.argv[3])
        if a[0] != b[0]:
            raise SystemExit("content types differ: %r %r" % (a[0], b[0]))
        if a[1] != b[1]:
            raise SystemExit("frames differ: %d vs %d frames" % (len(a[1]), len(b[1])))
    elif cmd == "same-queue":  # QUEUE FSTRM: the queue file holds the frames, in order
        q, f = read_queue(sys.argv[2]), read_fstrm(sys.argv[3])[1]
        if q != f:
            raise SystemExit("queue file holds %d events, expected %d (or other bytes)" % (len(q), len(f)))
    elif cmd == "queue-count":
        print(len(read_queue(sys.argv[2])))
    elif cmd == "same-hex":  # STDOUT FSTRM: hex lines hold the frames, in order; prints the line count
        lines, p = hex_lines(sys.argv[2])
        f = read_fstrm(sys.argv[3])[1]
        if p != f:
            raise SystemExit("hex lines hold %d frames, expected %d (or other bytes)" % (len(p), len(f)))
        print(lines)
    elif cmd == "collector":  # PORTFILE OUT
        collector(sys.argv[2], sys.argv[3])
    else:
        raise SystemExit("unknown command " + cmd)


if __name__ == "__main__":
    main()
