#!/usr/bin/env python3
"""Writes the seed corpus of container_fuzz (fuzz/corpus/container_fuzz/).

The seeds are built here from the file format itself, independently of the
C++ code, so that the corpus also checks that the parsers accept what the
format describes. First byte of each seed: 0 header, 1 page image,
2 run-length stream, 3 compression input.
"""
import os
import struct
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "container_fuzz")


def header(starts, ends, root=-1, change=1, last=0, log=(512, 512)):
    b = struct.pack("<IHII", 0, 512, log[0], log[1]) + b"kElS" + b"\0\0"
    b += struct.pack(">I", last) + struct.pack("<Ii", change, root)
    b += struct.pack("<60I", *starts) + struct.pack("<60I", *ends)
    assert len(b) == 512
    return b


def regions(layout):
    """layout: {class: (start, pages)}; empty classes follow the one below."""
    starts, ends, last = [0] * 60, [0] * 60, 0
    for i in range(1, 60):
        if i in layout:
            s, n = layout[i]
            starts[i], ends[i] = s, s + i * n
        else:
            starts[i] = ends[i] = last
        last = ends[i]
    return starts, ends


def count(v):
    out = bytearray()
    while v >= 128:
        out.append((v & 127) | 128)
        v >>= 7
    out.append(v)
    return bytes(out)


def compress(data):
    out, p, i, runs = bytearray(), 0, 0, False
    while i < len(data):
        r = 1
        while i + r < len(data) and data[i + r] == data[i]:
            r += 1
        if r >= 4:
            out += count(i + 1 - p) + data[p:i + 1] + count(r - 1)
            p, runs = i + r, True
        i += r
    if not runs:
        return None
    return bytes(out + count(len(data) - p) + data[p:])


def encode_records(records):
    out, prev, prev_k = bytearray(), b"", 0
    for n, (content, k) in enumerate(records):
        first = n == 0
        s = 0
        if not first:
            lim = min(len(prev), len(content), 63)
            while s < lim and prev[s] == content[s]:
                s += 1
        put_t = first or len(content) != len(prev)
        put_k = first or k != prev_k
        out.append((0x80 if put_t else 0) | (0x40 if put_k else 0) | s)
        if put_t:
            out += struct.pack("<H", len(content))
        if put_k:
            out += struct.pack("<H", k)
        out += content[s:]
        prev, prev_k = content, k
    return bytes(out)


def page(records, level=0, children=(), address=0, allow_compress=True):
    n = len(records)
    prefix_len = 13 + (4 * n if level else 0)
    body = encode_records(records)
    u = prefix_len + len(body)
    estimate = 13 + sum(len(c) + 5 for c, _ in records) + (4 * n if level else 0)
    packed = compress(body) if allow_compress else None
    ceil = lambda x: (x + 255) // 256 * 256
    if packed is not None and ceil(prefix_len + len(packed)) < ceil(u):
        stored, payload = prefix_len + len(packed), packed
    else:
        stored, payload = u, body
    prefix = struct.pack("<IHHHHB", 512 + 256 * address, stored, u, estimate, n, level)
    if level:
        prefix += struct.pack("<%di" % n, *children)
    img = prefix + payload
    return img + b"\xb0" * (ceil(stored) - stored)


def main():
    os.makedirs(OUT, exist_ok=True)
    seeds = {}
    s, e = regions({1: (0, 3), 2: (3, 2), 5: (9, 1), 59: (20, 2)})
    seeds["header_regions"] = b"\0" + header(s, e) + bytes([0, 1, 0, 2, 1, 2, 2 | (7 << 2), 1, 3, 0, 0, 59, 1, 5, 3, 0])
    s, e = regions({})
    seeds["header_empty"] = b"\0" + header(s, e, root=0, change=0) + bytes([0, 3, 0, 3, 1, 3])
    s, e = regions({1: (0, 1), 3: (40, 2)})
    seeds["header_gaps"] = b"\0" + header(s, e) + bytes([3, 0, 0, 3, 0, 2, 2 | (59 << 2), 1])
    bad = bytearray(header(*regions({2: (4, 1)})))
    bad[14] = ord("K")
    seeds["header_bad_signature"] = b"\0" + bytes(bad)

    leaf = [(b"", 0), (b"GOR\x00\x01Moscow", 5), (b"GOR\x00\x02Tver", 5), (b"GOR\x00\x03" + b"x" * 80, 5)]
    seeds["page_leaf"] = b"\1" + page(leaf, allow_compress=False)
    runs = [(b"", 0), (b"K" + b" " * 600, 1), (b"L" + b"\0" * 300 + b"abc", 1)]
    seeds["page_compressed"] = b"\1" + page(runs)
    shared = [(b"", 0), (b"p" * 70 + b"a", 71), (b"p" * 70 + b"b", 71)]
    seeds["page_shared_prefix"] = b"\1" + page(shared, allow_compress=False)
    inner = [(b"", 0), (b"m", 1), (b"t", 1)]
    seeds["page_inner"] = b"\1" + page(inner, level=1, children=(4, 9, 12), address=2)
    broken = bytearray(page(leaf, allow_compress=False))
    broken[13 + 1] = 0xFF  # first record's total length far too large
    seeds["page_bad_length"] = b"\1" + bytes(broken)

    body = b"ab" + b"c" * 200 + b"de"
    seeds["stream"] = b"\2" + struct.pack("<H", len(body)) + compress(body) + b"\0"
    seeds["stream_overrun"] = b"\2" + struct.pack("<H", 50) + bytes([1, 0x41, 0x80, 0x01])
    seeds["compress_runs"] = b"\3" + b"xxxx" + b"y" * 130 + b"zz" + bytes(range(64))

    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print("wrote %d seeds to %s" % (len(seeds), OUT), file=sys.stderr)


if __name__ == "__main__":
    main()
