#!/usr/bin/env python3
"""Writes a small set of example files, one per record format, into a folder:

  lines.txt      text lines ending in CR LF          (V, the default)
  lines-lf.txt   text lines ending in LF             (V with TERMSTR=LF)
  fixed.dat      80-byte records, no separators      (RECFM=F LRECL=80)
  report.ccf     80-byte records, the first byte a carriage-control character
  stream.bin     bytes without any record structure  (RECFM=S)
  records.s370v  records with 4-byte descriptor words (S370V)
  records.s370vs records split into segments          (S370VS)
  mget/          three small files for listings and MGET

Usage: make-demo-files.py FOLDER
"""
import os
import struct
import sys

def rdw(data, code=0):
    return struct.pack(">HBB", len(data) + 4, code, 0) + data

def main(folder):
    os.makedirs(os.path.join(folder, "mget"), exist_ok=True)
    w = lambda name, data: open(os.path.join(folder, name), "wb").write(data)

    lines = [b"Line %d of the example text file." % i for i in range(1, 6)]
    w("lines.txt", b"".join(l + b"\r\n" for l in lines))
    w("lines-lf.txt", b"".join(l + b"\n" for l in lines))

    fixed = [(b"%-10s %-20s %8d" % (b"REC%03d" % i, b"fixed-length record", i * 100)).ljust(80)
             for i in range(1, 6)]
    w("fixed.dat", b"".join(fixed))

    cc = [b"1" + b"REPORT TITLE".ljust(79), b" " + b"first line".ljust(79),
          b"0" + b"after a blank line".ljust(79)]
    w("report.ccf", b"".join(cc))

    w("stream.bin", bytes(range(256)))

    w("records.s370v", b"".join(rdw(b"variable record %d" % i + b"." * i) for i in range(1, 5))
      + rdw(b""))

    # One complete record, then one record in three segments (first, middle, last).
    w("records.s370vs", rdw(b"a complete record", 0) + rdw(b"first part, ", 1)
      + rdw(b"middle part, ", 3) + rdw(b"last part", 2))

    for name, text in (("alpha.txt", b"alpha\r\n"), ("beta.txt", b"beta\r\n"),
                       ("gamma.txt", b"gamma\r\n")):
        open(os.path.join(folder, "mget", name), "wb").write(text)

if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
