#!/usr/bin/env python3
"""Signs one user on to an installed Vorn: password login at the login server (roasted
channel-1 login), then the cookie login at the session server. Exit 0 when the session
server answers with its service families (SNAC 0x0001/0x0003)."""
import socket
import struct
import sys

ROAST = bytes([0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
               0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C])


def read_frame(sock):
    head = b""
    while len(head) < 6:
        chunk = sock.recv(6 - len(head))
        if not chunk:
            raise RuntimeError("connection closed")
        head += chunk
    if head[0] != 0x2A:
        raise RuntimeError("not a FLAP frame")
    channel, length = head[1], struct.unpack(">H", head[4:6])[0]
    data = b""
    while len(data) < length:
        chunk = sock.recv(length - len(data))
        if not chunk:
            raise RuntimeError("connection closed")
        data += chunk
    return channel, data


def send_frame(sock, channel, data, seq=1):
    sock.sendall(struct.pack(">BBHH", 0x2A, channel, seq, len(data)) + data)


def tlvs(data):
    out, pos = {}, 0
    while pos + 4 <= len(data):
        t, n = struct.unpack(">HH", data[pos:pos + 4])
        out[t] = data[pos + 4:pos + 4 + n]
        pos += 4 + n
    return out


def tlv(t, value):
    return struct.pack(">HH", t, len(value)) + value


def main():
    host, auth_port, bos_port, uin, password = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
    roasted = bytes(b ^ ROAST[i % 16] for i, b in enumerate(password.encode()))
    with socket.create_connection((host, auth_port), timeout=5) as a:
        read_frame(a)
        send_frame(a, 1, struct.pack(">I", 1) + tlv(1, uin.encode()) + tlv(2, roasted) + tlv(3, b"check"))
        channel, data = read_frame(a)
    reply = tlvs(data)
    if channel != 4 or 6 not in reply:
        print("login refused: %r" % reply.get(8), file=sys.stderr)
        return 1
    print("login server sent %s" % reply[5].decode())
    with socket.create_connection((host, bos_port), timeout=5) as b:
        read_frame(b)
        send_frame(b, 1, struct.pack(">I", 1) + tlv(6, reply[6]))
        channel, data = read_frame(b)
        if channel != 2 or data[0:4] != b"\x00\x01\x00\x03":
            print("session server did not sign the client on", file=sys.stderr)
            return 1
        print("signed on as %s" % uin)
        if len(sys.argv) > 6:  # keep the session open this many seconds
            import time
            time.sleep(float(sys.argv[6]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
