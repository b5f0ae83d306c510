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
file_tools = [t for t in tools if not t.startswith("pipe_") and "_s16" not in t]
layout_tools = [t for t in tools if "_s16" in t]
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
if layout_tools:
    lines += ["", "16-bit stereo at 48000 Hz, file to file; the floor is `cp` of the same bytes. "
              "s16le is stored as it is; s16be is converted to little-endian by every tool:", "",
              *table(layout_tools, lambda tool: "cp")]
    if "sox_s16be" in tools or "ffmpeg_s16be" in tools:
        lines += ["", "Converting s16be, the peers against wavwrap (higher: wavwrap is faster):",
                  "", "| peer / wavwrap | " + " | ".join(sizes) + " |",
                  "|---|" + "---|" * len(sizes)]
        for peer in ("sox_s16be", "ffmpeg_s16be"):
            if peer in tools:
                lines.append(f"| {peer} | " + " | ".join(
                    f"{median(s, peer) / median(s, 'wavwrap_s16be'):.1f} x" for s in sizes) + " |")
kernels = os.path.join(work, "kernels.txt")
if os.path.exists(kernels):
    with open(kernels) as f:
        rates = [line.split() for line in f if line.strip()]
    lines += ["", "The conversion kernels alone, on one 128 KiB buffer warm in the cache "
              "(`bench/kernels.cpp`, GB/s; a page-cached copy runs at about 4 GB/s here):", "",
              "| " + " | ".join(name for name, _ in rates) + " |",
              "|" + "---|" * len(rates),
              "| " + " | ".join(rate for _, rate in rates) + " |"]
if pipe_tools:
    lines += ["", "Pipes; the floor is the same pipeline with `cat` in wavwrap's place:", "",
              *table(pipe_tools, lambda tool: FLOORS.get(tool, tool))]
lines += ["", "Commands (8000 Hz, u8 mono, unless they say otherwise):", "",
          "- wavwrap: `wavwrap IN OUT 8000`",
          "- cp: `cp IN OUT`",
          "- cat: `sh -c 'cat IN > OUT'` (includes starting a shell)",
          "- naive_stdio: `bench/naive_stdio.c`, one fread and one fwrite of one byte per sample",
          "- sox: `sox -t u8 -r 8000 -c 1 IN -t wav OUT`",
          "- ffmpeg: `ffmpeg -f u8 -ar 8000 -ac 1 -i IN -c:a pcm_u8 -f wav OUT`",
          "- wavwrap_s16le, wavwrap_s16be: `wavwrap -f s16le -c 2 IN OUT 48000`, and `-f s16be`",
          "- sox_s16be: `sox -t raw -e signed-integer -b 16 -B -c 2 -r 48000 IN -t wav OUT`",
          "- ffmpeg_s16be: `ffmpeg -f s16be -ar 48000 -ac 2 -i IN -c:a pcm_s16le -f wav OUT`",
          "- pipe_in_wavwrap: `sh -c 'cat IN | wavwrap - OUT 8000'`; pipe_in_cat: "
          "`sh -c 'cat IN | cat > OUT'`",
          "- pipe_out_wavwrap: `sh -c 'wavwrap IN - 8000 | cat > /dev/null'`; pipe_out_cat: "
          "`sh -c 'cat IN | cat > /dev/null'`"]
if rss.strip():
    lines += ["", "Peak resident size of wavwrap (GNU time): " +
              ", ".join(f"{s}: {k} KiB" for s, k in (p.split("=") for p in rss.split())) + "."]
if notes.strip():
    lines += [""] + [f"Note: {n}" for n in notes.splitlines() if n.strip()]
lines += ["", "A real disk, beside this tmpfs: [bench-disk.md](bench-disk.md)."]
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
