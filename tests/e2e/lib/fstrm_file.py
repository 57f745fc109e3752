#!/usr/bin/env python3
"""Writes and reads Frame Streams files of dnstap content type.

write OUT COUNT SIZE SEED: COUNT data frames of SIZE random bytes (the first
8 bytes carry the frame number, so every frame is distinct).
frames FILE: prints one hex line per data frame, in file order.
"""
import os
import random
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from frames import read_fstrm, write_fstrm  # noqa: E402

CONTENT_TYPE = b"protobuf:dnstap.Dnstap"


def write(path, count, size, seed):
    rnd = random.Random(seed)
    payloads = [struct.pack(">Q", i) + bytes(rnd.getrandbits(8) for _ in range(size - 8)) for i in range(count)]
    write_fstrm(path, CONTENT_TYPE, payloads)


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
    else:
        for payload in read_fstrm(sys.argv[2])[1]:
            print(payload.hex())
