#!/usr/bin/env python3
"""Writes and reads Frame Streams files of dnstap content type.

write OUT COUNT SIZE SEED: COUNT data frames of SIZE random bytes (the first
8 bytes carry the frame number, so every frame is distinct).
frames FILE: prints one hex line per data frame, in file order.
"""
import random
import struct
import sys

CONTENT_TYPE = b"protobuf:dnstap.Dnstap"


def control(kind, with_type):
    body = struct.pack(">I", kind)
    if with_type:
        body += struct.pack(">II", 1, len(CONTENT_TYPE)) + CONTENT_TYPE
    return struct.pack(">II", 0, len(body)) + body


def write(path, count, size, seed):
    rnd = random.Random(seed)
    with open(path, "wb") as f:
        f.write(control(2, True))  # START
        for i in range(count):
            payload = struct.pack(">Q", i) + bytes(rnd.getrandbits(8) for _ in range(size - 8))
            f.write(struct.pack(">I", len(payload)) + payload)
        f.write(control(3, False))  # STOP


def frames(path):
    data = open(path, "rb").read()
    pos = 0
    out = []
    while pos + 4 <= len(data):
        (n,) = struct.unpack_from(">I", data, pos)
        pos += 4
        if n == 0:  # control frame
            (clen,) = struct.unpack_from(">I", data, pos)
            pos += 4 + clen
            continue
        out.append(data[pos:pos + n].hex())
        pos += n
    return out


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
    else:
        for line in frames(sys.argv[2]):
            print(line)
