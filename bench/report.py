"""Turns the benchmark's JSON (Google Benchmark's and hyperfine's) into
docs/BENCHMARKS.md, and writes the data the plot is made of.

    python3 bench/report.py RESULTS_DIR OUTPUT_MD
"""
import json
import os
import platform
import subprocess
import sys
from datetime import date
from pathlib import Path

results, output = Path(sys.argv[1]), Path(sys.argv[2])


def version(*command, line=0):
    run = subprocess.run(command, capture_output=True, text=True)
    return (run.stdout + run.stderr).strip().splitlines()[line].strip()


cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if "model name" in line)


sweep = {}  # (kind, processes) -> median ms of one sweep
for bench in json.loads((results / "sweep.json").read_text())["benchmarks"]:
    if bench.get("aggregate_name") == "median":
        _, kind, processes = bench["run_name"].split("/")[:3]
        sweep[kind, int(processes)] = bench["real_time"]

rows = []
for (kind, processes), ms in sorted(sweep.items()):
    runs = json.loads((results / f"{kind}-{processes}.json").read_text())["results"]
    median = {run["command"]: run["median"] * 1000 for run in runs}
    rows.append((kind, processes, ms, median["busyumount"], median["fuser -m"], median["lsof"]))
for kind in {row[0] for row in rows}:
    (results / f"{kind}.dat").write_text(
        "".join(f"{row[1]} {row[2]} {row[4]} {row[5]}\n" for row in rows if row[0] == kind))
free = json.loads((results / "free.json").read_text())["results"][0]

lines = [
    "# Benchmarks",
    "",
    f"Made by `scripts/bench.sh` on {date.today()}: {cpu}, {os.cpu_count()} cores,",
    f"Linux {platform.release()}, {version('fuser', '-V')}, lsof"
    f" {version('lsof', '-v', line=1).split()[-1]}, {version('hyperfine', '--version')}.",
    "The numbers move with the machine: run the command again to see them on",
    "yours. How they are made: [TESTING.md](TESTING.md#benchmarks).",
    "",
    "Two workloads, in a private PID namespace, hold nothing under a tmpfs mount,",
    "so every process goes through every probe: **descriptors**, processes with",
    "64 open files each, and **maps**, processes with 2,000 memory-map lines each",
    "(a phone's apps have thousands). *Sweep* is one call of",
    "`KillProcessesWithOpenFiles` (Google Benchmark, median of 3). The other",
    "columns are whole processes (hyperfine, median of 3): *busyumount* is the",
    "tool with its pauses removed on a mount that stays busy, so ten attempts and",
    "**six** sweeps; `fuser -m` and `lsof -n -P -w` scan once.",
    "",
    "| workload | processes | sweep (ms) | per process (µs) | busyumount, 6 sweeps (ms) "
    "| fuser -m (ms) | lsof (ms) | fuser / sweep | lsof / sweep |",
    "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
]
for kind, processes, ms, tool, fuser, lsof in rows:
    lines.append(f"| {kind} | {processes} | {ms:.1f} | {ms * 1000 / processes:.0f} | {tool:.1f} "
                 f"| {fuser:.1f} | {lsof:.1f} | {fuser / ms:.2f} | {lsof / ms:.2f} |")
lines += [
    "",
    "![Time of one scan against the number of processes](sweep-time.png)",
    "",
    "## Time to free a mount",
    "",
    "The tool, pauses and all, on a tmpfs held by 50 processes (working",
    "directory) that exit on SIGTERM. Five pauses come before the first sweep;",
    "the sixth attempt follows the sweep at once, often before the signalled",
    "processes have exited, and then the seventh frees the mount a pause later.",
    "",
    f"- median {free['median']:.3f} s, from {free['min']:.3f} s to {free['max']:.3f} s"
    f" over {len(free['times'])} runs",
    "",
]
output.write_text("\n".join(lines))
