#!/usr/bin/env python3
"""Prints the sequence codec's comparison tables from lcsf_bench's JSON output.

    python3 bench/compare.py build/bench-results/lcsf_bench.json

Reading: the file object against its floor on the same bytes (the bare zstd/zlib
library on the same blocks, or memcpy for uncompressed files). Writing: the codec
against the zstd command-line tool at the same level. Playback: CPU time of a
paced 40 frames/s read. Each figure is the median of the program's repetitions.
Tables are Markdown, ready for docs/performance.md.
"""
import json
import sys

# Share of the floor's speed each read path must reach, and the CPU budget of
# paced playback in percent of one core.
READ_GOALS = {"zstd": 0.8, "zlib": 0.8, "none": 0.3}
PACED_GOAL_PERCENT = 3.0


def key_of(name):
    # "read/rainbow170k/zstd/iterations:3/repeats:3/real_time" -> ("read", "rainbow170k", "zstd")
    return tuple(p for p in name.split("/") if ":" not in p and p != "real_time")


def load(path):
    """Results by (kind, show[, compression]); the median of repeated runs when there is one."""
    with open(path) as f:
        doc = json.load(f)
    runs, medians = {}, {}
    for b in doc.get("benchmarks", []):
        key = key_of(b.get("run_name", b["name"]))
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[key] = b
        else:
            runs[key] = b
    for key, b in runs.items():
        if b.get("error_occurred"):
            medians[key] = b
    for key, b in medians.items():
        runs[key] = b
    return doc.get("context", {}), runs


def mbps(b):
    return b["bytes_per_second"] / 1e6 if b and "bytes_per_second" in b else None


def fmt(v, digits=0):
    if v is None:
        return "-"
    return f"{v:,.{digits}f}"


def failed(b):
    return b is not None and b.get("error_occurred")


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    context, r = load(sys.argv[1])
    shows = []
    for key in r:
        if len(key) >= 2 and key[1] not in shows:
            shows.append(key[1])

    missed = []
    print("Reading every frame in order (MB/s of channel data; frames/s)\n")
    print("| Show | Compression | File object MB/s | Frames/s | Floor | Floor MB/s | Share | Goal |")
    print("|---|---|---:|---:|---|---:|---:|---|")
    for show in shows:
        for comp in ("zstd", "zlib", "none"):
            read = r.get(("read", show, comp))
            if read is None:
                continue
            if comp == "none":
                floor_name, floor = "memcpy", r.get(("memcpy", show))
            else:
                floor_name, floor = f"bare {comp}", r.get(("bare", show, comp))
            if failed(read) or failed(floor):
                msg = (read or {}).get("error_message") or (floor or {}).get("error_message")
                print(f"| {show} | {comp} | failed: {msg} | | | | | |")
                missed.append(f"{show}/{comp}: benchmark failed")
                continue
            share = mbps(read) / mbps(floor) if mbps(read) and mbps(floor) else None
            goal = READ_GOALS[comp]
            verdict = "met" if share is not None and share >= goal else "MISSED"
            if verdict != "met":
                missed.append(f"{show}/{comp}: {fmt(share, 2)} of {floor_name} (goal {goal})")
            print(f"| {show} | {comp} | {fmt(mbps(read))} | {fmt(read.get('frames_per_second'))} | "
                  f"{floor_name} | {fmt(mbps(floor))} | {fmt(share, 2)} | >= {goal}: {verdict} |")

    print("\nWriting (MB/s of raw channel data; file size)\n")
    print("| Show | Writer | MB/s | Raw bytes | File bytes | Raw/file |")
    print("|---|---|---:|---:|---:|---:|")
    for show in shows:
        rows = [(f"codec {c}", r.get(("write", show, c))) for c in ("zstd", "zlib", "none")]
        rows.append(("zstd CLI (one stream)", r.get(("zstdcli", show))))
        for label, b in rows:
            if b is None:
                continue
            if failed(b):
                print(f"| {show} | {label} | failed: {b.get('error_message')} | | | |")
                continue
            raw, size = b.get("raw_bytes"), b.get("file_bytes")
            ratio = raw / size if raw and size else None
            print(f"| {show} | {label} | {fmt(mbps(b))} | {fmt(raw)} | {fmt(size)} | {fmt(ratio, 1)} |")

    paced = [(k, b) for k, b in r.items() if k[0] == "paced"]
    if paced:
        print("\nPlayback at 40 frames/s, 200 frames (process CPU time incl. the read-ahead thread)\n")
        print("| Show | Compression | CPU, % of one core | Goal |")
        print("|---|---|---:|---|")
        for key, b in paced:
            if failed(b):
                print(f"| {key[1]} | {key[2]} | failed: {b.get('error_message')} | |")
                missed.append(f"paced {key[1]}/{key[2]}: benchmark failed")
                continue
            pct = b.get("cpu_percent_of_one_core")
            verdict = "met" if pct is not None and pct < PACED_GOAL_PERCENT else "MISSED"
            if verdict != "met":
                missed.append(f"paced {key[1]}/{key[2]}: {fmt(pct, 2)} % of one core")
            print(f"| {key[1]} | {key[2]} | {fmt(pct, 2)} | < {PACED_GOAL_PERCENT}: {verdict} |")

    host = context.get("host_name", "?")
    print(f"\nMachine: {host}, {context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz, "
          f"run {context.get('date', '?')}")
    if missed:
        print("\nGoals missed:\n  " + "\n  ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
