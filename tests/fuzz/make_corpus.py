#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/.
Run again after changing a seed; the files are kept in the repository."""
import base64
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CT = b"protobuf:dnstap.Dnstap"

QUERY = bytes.fromhex(
    "0A02766D120E756E626F756E6420312E31372E31726008051001180122047F0000012A047F00000130B0C103389BDB0240B7EEE1"
    "D8064D1095B202523932230120000100000000000103777777076578616D706C650474657374000001000100002904D000000000"
    "000C000A000819D05E549A65AAAB7801")
RESPONSE = bytes.fromhex(
    "0A02766D120E756E626F756E6420312E31372E31727008061001180222047F0000012A047F0000013099B702389BDB0260B7EEE1"
    "D8066DA033E203724979368580000100010000000103777777076578616D706C65047465737400001C0001C00C001C0001000001"
    "2C001020010DB800000000000000000000001000002904D00000000000007801")
DNS_QUERY = bytes.fromhex(
    "3932230120000100000000000103777777076578616D706C650474657374000001000100002904D000000000000C000A000819D0"
    "5E549A65AAAB")
DNS_RESPONSE = bytes.fromhex(
    "79368580000100010000000103777777076578616D706C65047465737400001C0001C00C001C00010000012C001020010DB80000"
    "0000000000000000001000002904D0000000000000")


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def be32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def control(ctype, fields=b"", escape=True):
    body = be32(ctype) + fields
    return (be32(0) if escape else b"") + be32(len(body)) + body


def ctfield(value=CT, ftype=1):
    return be32(ftype) + be32(len(value)) + value


def data_frame(payload):
    return be32(len(payload)) + payload


def queue_file(payloads, magic=b"sslz"):
    out = [magic]
    for p in payloads:
        out.append(be32(len(p)) + bytes([sum(p) & 0xFF]) + p)
    return b"".join(out)


# dnstap decoders and the formatter: captured frames and cut-down variants.
for target in ("dnstap", "dnstap_roundtrip", "formatter"):
    write(target, "query", QUERY)
    write(target, "response", RESPONSE)
    write(target, "truncated", RESPONSE[:40])
    write(target, "empty", b"")
# A response whose empty owner name was once compared through a null pointer.
write("formatter", "empty_name", base64.b64decode(
    "CjaFgAABAAEAAAABA3d3dwcAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "ZXhhcG1sZXQAMAB4YQAAAAAAeAE="))

# DNS messages.
write("dns_message", "query", DNS_QUERY)
write("dns_message", "response", DNS_RESPONSE)
write("dns_message", "header_only", DNS_RESPONSE[:12])
write("dns_message", "pointer_loop", bytes.fromhex("000081800001000000000000c00c00010001"))

# Frame Streams: first byte = role and limits (bits 0-1 role: 0/1 receive,
# 2 send handshakes, 3 one control frame; bits 2-3 control limit; bits 4-5
# data limit; bit 6 bidirectional / content type required; bit 7 escape).
start = control(2, ctfield())
ready = control(4, ctfield())
stop = control(3)
write("fstrm", "unidirectional", bytes([0]) + start + data_frame(QUERY) + data_frame(RESPONSE) + stop)
write("fstrm", "bidirectional", bytes([0]) + ready + start + data_frame(QUERY) + stop)
write("fstrm", "mid_frame", bytes([0]) + start + be32(200) + QUERY[:50])
write("fstrm", "over_limit", bytes([0x30]) + start + data_frame(b"x" * 4097) + stop)
write("fstrm", "two_fields", bytes([0]) + control(4, ctfield(b"other") + ctfield()) + start + stop)
write("fstrm", "field_past_end", bytes([0]) + be32(0) + be32(12) + be32(2) + be32(1) + be32(22) + CT)
write("fstrm", "garbage", bytes([0]) + b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
write("fstrm", "sender_bidi", bytes([0x42]) + control(1, ctfield()) + control(5))
write("fstrm", "sender_wrong_finish", bytes([0x42]) + control(1, ctfield()) + control(1, ctfield()))
write("fstrm", "control_short", bytes([0xC3]) + be32(0) + be32(7) + be32(4) + b"abc")

# Receiver: first byte = limits (bits 0-1 control, bits 2-3 data), then the
# sender's bytes.
write("receiver", "unidirectional", bytes([0]) + start + data_frame(QUERY) + data_frame(RESPONSE) + stop)
write("receiver", "bidirectional", bytes([0]) + ready + start + data_frame(QUERY) + stop)
write("receiver", "mid_frame", bytes([0]) + start + data_frame(b"abc") + be32(200) + QUERY[:50])
write("receiver", "over_limit", bytes([0x08]) + start + data_frame(b"x" * 16) + data_frame(b"y" * 17))
write("receiver", "second_start", bytes([0]) + start + data_frame(b"abc") + start + data_frame(b"def"))
write("receiver", "two_fields", bytes([0]) + control(4, ctfield(b"other") + ctfield()) + start + stop)
write("receiver", "field_past_end", bytes([0]) + be32(0) + be32(12) + be32(2) + be32(1) + be32(22) + CT)
write("receiver", "control_limit", bytes([0x02]) + control(2, ctfield() + ctfield(b"z" * 20)) + data_frame(b"a"))
write("receiver", "garbage", bytes([0]) + b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")

# Queue files.
events = [QUERY, RESPONSE, bytes([1]) * 300]
good = queue_file(events)
write("queue_file", "good", good)
write("queue_file", "empty_queue", b"sslz")
write("queue_file", "partial_header", good + b"\x00\x00")
write("queue_file", "truncated", good[:len(good) - 30])
bad = bytearray(good)
bad[4 + 4] ^= 0xFF  # checksum of the first record
write("queue_file", "bad_checksum", bytes(bad))
write("queue_file", "zero_filled", bytes(64))
write("queue_file", "bad_magic", queue_file(events, b"zlss"))
write("queue_file", "huge_length", b"sslz" + be32(0xFFFFFFFF) + b"\x00" + b"abc")
write("queue_file", "zero_length", b"sslz" + be32(0) + b"\x00")

# Listener and forwarder entries.
entries = {
    "unix": b"unix /run/Dnstap/IN.sock mode=660 group=staff keepalive=3 read-timeout=2",
    "ipv4_tls": b'ipv4 127.0.0.1 6000 tls=on tls-validate=on tls-validate-ca-file="/a b/ca.pem"',
    "ipv6_opts": b"ipv6 ::1 6000 recovery=durable batch-size=4294967296 fstrm-mode=unidirectional",
    "limits": b"ipv4 10.0.0.1 6000x max-connections=0 fstrm-data-frame-max-size=4294967296 mode=9",
    "quote_end": b'unix /tmp/d.sock group="',
    "name_end": b"unix /tmp/d.sock tls",
    "blank_eq": b"ipv4 127.0.0.1 53 read-timeout = 5",
    "long_path": b"unix /" + b"a" * 120,
}
for name, text in entries.items():
    write("entry", name, text)

def pad4(text):
    """The formatter keys are translated only for inputs of a size divisible
    by 4 (see config_fuzz.cpp)."""
    return text + b"\n" * (-len(text) % 4)


# Configuration files.
for example in sorted(os.listdir(os.path.join(HERE, "..", "..", "examples"))):
    with open(os.path.join(HERE, "..", "..", "examples", example), "rb") as f:
        write("config", example, f.read())
write("config", "continuations", pad4(
      b"Message-Format   querylog  # comment\r\nforwarder ipv4 127.0.0.1 5000\n"
      b"  batch-size=10\n# note\n\trecovery=durable\n\nlistener unix /tmp/x.sock\n"
      b"domain-suffix ...\n"))
write("config", "bad_values", pad4(
      b"message-format Json\nmessage-syslog-priority abc\nmessage-queue-size 0\nmetrics-interval 4294967296\n"
      b"listener unix /tmp/a.sock mode=9\nforwarder ipv4 h 0\nkey\x00hidden value\n"))
write("config", "numbers", pad4(
      b"domain-suffix example.com.\nmessage-queue-size -1\nmetrics-interval 99999999999999999999\nmessage-syslog-priority 4294967296\n"))
