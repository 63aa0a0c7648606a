#!/usr/bin/env python3
"""Writes the cabinets of tests/unpack/data/made/ and their table made.tsv.

The corpus gathered from other projects holds little LZX and Quantum data, so
this script encodes its own: simple encoders written from the format
descriptions (cabinet, LZX, Quantum; MSZIP through zlib's raw deflate), each
aiming at a decoder path (uncompressed LZX blocks with odd sizes, aligned-offset
blocks, repeated offsets, a window smaller than the data, blocks spanning
frames; Quantum's model rescaling and re-sorting, every match selector, a
21-bit window; MSZIP history across blocks, several deflate blocks in one,
stored and fixed-code blocks) and damaged cabinets that must be refused.
Checksums are left 0 (not checked), so the decoders themselves must notice
the damage.

Deterministic: run it again and the files come out byte for byte the same.
usage: make_cabs.py [output folder]   (default: data/made next to this script)
"""
import hashlib
import heapq
import os
import random
import struct
import sys
import zlib

FRAME = 32768


# ---------------------------------------------------------------- cabinet

def cabinet(files, type_compress, blocks):
    """files: [(name, size)] all in folder 0; blocks: [(compressed, uncompressed size)]."""
    names = [n.encode() + b"\0" for n, _ in files]
    header = 36
    folder_at = header
    files_at = folder_at + 8
    file_table = b""
    offset = 0
    for (name, size), raw in zip(files, names):
        # date 2001-02-03, time 04:05:06, attribute archive
        file_table += struct.pack("<IIHHHH", size, offset, 0, 0x2A43, 0x20A3, 0x20) + raw
        offset += size
    data_at = files_at + len(file_table)
    data = b""
    for comp, size in blocks:
        data += struct.pack("<IHH", 0, len(comp), size) + comp
    total = data_at + len(data)
    head = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, total, 0, files_at, 0, 3, 1, 1, len(files), 0, 1234, 0)
    folder = struct.pack("<IHH", data_at, len(blocks), type_compress)
    return head + folder + file_table + data


# ---------------------------------------------------------------- MSZIP

