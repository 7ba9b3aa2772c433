#!/usr/bin/env python3
"""Benchmark files, SIZE MiB each (default 256):
  text.txt     78-character lines, each ending in CR LF (read as V and as F 80)
  s370v.dat    80-byte records, each behind a 4-byte descriptor word
  binary.bin   bytes without structure (read as S pieces of 32 KiB)
and short.txt, 1 KiB of the same lines: a short file.
Usage: make_files.py FOLDER [SIZE_MIB]"""
import os
import sys

def write_repeated(path, unit, size):
    block = unit * max(1, (1 << 20) // len(unit))
    with open(path, "wb") as f:
        written = 0
        while written + len(block) <= size:
            f.write(block)
            written += len(block)
        rest = (size - written) // len(unit) * len(unit)
        f.write(unit * (rest // len(unit)))

def main(folder, mib):
    os.makedirs(folder, exist_ok=True)
    size = mib << 20
    line = bytes((0x41 + i % 26) for i in range(78)) + b"\r\n"
    write_repeated(os.path.join(folder, "text.txt"), line * 64, size)
    write_repeated(os.path.join(folder, "short.txt"), line, 1024)
    record = b"\x00\x54\x00\x00" + bytes((0x30 + i % 10) for i in range(80))
    write_repeated(os.path.join(folder, "s370v.dat"), record * 64, size)
    chunk = os.urandom(1 << 20)
    with open(os.path.join(folder, "binary.bin"), "wb") as f:
        for _ in range(mib):
            f.write(chunk)

if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) == 3 else 256)
