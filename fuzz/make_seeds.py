#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into OUT/<target>/ (default fuzz/corpus).
Frames are written out by hand from the protocol tables; cabinets come from the shared
test data (tests/unpack/data) when it is there."""
import os, struct, sys, glob, shutil

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
here = os.path.dirname(os.path.abspath(__file__))

def put(target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)

def snac(family, subtype, body=b"", reqid=1):
    return struct.pack(">HHHI", family, subtype, 0, reqid) + body

def framed(channel, data):  # the dispatch target's framing: 2-byte length, channel, data
    payload = bytes([channel]) + data
    return struct.pack(">H", len(payload)) + payload

def flap(channel, data, seq=1):
    return struct.pack(">BBHH", 0x2A, channel, seq, len(data)) + data

def message(to, text, sender=None):
    frag = bytes([5, 1, 0, 1, 1, 1, 1]) + struct.pack(">HHH", len(text) + 4, 0, 0) + text
    body = b"\0" * 8 + struct.pack(">H", 1) + bytes([len(to)]) + to + struct.pack(">HH", 2, len(frag)) + frag
    if sender is not None:
        body += struct.pack("<I", sender)
    return snac(4, 6, body)

def meta(owner, mtype, seq, data=b"", subtype=None):
    inner = struct.pack("<IHH", owner, mtype, seq) + (struct.pack("<H", subtype) if subtype is not None else b"") + data
    return snac(0x15, 2, struct.pack(">HH", 1, len(inner) + 2) + struct.pack("<H", len(inner)) + inner)

# FLAP receive: whole frames, a keep-alive, a bad start byte.
put("fuzz_flap_recv", "hello", b"\x08" + flap(1, b"\0\0\0\1"))
put("fuzz_flap_recv", "two", b"\x03" + flap(2, snac(1, 6)) + flap(5, b"") + flap(2, snac(3, 2)))
put("fuzz_flap_recv", "bad", b"\x01" + b"\x2B\x02\0\0\0\0")

# The dispatcher: first byte picks the sessions, then framed (channel, data) frames.
login = b"\0\0\0\1" + struct.pack(">HH", 6, 4) + b"abcd"
frames = [
    (2, snac(1, 6)), (2, snac(1, 0x0E)), (2, snac(1, 0x17, b"\0\1\0\3")), (2, snac(1, 0x1E, struct.pack(">HHI", 6, 4, 0))),
    (2, snac(2, 4, struct.pack(">HH", 5, 16) + b"\x09" * 16)), (2, snac(3, 4, b"\x041001\x041002")),
    (2, message(b"1001", b"Hello")), (2, message(b"9999", b"stored")), (2, meta(1000, 0x3C, 2)), (2, meta(1000, 0x3E, 3)),
    (2, snac(0x13, 0x18, b"\x041001" + struct.pack(">H", 3) + b"why\0\0")), (2, snac(0x13, 0x1A, b"\x041001\0" + struct.pack(">H", 2) + b"no\0\0")),
    (2, snac(0x13, 5)), (2, snac(4, 0x0B, b"\0" * 10 + struct.pack(">H", 1) + b"\x041001")),
]
put("fuzz_dispatch", "logged_in", b"\x00" + b"".join(framed(c, d) for c, d in frames))
put("fuzz_dispatch", "anon_login", b"\x01" + framed(1, login))
put("fuzz_dispatch", "command_msg", b"\x01" + framed(2, message(b"1001", b"from tool", sender=1000)))
put("fuzz_dispatch", "command_stat", b"\x01" + framed(2, snac(1, 0x0E, reqid=0xE8030000)))

# Meta requests: byte 0 type, byte 1 subtype index, then the subtype data.
def mstr(s):
    return struct.pack("<H", len(s) + 1) + s + b"\0"
put("fuzz_meta", "offline", b"\x00\x00")
put("fuzz_meta", "home", b"\x02\x00" + b"".join(mstr(s) for s in [b"nick", b"first", b"last", b"a@b", b"city"]))
put("fuzz_meta", "password", b"\x02\x04" + mstr(b"newpass"))
put("fuzz_meta", "fullinfo", b"\x02\x05" + struct.pack("<I", 1001))
put("fuzz_meta", "byname", b"\x02\x08" + mstr(b"beta") + mstr(b"") + mstr(b""))
put("fuzz_meta", "byuin", b"\x02\x0A" + struct.pack("<HHI", 0x136, 4, 1001))
xml = b"<icq_sms_message><destination>7123</destination><text>hi</text><delivery_receipt>Yes</delivery_receipt></icq_sms_message>"
put("fuzz_meta", "sms", b"\x02\x0B" + b"\0" * 25 + xml + b"\0")
put("fuzz_sms", "route", b"\0" * 25 + xml + b"\0")
put("fuzz_sms", "noroute", b"\0" * 25 + xml.replace(b"7123", b"555") + b"\0")

# The authorization login frame: TLV 1 number text, TLV 2 roasted password.
roast = bytes([0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92, 0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C])
pw = bytes(b ^ roast[i % 16] for i, b in enumerate(b"secret"))
put("fuzz_auth_login", "login", b"\0\0\0\1" + struct.pack(">HH", 1, 4) + b"1000" + struct.pack(">HH", 2, len(pw)) + pw)

put("fuzz_ini", "vorn", b"[Main]\r\nBOS_Port=5191\r\nNick = \"quoted\" \r\n[Lists]\n0=5\n1=-\n;c=1\n\x05")
put("fuzz_smtp_reply", "multi", b"\x02250-first\r\n250-second\r\n250 last\r\n")
put("fuzz_smtp_reply", "greet", b"\x00220 ready\r\n")
put("fuzz_mime", "text", b"Hello.\r\n.\r\nA line that is rather long " * 4 + b"\xff\xfe=\x00")

for i, cab in enumerate(sorted(glob.glob(os.path.join(here, "..", "tests", "unpack", "data", "**", "*.cab"), recursive=True))):
    if os.path.getsize(cab) <= 256 * 1024:
        shutil.copy(cab, os.path.join(out, "fuzz_cab", "%03d.cab" % i)) if os.path.isdir(os.path.join(out, "fuzz_cab")) else (os.makedirs(os.path.join(out, "fuzz_cab")), shutil.copy(cab, os.path.join(out, "fuzz_cab", "%03d.cab" % i)))
put("fuzz_cab_block", "stored", b"\x00\x00\x05\x00hello")
put("fuzz_cab_block", "mszip", b"\x01\x00\x05\x00CK\x01\x05\x00\xfa\xffhello")
