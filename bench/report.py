#!/usr/bin/env python3
"""Summarises bench/results/results.jsonl: min/median/max MB/s and records/s
per case and client, the ratio of the module to curl, to the reference
reader (and to ftplib in records/s), system calls per MiB, allocations per
record and memory; whole ftpam processes beside curl with their system calls
and output writes per MiB; the conditions of the run. Writes results.md and
chart.png. Usage: report.py RESULTS.jsonl FOLDER"""
import json
import os
import statistics
import sys
from collections import OrderedDict

def conditions_text(cond):
    if not cond:
        return "Conditions of the run not recorded."
    where = ("i386 ran **natively** on this kernel: times and ratios are real." if cond["i386"] == "native"
             else "i386 ran **under an emulator** (qemu-i386 user mode) while curl, Python and the "
                  "socket reader ran natively: times and ratios then measure the emulator as much as "
                  "the module; steer by the system calls, allocations, memory and the ratio to the "
                  "reference reader, which runs under the same emulator.")
    return ("%s Kernel %s, %d cores, load average at the start %s. Medians of %d runs, the "
            "clients of a case taking turns in each run." % (where, cond["kernel"], cond["cores"],
                                                               cond["load"], cond["runs"]))

def median(values):
    return statistics.median(values) if values else 0.0

def main(path, folder):
    rows = [json.loads(l) for l in open(path) if l.strip()]
    cond = next((r["conditions"] for r in rows if "conditions" in r), None)
    traces = {r["case"]: r for r in rows if r.get("client") == "strace"}
    rows = [r for r in rows if "seconds" in r]
    groups = OrderedDict()
    for r in rows:
        groups.setdefault((r["case"], r["client"]), []).append(r)

    def rate(r):
        return r["bytes"] / r["seconds"] / 1e6 if r["seconds"] > 0 else 0.0

    def rrate(r):
        return r["records"] / r["seconds"] if r["seconds"] > 0 else 0.0

    def per_mib(r, *keys):
        mib = r["bytes"] / (1 << 20)
        return sum(r.get(k, 0) for k in keys) / mib if mib else 0.0

    summary = OrderedDict()
    for key, rs in groups.items():
        mbs = sorted(rate(r) for r in rs)
        summary[key] = {
            "mb": (mbs[0], median(mbs), mbs[-1]),
            "rec": median([rrate(r) for r in rs]),
            "seconds": median([r["seconds"] for r in rs]),
            "cpu_ms_mib": median([r["cpu_seconds"] * 1000 / (r["bytes"] / (1 << 20))
                                  for r in rs if "cpu_seconds" in r and r["bytes"]]),
            "alloc": max(r.get("allocations_per_record", 0) for r in rs),
            "rss": max(r.get("peak_rss_kb", 0) for r in rs),
            "module_kb": max(r.get("module_peak_kb", 0) for r in rs),
            "calls": median([per_mib(r, "sys_reads", "sys_polls", "sys_writes", "sys_others",
                                     "host_waits") for r in rs]),
            "waits": median([per_mib(r, "host_waits") for r in rs]),
            "runs": len(rs),
            "has_calls": any("sys_reads" in r for r in rs),
        }

    module_lines = ["| case | client | MB/s min / median / max | records/s | vs curl | vs reference reader | "
                    "CPU ms per MiB (vs reference) | "
                    "system calls per MiB (host waits) | allocations per record | module peak (KiB) | "
                    "peak RSS (MiB) |", "|---|---|---|---|---|---|---|---|---|---|---|"]
    process_lines = ["| case (whole process) | client | seconds (median) | MB/s | ratio (curl's time / ours) | "
                     "peak RSS (MiB) | system calls per MiB | output writes per MiB |",
                     "|---|---|---|---|---|---|---|---|"]
    for (case, client), s in summary.items():
        curl = summary.get((case, "curl"))
        ref = summary.get((case, "reference"))
        ftplib = summary.get((case, "ftplib"))
        if case.startswith("process:"):
            ratio = "%.2f" % (curl["seconds"] / s["seconds"]) if client == "ftpam" and curl else ""
            t = traces.get(case) if client == "ftpam" else None
            mib = (max(r["bytes"] for r in groups[(case, client)]) / (1 << 20)) or 1
            process_lines.append("| %s | %s | %.3f | %.0f | %s | %s | %s | %s |" % (
                case[len("process: "):], client, s["seconds"], s["mb"][1], ratio,
                "%.1f" % (s["rss"] / 1024) if s["rss"] else "",
                "%.1f" % (t["syscalls"] / mib) if t else "",
                "%.1f" % (t["output_writes"] / mib) if t and "get" in case else ""))
            continue
        vs_curl = ""
        if client in ("ftpam", "reference") and curl and curl["mb"][1]:
            vs_curl = "%.2f×" % (s["mb"][1] / curl["mb"][1])
        if client == "ftpam" and ftplib and ftplib["rec"]:
            vs_curl += " (%.1f× ftplib records/s)" % (s["rec"] / ftplib["rec"])
        vs_ref = "%.2f×" % (s["mb"][1] / ref["mb"][1]) if client == "ftpam" and ref and ref["mb"][1] else ""
        cpu = ""
        if s["cpu_ms_mib"]:
            cpu = "%.2f" % s["cpu_ms_mib"]
            if client == "ftpam" and ref and ref["cpu_ms_mib"]:
                cpu += " (%.2f×)" % (ref["cpu_ms_mib"] / s["cpu_ms_mib"])
        module_lines.append("| %s | %s | %.0f / %.0f / %.0f | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            case, client, s["mb"][0], s["mb"][1], s["mb"][2],
            "%.0f" % s["rec"] if s["rec"] else "", vs_curl, vs_ref, cpu,
            "%.1f (%.1f)" % (s["calls"], s["waits"]) if s["has_calls"] else "",
            "%.4f" % s["alloc"] if client == "ftpam" else "",
            "%.0f" % s["module_kb"] if client == "ftpam" else "",
            "%.1f" % (s["rss"] / 1024) if s["rss"] else ""))
    table = "\n".join(module_lines)
    ptable = "\n".join(process_lines)
    with open(os.path.join(folder, "results.md"), "w") as f:
        f.write("# Benchmark results\n\n%.0f MiB files, vsftpd on loopback.\n\n%s\n\n"
                "## The module through the reference host\n\nTimes are of the transfer alone "
                "(after open); the processor time (user and system) per MiB is the steadier figure on a busy machine, and its ratio to the reference reader's is the speed ratio it implies. System calls are those of the socket layer, counted through its "
                "system-call table, plus the host's event waits (one poll each); the module's "
                "peak is the most its host-pool blocks held at once. The line cases (V, STOR V) run "
                "TYPE A for curl too (;type=a), the others TYPE I. The reference reader copies "
                "each record into its record buffer; the module, asked as the reference host "
                "asks (XXAMINPL), hands a record that lies whole in its read buffer back from "
                "there, and copies it into the record buffer in the cases marked copied. The "
                "short file and the listing show what the module takes of the host's pool for "
                "little data.\n\n%s\n\n"
                "## Whole processes\n\nLog-in included for both; system calls and writes to "
                "standard output from one more run under strace -f.\n\n%s\n" % (
                    cond["mib"] if cond else max(r["bytes"] for r in rows) / (1 << 20), conditions_text(cond), table, ptable))
    print(table)
    print()
    print(ptable)

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    summary = OrderedDict((k, v) for k, v in summary.items() if not k[0].startswith("process:"))
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
