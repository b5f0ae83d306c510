"""Turns bench/run's hyperfine results into docs/bench.md and docs/bench.dat.

Usage: report.py WORK_DIR DOCS_DIR "SIZES" "TOOLS" "SIZE=KIB ..." "NOTES"
"""

import datetime
import json
import os
import platform
import sys

work, docs, sizes, tools, rss, notes = sys.argv[1:7]
sizes, tools = sizes.split(), tools.split()
UNITS = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def nbytes(size):
    return int(size[:-1]) * UNITS[size[-1]]


def median(size, tool):
    path = os.path.join(work, f"{size}-{tool}.json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)["results"][0]["median"]


def show(seconds):
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


FLOORS = {"pipe_in_wavwrap": "pipe_in_cat", "pipe_out_wavwrap": "pipe_out_cat"}
file_tools = [t for t in tools if not t.startswith("pipe_")]
pipe_tools = [t for t in tools if t.startswith("pipe_")]


def table(rows, floor_of):
    out = ["| tool | " + " | ".join(sizes) + " |", "|---|" + "---|" * len(sizes)]
    for tool in rows:
        cells = []
        for size in sizes:
            t, floor = median(size, tool), median(size, floor_of(tool))
            cells.append("—" if t is None else f"{show(t)} ({t / floor:.2f} x)")
        out.append(f"| {tool} | " + " | ".join(cells) + " |")
    return out


lines = [
    "# Benchmark",
    "",
    f"{datetime.date.today()}, on one machine: {os.cpu_count()} cores, "
    f"Linux {platform.release()}. Inputs are page-cached random bytes; output goes to the same "
    "folder (tmpfs unless BENCH_DIR says otherwise). Each cell: median wall time of the whole "
    "process (hyperfine), and in brackets the ratio to the floor (lower is better).",
    "",
    "File to file; the floor is `cp` of the same bytes:",
    "",
    *table(file_tools, lambda tool: "cp"),
]
if pipe_tools:
    lines += ["", "Pipes; the floor is the same pipeline with `cat` in wavwrap's place:", "",
              *table(pipe_tools, lambda tool: FLOORS.get(tool, tool))]
lines += ["", "Commands (8000 Hz, u8 mono):", "",
          "- wavwrap: `wavwrap IN OUT 8000`",
          "- cp: `cp IN OUT`",
          "- cat: `sh -c 'cat IN > OUT'` (includes starting a shell)",
          "- naive_stdio: `bench/naive_stdio.c`, one fread and one fwrite of one byte per sample",
          "- sox: `sox -t u8 -r 8000 -c 1 IN -t wav OUT`",
          "- ffmpeg: `ffmpeg -f u8 -ar 8000 -ac 1 -i IN -c:a pcm_u8 -f wav OUT`",
          "- pipe_in_wavwrap: `sh -c 'cat IN | wavwrap - OUT 8000'`; pipe_in_cat: "
          "`sh -c 'cat IN | cat > OUT'`",
          "- pipe_out_wavwrap: `sh -c 'wavwrap IN - 8000 | cat > /dev/null'`; pipe_out_cat: "
          "`sh -c 'cat IN | cat > /dev/null'`"]
if rss.strip():
    lines += ["", "Peak resident size of wavwrap (GNU time): " +
              ", ".join(f"{s}: {k} KiB" for s, k in (p.split("=") for p in rss.split())) + "."]
if notes.strip():
    lines += [""] + [f"Note: {n}" for n in notes.splitlines() if n.strip()]
lines += ["", "Rerun: `bench/run` (about ten minutes; `BENCH_SIZES=\"1K 1M\" bench/run` for a "
          "quick look).", ""]
with open(os.path.join(docs, "bench.md"), "w") as f:
    f.write("\n".join(lines))

# Throughput in MiB/s, one column per tool, for the plot.
with open(os.path.join(docs, "bench.dat"), "w") as f:
    f.write("bytes " + " ".join(tools) + "\n")
    for size in sizes:
        row = [str(nbytes(size))]
        for tool in tools:
            t = median(size, tool)
            row.append("NaN" if t is None else f"{nbytes(size) / t / (1 << 20):.3f}")
        f.write(" ".join(row) + "\n")