def mszip_blocks(data, level=9, strategy=zlib.Z_DEFAULT_STRATEGY, split=False, history=True):
    blocks = []
    for at in range(0, len(data), FRAME):
        chunk = data[at:at + FRAME]
        kw = {}
        if history and at > 0:
            kw["zdict"] = data[max(0, at - FRAME):at]
        c = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy, **kw)
        if split:
            # Several deflate blocks in one: a full flush ends a block mid-way.
            body = c.compress(chunk[:len(chunk) // 3]) + c.flush(zlib.Z_FULL_FLUSH)
            body += c.compress(chunk[len(chunk) // 3:]) + c.flush()
        else:
            body = c.compress(chunk) + c.flush()
        blocks.append((b"CK" + body, len(chunk)))
    return blocks


class LsbWriter:
    def __init__(self):
        self.bits = 0
        self.n = 0
        self.out = bytearray()

    def put(self, value, count):
        self.bits |= value << self.n
        self.n += count
        while self.n >= 8:
            self.out.append(self.bits & 0xFF)
            self.bits >>= 8
            self.n -= 8

    def put_code(self, code, length):  # Huffman codes go most significant bit first
        self.put(int(format(code, "0%db" % length)[::-1], 2), length)

    def done(self):
        if self.n:
            self.out.append(self.bits & 0xFF)
        return bytes(self.out)


def fixed_literal(w, sym):
    if sym < 144:
        w.put_code(0x30 + sym, 8)
    elif sym < 256:
        w.put_code(0x190 + sym - 144, 9)
    elif sym < 280:
        w.put_code(sym - 256, 7)
    else:
        w.put_code(0xC0 + sym - 280, 8)


def mszip_match_before_start():
    """Fixed codes: 'a', then a match of 3 at distance 2 (one byte before the folder)."""
    w = LsbWriter()
    w.put(1, 1)
    w.put(1, 2)
    fixed_literal(w, ord("a"))
    fixed_literal(w, 257)  # length 3
    w.put_code(1, 5)       # distance code 1: distance 2
    fixed_literal(w, 256)
    return b"CK" + w.done()


# ---------------------------------------------------------------- Huffman

def code_lengths(freqs, limit):
    """Huffman code lengths (0 for unused symbols), no longer than limit; at least two codes."""
    freqs = list(freqs)
    used = [i for i, f in enumerate(freqs) if f]
    if len(used) < 2:
        for i in range(len(freqs)):
            if i not in used:
                freqs[i] = 1
                used.append(i)
            if len(used) == 2:
                break
    while True:
        heap = [(f, i, None) for i, f in enumerate(freqs) if f]
        heapq.heapify(heap)
        serial = len(freqs)
        parent = {}
        while len(heap) > 1:
            f1, a, _ = heapq.heappop(heap)
            f2, b, _ = heapq.heappop(heap)
            parent[a] = parent[b] = serial
            heapq.heappush(heap, (f1 + f2, serial, None))
            serial += 1
        lengths = [0] * len(freqs)
        for i, f in enumerate(freqs):
            if f:
                d, node = 0, i
                while node in parent:
                    node = parent[node]
                    d += 1
                lengths[i] = d
        if max(lengths) <= limit:
            return lengths
        freqs = [(f + 1) // 2 if f else 0 for f in freqs]


def canonical(lengths):
    codes = [0] * len(lengths)
    code = 0
    for length in range(1, max(lengths) + 1):
        for sym, l in enumerate(lengths):
            if l == length:
                codes[sym] = code
                code += 1
        code <<= 1
    return codes


# ---------------------------------------------------------------- LZX

class MsbWordWriter:
    """Bits most significant first, in 16-bit little-endian words."""

    def __init__(self):
        self.out = bytearray()
        self.word = 0
        self.n = 0

    def put(self, value, count):
        for k in range(count - 1, -1, -1):
            self.word = (self.word << 1) | ((value >> k) & 1)
            self.n += 1
            if self.n == 16:
                self.out += struct.pack("<H", self.word)
                self.word = 0
                self.n = 0

    def align(self, at_least_one):
        if self.n == 0 and at_least_one:
            self.put(0, 16)
        elif self.n:
            self.put(0, 16 - self.n)

    def take(self):
        assert self.n == 0
        out, self.out = bytes(self.out), bytearray()
        return out


def lzx_slots():
    base, extra, b = [], [], 0
    for i in range(51):
        e = 0 if i < 4 else min((i - 2) // 2, 17)
        base.append(b)
        extra.append(e)
        b += 1 << e
    return base, extra


SLOT_BASE, SLOT_EXTRA = lzx_slots()
SLOTS_FOR = {15: 30, 16: 32, 17: 34, 18: 36, 19: 38, 20: 42, 21: 50}


def find_matches(data, start, end, window, max_len=257, min_len=3):
    """Greedy matches within [start, end): list of ('lit', byte) or ('match', length, offset)."""
    table = {}
    out = []
    i = start
    for j in range(max(0, start - window), start):
        if j + 3 <= len(data):
            table[data[j:j + 3]] = j
    while i < end:
        key = data[i:i + 3]
        cand = table.get(key)
        best = 0
        if cand is not None and i - cand <= window - 3 and len(key) == 3:
            limit = min(max_len, end - i)
            n = 0
            while n < limit and data[cand + n] == data[i + n]:
                n += 1
            best = n
        if best >= min_len:
            out.append(("match", best, i - cand))
            for k in range(i, i + best):
                if k + 3 <= len(data):
                    table[data[k:k + 3]] = k
            i += best
        else:
            out.append(("lit", data[i]))
            if len(key) == 3:
                table[key] = i
            i += 1
    return out


class LzxEncoder:
    def __init__(self, window_bits, e8_size=0):
        self.e8_size = e8_size
        self.window_bits = window_bits
        self.window = 1 << window_bits
        self.main_symbols = 256 + 8 * SLOTS_FOR[window_bits]
        self.prev_main = [0] * self.main_symbols
        self.prev_len = [0] * 249
        self.r = [1, 1, 1]
        self.w = MsbWordWriter()
        self.frames = []  # compressed bytes of each 32 KB frame
        self.frame_out = 0
        self.first = True

    def _pretree_lengths(self, prev, new):
        """Symbols (sym, extra bits, count) coding new against prev."""
        items = []
        x = 0
        while x < len(new):
            if new[x] == 0:
                run = 0
                while x + run < len(new) and new[x + run] == 0 and run < 51:
                    run += 1
                if run >= 20:
                    items.append((18, run - 20, 5))
                    x += run
                    continue
                if run >= 4:
                    items.append((17, run - 4, 4))
                    x += run
                    continue
            same = 1
            while x + same < len(new) and new[x + same] == new[x] and same < 5:
                same += 1
            if same >= 4 and new[x] != 0:
                items.append((19, same - 4, 1, (prev[x] - new[x]) % 17))
                x += same
                continue
            items.append(((prev[x] - new[x]) % 17, 0, 0))
            x += 1
        return items

    def _write_lengths(self, prev, new):
        items = self._pretree_lengths(prev, new)
        freqs = [0] * 20
        for it in items:
            freqs[it[0]] += 1
            if it[0] == 19:
                freqs[it[3]] += 1
        pre = code_lengths(freqs, 15)
        codes = canonical(pre)
        for l in pre:
            self.w.put(l, 4)
        for it in items:
            self.w.put(codes[it[0]], pre[it[0]])
            if it[0] in (17, 18, 19):
                self.w.put(it[1], it[2])
            if it[0] == 19:
                self.w.put(codes[it[3]], pre[it[3]])

    def _symbols(self, tokens, aligned):
        """Main symbols, length symbols and offset bits of tokens, updating the repeated offsets."""
        out = []
        for t in tokens:
            if t[0] == "lit":
                out.append((t[1], None, None))
                continue
            _, length, offset = t
            if offset in self.r:
                slot = self.r.index(offset)
                self.r[slot] = self.r[0]
                self.r[0] = offset
                extra = None
            else:
                formatted = offset + 2
                slot = max(s for s in range(len(SLOT_BASE)) if SLOT_BASE[s] <= formatted)
                extra = (SLOT_EXTRA[slot], formatted - SLOT_BASE[slot])
                self.r[2] = self.r[1]
                self.r[1] = self.r[0]
                self.r[0] = offset
            header = min(length - 2, 7)
            out.append((256 + slot * 8 + header, length - 2 - 7 if header == 7 else None, extra))
        return out

    def _emit_header(self):
        if self.first:
            if self.e8_size:
                self.w.put(1, 1)
                self.w.put(self.e8_size >> 16, 16)
                self.w.put(self.e8_size & 0xFFFF, 16)
            else:
                self.w.put(0, 1)  # no call translation
            self.first = False

    def block(self, data, start, end, kind, frame_end_cb):
        """Encodes data[start:end] as one block of kind 'verbatim', 'aligned' or 'raw'."""
        size = end - start
        self._emit_header()
        self.w.put({"verbatim": 1, "aligned": 2, "raw": 3}[kind], 3)
        self.w.put(size >> 8, 16)
        self.w.put(size & 0xFF, 8)
        if kind == "raw":
            self.w.align(True)
            self.r = [3, 7, 11]  # new repeated offsets, used by the next block
            raw = struct.pack("<III", *self.r)
            pos = start
            pending = self.w.take() + raw
            while pos < end:
                room = FRAME - self.frame_out
                n = min(room, end - pos)
                pending += data[pos:pos + n]
                pos += n
                self.frame_out += n
                if pos == end and size & 1:
                    pending += b"\0"
                if self.frame_out == FRAME:
                    self.frames.append(pending)
                    pending = b""
                    self.frame_out = 0
            self.w.out = bytearray(pending)
            return
        # Tokens per frame piece, so that no match crosses a frame's end.
        pieces = []
        pos = start
        while pos < end:
            n = min(FRAME - (self.frame_out + (pos - start)) % FRAME, end - pos)
            pieces.append(find_matches(data, pos, pos + n, self.window))
            pos += n
        aligned = kind == "aligned"
        saved_r = list(self.r)
        syms = [self._symbols(p, aligned) for p in pieces]
        self.r = saved_r
        main_f = [0] * self.main_symbols
        len_f = [0] * 249
        al_f = [1] * 8
        for piece in syms:
            for m, l, e in piece:
                main_f[m] += 1
                if l is not None:
                    len_f[l] += 1
                if e is not None and aligned and e[0] >= 3:
                    al_f[e[1] & 7] += 1
        if aligned:
            al = code_lengths(al_f, 7)
            for l in al:
                self.w.put(l, 3)
            al_codes = canonical(al)
        main = code_lengths(main_f, 16)
        self._write_lengths(self.prev_main[:256], main[:256])
        self._write_lengths(self.prev_main[256:], main[256:])
        lens = code_lengths(len_f, 16) if any(len_f) else [0] * 249
        self._write_lengths(self.prev_len, lens)
        self.prev_main, self.prev_len = main, lens
        main_c, len_c = canonical(main), canonical(lens) if any(lens) else None
        for piece, tokens in zip(syms, pieces):
            self._symbols(tokens, aligned)  # replay the repeated offsets
            for m, l, e in piece:
                self.w.put(main_c[m], main[m])
                if l is not None:
                    self.w.put(len_c[l], lens[l])
                if e is not None:
                    bits, value = e
                    if aligned and bits >= 3:
                        self.w.put(value >> 3, bits - 3)
                        self.w.put(al_codes[value & 7], al[value & 7])
                    else:
                        self.w.put(value, bits)
            done = sum(1 if t[0] == "lit" else t[1] for t in tokens)
            self.frame_out += done
            if self.frame_out == FRAME:
                self.w.align(False)
                self.frames.append(self.w.take())
                self.frame_out = 0

    def finish(self):
        if self.frame_out:
            self.w.align(False)
            self.frames.append(self.w.take())
        return self.frames


def e8_encode(data, size):
    """Call translation: the operand of each E8 byte (outside a frame's last 10 bytes)
    becomes an absolute position, as the decoder expects it."""
    out = bytearray(data)
    for start in range(0, len(out), FRAME):
        end = min(len(out), start + FRAME)
        if end - start <= 10:
            continue
        i = start
        while i < end - 10:
            if out[i] != 0xE8:
                i += 1
                continue
            rel = struct.unpack("<i", out[i + 1:i + 5])[0]
            if -i <= rel < size:
                value = rel + i if rel < size - i else rel - size
                out[i + 1:i + 5] = struct.pack("<i", value)
            i += 5
    return bytes(out)


def lzx_cab(data, window_bits, plan, e8_size=0):
    """plan: list of (kind, size) blocks covering data."""
    enc = LzxEncoder(window_bits, e8_size)
    if e8_size:
        data = e8_encode(data, e8_size)
    at = 0
    for kind, size in plan:
        enc.block(data, at, at + size, kind, None)
        at += size
    assert at == len(data)
    frames = enc.finish()
    sizes = [min(FRAME, len(data) - i) for i in range(0, len(data), FRAME)]
    assert len(frames) == len(sizes), (len(frames), len(sizes))
    return list(zip(frames, sizes))


# ---------------------------------------------------------------- Quantum

class QModel:
    def __init__(self, first, count):
        self.shifts = 4
        self.entries = count
        self.sym = [first + i for i in range(count + 1)]
        self.cum = [count - i for i in range(count + 1)]

    def rescale(self):
        self.shifts -= 1
        if self.shifts > 0:
            for i in range(self.entries - 1, -1, -1):
                self.cum[i] >>= 1
                if self.cum[i] <= self.cum[i + 1]:
                    self.cum[i] = self.cum[i + 1] + 1
            return
        self.shifts = 50
        for i in range(self.entries):
            self.cum[i] = ((self.cum[i] - self.cum[i + 1]) + 1) >> 1
        for i in range(self.entries - 1):
            for j in range(i + 1, self.entries):
                if self.cum[i] < self.cum[j]:
                    self.cum[i], self.cum[j] = self.cum[j], self.cum[i]
                    self.sym[i], self.sym[j] = self.sym[j], self.sym[i]
        for i in range(self.entries - 1, -1, -1):
            self.cum[i] += self.cum[i + 1]


class QEncoder:
    def __init__(self):
        self.bits = []
        self.low, self.high, self.pending = 0, 0xFFFF, 0

    def _bit(self, b):
        self.bits.append(b)
        self.bits.extend([1 - b] * self.pending)
        self.pending = 0

    def encode(self, model, symbol):
        idx = model.sym.index(symbol, 0, model.entries)
        span = self.high - self.low + 1
        total = model.cum[0]
        high = self.low + (model.cum[idx] * span) // total - 1
        low = self.low + (model.cum[idx + 1] * span) // total
        self.high, self.low = high & 0xFFFF, low & 0xFFFF
        for k in range(idx + 1):
            model.cum[k] += 8
        if model.cum[0] > 3800:
            model.rescale()
        while True:
            if (self.low & 0x8000) == (self.high & 0x8000):
                self._bit(self.high >> 15)
            elif (self.low & 0x4000) and not (self.high & 0x4000):
                self.pending += 1
                self.low &= 0x3FFF
                self.high |= 0x4000
            else:
                break
            self.low = (self.low << 1) & 0xFFFF
            self.high = ((self.high << 1) | 1) & 0xFFFF

    def finish(self):
        self.pending += 1
        self._bit(1 if self.low & 0x4000 else 0)
        # The decoder reads 16 bits ahead: those stay inside the block, so that a reader
        # looking for the frame's trailer after them finds the one that follows the block.
        bits = self.bits + [0] * 16
        bits += [0] * (-len(bits) % 8)
        return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


class QuantumEncoder:
    """Literals and matches that need no extra bits: offsets 1-4, lengths 3-10."""

    def __init__(self, window_bits):
        slots = window_bits * 2
        self.literals = [QModel(i * 64, 64) for i in range(4)]
        self.len3 = QModel(0, min(slots, 24))
        self.len4 = QModel(0, min(slots, 36))
        self.longer = QModel(0, slots)
        self.lengths = QModel(0, 27)
        self.selector = QModel(0, 7)

    def block(self, data, start, end):
        c = QEncoder()
        i = start
        while i < end:
            best, off = 0, 0
            for o in range(1, 5):
                if i - o < 0:
                    break
                n = 0
                while n < 10 and i + n < end and data[i + n] == data[i + n - o]:
                    n += 1
                if n > best:
                    best, off = n, o
            if best >= 3:
                if best == 3:
                    c.encode(self.selector, 4)
                    c.encode(self.len3, off - 1)
                elif best == 4:
                    c.encode(self.selector, 5)
                    c.encode(self.len4, off - 1)
                else:
                    c.encode(self.selector, 6)
                    c.encode(self.lengths, best - 5)
                    c.encode(self.longer, off - 1)
                i += best
            else:
                b = data[i]
                c.encode(self.selector, b >> 6)
                c.encode(self.literals[b >> 6], b)
                i += 1
        return c.finish()

    def raw_symbols(self, symbols):
        """Encodes (model name, symbol) pairs as they are: for damaged data."""
        c = QEncoder()
        for name, sym in symbols:
            c.encode(getattr(self, name), sym)
        return c.finish()


def quantum_cab_blocks(data, window_bits):
    enc = QuantumEncoder(window_bits)
    return [(enc.block(data, at, min(len(data), at + FRAME)), min(FRAME, len(data) - at))
            for at in range(0, len(data), FRAME)]


def quantum_type(window_bits, level=4):
    return 2 | (level << 4) | (window_bits << 8)


# ---------------------------------------------------------------- inputs

def inputs():
    rnd = random.Random(20261208)
    words = [bytes(rnd.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 9)))
             for _ in range(400)]
    text = b" ".join(rnd.choice(words) for _ in range(30000))[:150000]
    noise = bytes(rnd.getrandbits(8) for _ in range(20000))
    # Repeats at distances beyond one frame, long runs, short-distance patterns.
    mixed = bytearray()
    while len(mixed) < 140000:
        pick = rnd.random()
        if pick < 0.3 and len(mixed) > 40000:
            at = rnd.randint(0, len(mixed) - 40000)
            mixed += mixed[at:at + rnd.randint(20, 600)]
        elif pick < 0.4:
            mixed += bytes([rnd.getrandbits(8)]) * rnd.randint(3, 700)
        elif pick < 0.6:
            unit = bytes(rnd.getrandbits(8) for _ in range(rnd.randint(1, 4)))
            mixed += unit * rnd.randint(2, 30)
        else:
            mixed += rnd.choice(words) + b" "
    mixed = bytes(mixed[:140000])
    skewed = bytes(rnd.choice(b"eeeeeeeetttaaoinsrhl\n") for _ in range(70000))
    return text, noise, mixed, skewed


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "data", "made")
    os.makedirs(out, exist_ok=True)
    text, noise, mixed, skewed = inputs()
    rows = []

    def put(name, content, blocks, type_compress, expect, note, files=None):
        files = files or [("data.bin", len(content))]
        with open(os.path.join(out, name), "wb") as f:
            f.write(cabinet(files, type_compress, blocks))
        digest = hashlib.sha256(content).hexdigest() if expect == "ok" else "-"
        rows.append((name, expect, str(len(content)), digest, note))

    # MSZIP
    put("mszip-history.cab", mixed, mszip_blocks(mixed), 1, "ok",
        "dynamic codes; matches into the previous block and 258-byte matches")
    put("mszip-fixed.cab", text, mszip_blocks(text, strategy=zlib.Z_FIXED), 1, "ok", "fixed codes only")
    put("mszip-stored.cab", noise, mszip_blocks(noise, level=0), 1, "ok", "stored deflate blocks")
    put("mszip-split.cab", mixed, mszip_blocks(mixed, split=True), 1, "ok",
        "several deflate blocks in each MSZIP block")
    bad = mszip_blocks(noise[:1000], level=0)
    body = bytearray(bad[0][0])
    body[5] ^= 0x01  # the stored block's length check word
    put("bad-mszip-stored-nlen.cab", noise[:1000], [(bytes(body), 1000)], 1, "refused",
        "stored block whose length check word disagrees")
    put("bad-mszip-before-start.cab", b"aaaa", [(mszip_match_before_start(), 4)], 1, "refused",
        "a match reaching before the folder's first byte")
    short = mszip_blocks(text[:5000])
    put("bad-mszip-short.cab", text[:5001], [(short[0][0], 5001)], 1, "refused",
        "a block yielding one byte less than its header says")

    # LZX
    put("lzx-verbatim-w15.cab", mixed, lzx_cab(mixed, 15, [("verbatim", 50001), ("verbatim", 89999)]),
        3 | (15 << 8), "ok", "verbatim blocks spanning frames; window smaller than the data")
    put("lzx-aligned-w16.cab", mixed, lzx_cab(mixed, 16, [("aligned", 70000), ("aligned", 70000)]),
        3 | (16 << 8), "ok", "aligned-offset blocks")
    plan = [("verbatim", 30001), ("raw", 5001), ("verbatim", 20000), ("raw", 40001), ("aligned", 44997)]
    put("lzx-raw-odd-w17.cab", mixed, lzx_cab(mixed, 17, plan), 3 | (17 << 8), "ok",
        "odd-sized uncompressed blocks (with their pad byte) between coded ones")
    put("lzx-text-w21.cab", text, lzx_cab(text, 21, [("verbatim", 100000), ("aligned", 50000)]),
        3 | (21 << 8), "ok", "text; code lengths coded against the previous block's")
    # Calls (E8 and a small operand) all over, and in the last bytes of frames where
    # they must stay as they are.
    calls = bytearray(mixed[:100000])
    rnd = random.Random(7)
    # One call per frame end, 9, 8 and 7 bytes before it: inside the last ten bytes.
    for at in list(range(100, len(calls) - 8, 997)) + [FRAME - 9, 2 * FRAME - 8, 3 * FRAME - 7]:
        calls[at:at + 5] = b"\xe8" + struct.pack("<i", rnd.randint(-3000, 3000))
    calls = bytes(calls)
    put("lzx-e8-w16.cab", calls, lzx_cab(calls, 16, [("verbatim", 60000), ("raw", 40000)], e8_size=12000000),
        3 | (16 << 8), "ok", "call translation, with calls in the untranslated last bytes of frames")
    blocks = lzx_cab(mixed[:40000], 15, [("verbatim", 40000)])
    cut = [(blocks[0][0][:len(blocks[0][0]) // 2], blocks[0][1]), blocks[1]]
    put("bad-lzx-cut.cab", mixed[:40000], cut, 3 | (15 << 8), "refused", "a frame cut in half")

    # Quantum
    put("quantum-w10.cab", skewed, quantum_cab_blocks(skewed, 10), quantum_type(10), "ok",
        "literals and short matches; models rescaled and re-sorted many times")
    put("quantum-w21.cab", mixed, quantum_cab_blocks(mixed, 21), quantum_type(21), "ok",
        "every match selector; a 21-bit window")
    enc = QuantumEncoder(12)
    early = enc.raw_symbols([("selector", 4), ("len3", 0)])
    put("bad-quantum-before-start.cab", b"\0\0\0", [(early, 3)], quantum_type(12), "refused",
        "a match before the folder's first byte")
    # Random bytes (literals only) in a folder's last, short block, where a match may run
    # past the end: only the count of bytes read past the block tells it was cut.
    lit = quantum_cab_blocks(noise, 12)
    for cut in (12, 16, 24, 40):
        put("bad-quantum-cut-%d.cab" % cut, noise, [(lit[0][0][:len(lit[0][0]) - cut], len(noise))], quantum_type(12),
            "refused", "a block missing its last %d bytes" % cut)

    with open(os.path.join(out, "made.tsv"), "w") as f:
        f.write("cab\texpect\tsize\tsha256\tnote\n")
        for r in rows:
            f.write("\t".join(r) + "\n")


if __name__ == "__main__":
    main()
