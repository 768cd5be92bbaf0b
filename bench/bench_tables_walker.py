"""A minimal SNMPv2c GETBULK walker that times every request: just enough BER
to encode a GetBulkRequest and read the Response's varbind OIDs, so that the
client adds as little as possible to what is measured (the npm manager adds
milliseconds per request, the Net-SNMP tools their start-up).

walk(host, community, root, max_repetitions) returns a dict with varbinds,
requests, seconds, maxMs, meanMs, over1s (requests that took more than a
second) and errors (error answers; the request is sent again).
"""

import random
import socket
import time


def _length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def _tlv(tag, body):
    return bytes([tag]) + _length(len(body)) + body


def _integer(n):
    return _tlv(0x02, n.to_bytes(max(1, (n.bit_length() + 8) // 8), "big", signed=True))


def _oid(oid):
    out = bytearray([40 * oid[0] + oid[1]])
    for sub in oid[2:]:
        chunk = [sub & 0x7F]
        sub >>= 7
        while sub:
            chunk.append(0x80 | (sub & 0x7F))
            sub >>= 7
        out += bytes(reversed(chunk))
    return _tlv(0x06, bytes(out))


def _read(data, pos):
    """(tag, body start, body end) of the TLV at pos."""
    tag, n = data[pos], data[pos + 1]
    pos += 2
    if n & 0x80:
        count = n & 0x7F
        n = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    return tag, pos, pos + n


def _decode_oid(body):
    oid = [body[0] // 40, body[0] % 40]
    sub = 0
    for byte in body[1:]:
        sub = (sub << 7) | (byte & 0x7F)
        if not byte & 0x80:
            oid.append(sub)
            sub = 0
    return tuple(oid)


def get_bulk(sock, community, oid, repetitions, request_id):
    pdu = _integer(request_id) + _integer(0) + _integer(repetitions) + \
        _tlv(0x30, _tlv(0x30, _oid(oid) + b"\x05\x00"))
    sock.send(_tlv(0x30, _integer(1) + _tlv(0x04, community) + _tlv(0xA5, pdu)))
    while True:
        data = sock.recv(65535)
        _, pos, _ = _read(data, 0)
        for _ in range(2):  # version, community
            _, _, pos = _read(data, pos)
        _, pos, _ = _read(data, pos)  # the Response PDU
        _, start, pos = _read(data, pos)
        if int.from_bytes(data[start:pos], "big", signed=True) == request_id:
            break
    _, start, pos = _read(data, pos)  # error status
    if int.from_bytes(data[start:pos], "big"):
        raise RuntimeError("error status %d" % int.from_bytes(data[start:pos], "big"))
    _, _, pos = _read(data, pos)  # error index
    _, pos, end = _read(data, pos)
    varbinds = []
    while pos < end:
        _, inner, pos = _read(data, pos)
        _, ostart, oend = _read(data, inner)
        tag, _, _ = _read(data, oend)
        varbinds.append((_decode_oid(data[ostart:oend]), tag))
    return varbinds


def walk(host, community, root, repetitions=10, timeout=10.0):
    root = tuple(int(x) for x in root.strip(".").split("."))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(timeout)
    sock.connect((host, 161))
    oid, varbinds, requests, slowest, over, errors = root, 0, 0, 0.0, 0, 0
    request_id = random.randint(1, 1 << 30)
    start = time.perf_counter()
    try:
        while True:
            t0 = time.perf_counter()
            try:
                got = get_bulk(sock, community.encode(), oid, repetitions, request_id + requests)
            except RuntimeError:
                got = None
            spent = time.perf_counter() - t0
            slowest = max(slowest, spent)
            over += spent > 1.0
            requests += 1
            if got is None:
                errors += 1
                if errors > 20:
                    break
                continue
            inside = [(o, tag) for o, tag in got if o[:len(root)] == root and tag < 0x80]
            varbinds += len(inside)
            if len(inside) < len(got) or not got:
                break
            oid = got[-1][0]
    finally:
        sock.close()
    seconds = time.perf_counter() - start
    return {"varbinds": varbinds, "requests": requests, "seconds": seconds,
            "maxMs": slowest * 1000, "meanMs": seconds * 1000 / max(1, requests),
            "over1s": over, "errors": errors}
