"""Turns the benchmark's JSON (Google Benchmark's and hyperfine's) into
docs/BENCHMARKS.md, and writes the data for the plot.

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
load = lambda name: json.loads((results / name).read_text())

def version(*command, line=0):
    run = subprocess.run(command, capture_output=True, text=True)
    return (run.stdout + run.stderr).splitlines()[line].strip()


cpu = next(line.split(":")[1].strip() for line in open("/proc/cpuinfo") if "model name" in line)

rows = []  # workload, processes, then milliseconds: sweep, the tool, fuser -m, lsof, floor
stack = {}  # KiB of stack one sweep touched, by workload
for bench in load("sweep.json")["benchmarks"]:
    if bench.get("aggregate_name") == "median":
        _, kind, processes = bench["run_name"].split("/")[:3]
        runs = load(f"{kind}-{processes}.json")["results"]
        ms = {run["command"]: run["median"] * 1000 for run in runs}
        whole = (ms["busyumount"], ms["fuser -m"], ms["lsof"], ms["floor"])
        rows.append((kind, int(processes), bench["real_time"], *whole))  # all in ms
        stack[kind] = max(stack.get(kind, 0), bench["stack_KiB"])
for kind in {row[0] for row in rows}:
    data = "".join(f"{r[1]} {r[2]} {r[4]} {r[5]}\n" for r in rows if r[0] == kind)
    (results / f"{kind}.dat").write_text(data)
free = load("free.json")["results"][0]

output.write_text(f"""# Benchmarks

Made by `scripts/bench.sh` on {date.today()}: {cpu}, {os.cpu_count()} cores,
Linux {platform.release()}; {version("fuser", "-V")}, lsof {version("lsof", "-v", line=1).split()[-1]},
{version("hyperfine", "-V")}. The numbers move with the machine; how they are
made: [TESTING.md](TESTING.md#benchmarks).

Each workload holds nothing under the mount, so every process goes through
every probe: **descriptors**, processes with 64 open files each; **maps**,
processes with 2,000 memory-map lines each, as on a phone; **phone**, shared
storage (a tmpfs on a shared tmpfs) that 150 app namespaces, slaves of the
benchmark's, show at a path of their own, with 88 lines in each table and
three processes with 64 open files in each, and four in the benchmark's
namespace; **threads**, processes with 64 open files and 40 threads each, as an
app has; **users**, of the phone's storage, processes each in a user
namespace of its own with a private mount namespace, as any user may make
them (`unshare -Urm sleep`), more than the 2,048 the sweep keeps apart.
*Sweep* is one call of `KillProcessesWithOpenFiles` (Google Benchmark),
which reads every table it needs afresh. The rest are whole
processes (hyperfine): *busyumount* is the tool without its pauses on a mount
that stays busy, so **six** sweeps, which read a table once; `fuser -m` and
`lsof -n -P -w` scan once. The *floor* is the least a sweep must read: six
passes over `/proc` that read each descriptor's link, cwd, root and exe, and
the whole memory map 64 KiB at a time, and judge nothing (`bench/floor.cpp`).
The whole processes are medians of 5 runs after one warmup, the sweeps of
3 repetitions. The last columns set the tool's six sweeps against six runs
of `fuser -m` and against the floor: below 1, the tool is the faster.

| workload | processes | sweep (ms) | per process (µs) | busyumount (ms) | fuser -m (ms) | lsof (ms) | floor (ms) | fuser / sweep | lsof / sweep | busyumount / 6 fuser | busyumount / floor |
|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|
""" + "".join(
    f"| {k} | {n} | {s:.1f} | {s * 1000 / n:.0f} | {t:.0f} | {f:.1f} | {l:.1f} | {o:.0f} "
    f"| {f / s:.2f} | {l / s:.2f} | {t / (6 * f):.2f} | {t / o:.2f} |\n"
    for k, n, s, t, f, l, o in rows) + f"""
![Time of one scan against the number of processes](sweep-time.png)

## Stack

One sweep, in a thread whose stack was filled with a pattern first, touched
at most """ + ", ".join(f"{v:.1f} KiB ({k})" for k, v in sorted(stack.items())) + f""" of
it, the thread's own data at its top included.

## Time to free a mount

The tool, pauses and all, on a tmpfs held by 50 processes that exit on
SIGTERM: median {free["median"]:.3f} s, from {free["min"]:.3f} s to {free["max"]:.3f} s over
{len(free["times"])} runs. Five pauses come before the first sweep; the sixth attempt
follows it at once, often before the signalled processes have exited, and
then the seventh frees the mount a pause later.
""")
