#!/usr/bin/env python3
"""Summarises bench/results/results.jsonl: min/median/max MB/s and records/s
per case and client, the ratio of the module to curl (and to ftplib in
records/s), allocations per record and peak RSS; writes results.md and
chart.png. Usage: report.py RESULTS.jsonl FOLDER"""
import json
import os
import statistics
import sys
from collections import OrderedDict

# Where the run happened matters more than anything else in the table.
CONDITIONS = (
    "The module, the reference host and ftpam_bench are i386 programs. Where the kernel "
    "cannot run i386 code (as on the machine these results come from) they run under "
    "qemu-i386 user-mode emulation, while curl, Python and the socket reader run natively: "
    "the ratios then measure the emulator as much as the module. Instructions per record "
    "(callgrind) are not reported there: valgrind cannot run i386 programs under qemu.")

def main(path, folder):
    rows = [json.loads(l) for l in open(path) if l.strip()]
    groups = OrderedDict()
    for r in rows:
        groups.setdefault((r["case"], r["client"]), []).append(r)

    def rate(r):
        return r["bytes"] / r["seconds"] / 1e6 if r["seconds"] > 0 else 0.0

    def rrate(r):
        return r["records"] / r["seconds"] if r["seconds"] > 0 else 0.0

    summary = OrderedDict()
    for key, rs in groups.items():
        mbs = sorted(rate(r) for r in rs)
        recs = sorted(rrate(r) for r in rs)
        summary[key] = {
            "mb": (mbs[0], statistics.median(mbs), mbs[-1]),
            "rec": (recs[0], statistics.median(recs), recs[-1]),
            "alloc": max(r.get("allocations_per_record", 0) for r in rs),
            "rss": max(r.get("peak_rss_kb", 0) for r in rs),
            "runs": len(rs),
        }

    lines = ["| case | client | MB/s min / median / max | records/s (median) | vs curl | "
             "allocations per record | peak RSS (MiB) |",
             "|---|---|---|---|---|---|---|"]
    for (case, client), s in summary.items():
        curl = summary.get((case, "curl"))
        ratio = ""
        if client == "ftpam" and curl:
            ratio = "%.2f×" % (s["mb"][1] / curl["mb"][1]) if curl["mb"][1] else ""
        ftplib = summary.get((case, "ftplib"))
        if client == "ftpam" and ftplib and ftplib["rec"][1]:
            ratio += " (%.1f× ftplib records/s)" % (s["rec"][1] / ftplib["rec"][1])
        lines.append("| %s | %s | %.0f / %.0f / %.0f | %s | %s | %s | %s |" % (
            case, client, s["mb"][0], s["mb"][1], s["mb"][2],
            "%.0f" % s["rec"][1] if s["rec"][1] else "",
            ratio,
            "%.4f" % s["alloc"] if client == "ftpam" else "",
            "%.1f" % (s["rss"] / 1024) if s["rss"] else ""))
    table = "\n".join(lines)
    with open(os.path.join(folder, "results.md"), "w") as f:
        f.write("# Benchmark results\n\n%d runs per row, %.0f MiB files, vsftpd on loopback.\n\n"
                "%s\n\n%s\n" % (max(s["runs"] for s in summary.values()),
                                 max(r["bytes"] for r in rows) / (1 << 20), CONDITIONS, table))
    print(table)

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    labels = ["%s / %s" % k for k in summary]
    values = [s["mb"][1] for s in summary.values()]
    colors = ["#3b6ea5" if k[1] == "ftpam" else "#999999" for k in summary]
    fig, ax = plt.subplots(figsize=(9, 0.35 * len(labels) + 1.2))
    ax.barh(labels[::-1], values[::-1], color=colors[::-1])
    ax.set_xlabel("MB/s (median)")
    ax.set_title("ftpam (blue) and other FTP clients against vsftpd on loopback")
    fig.tight_layout()
    fig.savefig(os.path.join(folder, "chart.png"), dpi=100)

if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
