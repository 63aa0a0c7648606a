#!/usr/bin/env python3
"""Extracts the frames a client sent (C->S) from a capture transcript into a compact file:
one line per frame, "<number> <login|BOS> <hex of the whole FLAP frame>". With --ports a
column with the client port follows the server, for captures of several connections."""
import re
import sys


def extract(path):
    out = []
    cur = None
    for line in open(path, encoding="utf-8", errors="replace"):
        m = re.match(r"^#(\d{4})\s+(\S+)\s+(login|BOS)\s+FLAP.*?(?:client port (\d+))?", line)
        if m:
            if cur:
                out.append(cur)
            port = re.search(r"client port (\d+)", line)
            cur = [m.group(1), m.group(3), [], port.group(1) if port else "0"] if m.group(2) == "C->S" else None
            continue
        if cur is None:
            continue
        h = re.match(r"^    [0-9a-f]{4}  ((?:[0-9a-f]{2} ?)+)", line)
        if h:
            cur[2].extend(h.group(1).split())
    if cur:
        out.append(cur)
    return out


if __name__ == "__main__":
    src, dst, name = sys.argv[1], sys.argv[2], sys.argv[3]
    ports = sys.argv[4:] == ["--ports"]
    with open(dst, "w") as f:
        f.write("# Frames sent by %s, from its capture transcript (C->S only), in wire order.\n" % name)
        f.write("# <frame number> <server>%s <whole FLAP frame in hex>\n" % (" <client port>" if ports else ""))
        for num, server, hexes, port in extract(src):
            f.write("%s %s %s%s\n" % (num, server, port + " " if ports else "", "".join(hexes)))
