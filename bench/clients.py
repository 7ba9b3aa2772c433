#!/usr/bin/env python3
"""Other FTP clients for the benchmarks, each printing one JSON line like
ftpam_bench: the time, records and bytes of one transfer.

  clients.py ftplib-lines ADDRESS USER PASSWORD REMOTE   Python ftplib retrlines, active mode
  clients.py socket-read  ADDRESS USER PASSWORD REMOTE   a plain socket reader (TYPE I, 1 MiB reads)
  clients.py curl-get     ADDRESS USER PASSWORD REMOTE [a]
  clients.py curl-put     ADDRESS USER PASSWORD REMOTE LOCAL [a]
  clients.py process      BYTES STDIN COMMAND...               a whole process, as a user runs it:
                           standard input from STDIN (- for none), standard output thrown away
  clients.py strace       COMMAND...                            system calls of a whole process
                           (strace -f), per kind, and the writes to standard output
"""
import ftplib
import json
import subprocess
import sys
import time

def emit(seconds, records, nbytes):
    print(json.dumps({"seconds": seconds, "records": records, "bytes": nbytes}))

def login(address, user, password):
    ftp = ftplib.FTP()
    ftp.connect(address, 21, timeout=600)
    ftp.login(user, password)
    ftp.set_pasv(False)
    return ftp

def ftplib_lines(address, user, password, remote):
    ftp = login(address, user, password)
    count = [0, 0]
    def line(text):
        count[0] += 1
        count[1] += len(text)
    start = time.perf_counter()
    ftp.retrlines("RETR " + remote, line)
    seconds = time.perf_counter() - start
    ftp.quit()
    emit(seconds, count[0], count[1])

def socket_read(address, user, password, remote):
    ftp = login(address, user, password)
    ftp.voidcmd("TYPE I")
    buffer = bytearray(1 << 20)
    view = memoryview(buffer)
    total = 0
    start = time.perf_counter()
    with ftp.transfercmd("RETR " + remote) as conn:
        while True:
            n = conn.recv_into(view)
            if not n:
                break
            total += n
    ftp.voidresp()
    seconds = time.perf_counter() - start
    ftp.quit()
    emit(seconds, 0, total)

def curl(args):
    # The transfer's own time: from the end of the log-in and set-up commands
    # (pre-transfer) to the end, as ftpam_bench times its read loop after open.
    out = subprocess.run(["curl", "-s", "-S", "-P", "127.0.0.1", "-w",
                          "%{time_total} %{time_pretransfer} %{size_download} %{size_upload}"]
                         + args, check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]) - float(out[1]), int(out[2]), int(out[3])

def curl_get(address, user, password, remote, ascii_mode=""):
    url = "ftp://%s/%s" % (address, remote) + (";type=a" if ascii_mode == "a" else "")
    seconds, down, _ = curl(["-u", "%s:%s" % (user, password), "-o", "/dev/null", url])
    emit(seconds, 0, down)

def curl_put(address, user, password, remote, local, ascii_mode=""):
    url = "ftp://%s/%s" % (address, remote) + (";type=a" if ascii_mode == "a" else "")
    seconds, _, up = curl(["-u", "%s:%s" % (user, password), "-T", local, url])
    emit(seconds, 0, up)

def process(nbytes, stdin, *command):
    # The whole run, log-in and set-up included: what a user waits for; and
    # the most memory the process held (its peak resident size).
    import resource
    source = subprocess.DEVNULL if stdin == "-" else open(stdin, "rb")
    start = time.perf_counter()
    subprocess.run(list(command), stdin=source, stdout=subprocess.DEVNULL, check=True)
    seconds = time.perf_counter() - start
    peak_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print(json.dumps({"seconds": seconds, "records": 0, "bytes": int(nbytes), "peak_rss_kb": peak_kb}))

def strace(*command):
    import collections
    import os
    import re
    import tempfile
    with tempfile.TemporaryDirectory() as folder:
        log = os.path.join(folder, "log")
        subprocess.run(["strace", "-f", "-qq", "-o", log] + list(command),
                       stdout=subprocess.DEVNULL, check=True)
        kinds = collections.Counter()
        output_writes = 0
        for line in open(log, errors="replace"):
            m = re.match(r"(?:\d+ +)?(\w+)\(", line)
            if not m:  # resumed calls, signals, exits
                continue
            kinds[m.group(1)] += 1
            if re.match(r"(?:\d+ +)?write\(1,", line):
                output_writes += 1
    print(json.dumps({"syscalls": sum(kinds.values()), "output_writes": output_writes,
                      "by_kind": dict(kinds.most_common(8))}))

if __name__ == "__main__":
    commands = {"ftplib-lines": ftplib_lines, "socket-read": socket_read,
                "curl-get": curl_get, "curl-put": curl_put, "process": process,
                "strace": strace}
    if len(sys.argv) < 3 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    commands[sys.argv[1]](*sys.argv[2:])
