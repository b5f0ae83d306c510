"""Runs wavwrap with one system call failing at a time, on every copy path,
and checks the tool's promise after each run:

- exit 0 only with a byte-exact output, and nothing printed;
- otherwise exit 1, a message that names the side that failed, no regular
  output file left behind, or the old output byte for byte as it was;
- nothing else left in the folder, ever;
- the input unchanged, always;
- interruptions (EINTR, EAGAIN), short counts and any failure of a kernel fast
  path (which hands over to the plain loop) end in a byte-exact success.

Usage: run_faults.py small|rf64 [--doc FILE]
The failures come from an LD_PRELOAD shim (tests/faults/shim.cpp) set by the
environment: WAVWRAP names a dynamically linked build, FAULT_SHIM the shim.
"""

import argparse
import collections
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from common import FORMATS, SKIP, samples, wav_form, wav_header  # noqa: E402

WAVWRAP = os.environ.get("WAVWRAP", "")
SHIM = os.environ.get("FAULT_SHIM", "")
RIFF_LIMIT = 0xFFFFFFFF - 36
FAST = ("copy_file_range", "sendfile", "splice")
MUST_SUCCEED = ("EINTR", "EAGAIN", "short")

FAULTS = {
    "read": ["EIO", "EINTR", "EAGAIN", "short", "zero"],
    "write": ["EIO", "ENOSPC", "EINTR", "EAGAIN", "short", "zero"],
    "pread": ["EIO", "EINTR", "short", "zero"],
    "pwrite": ["EIO", "ENOSPC", "EINTR", "short", "zero"],
    "copy_file_range": ["EIO", "ENOSPC", "EINTR", "EXDEV", "EINVAL", "ENOSYS", "EOPNOTSUPP",
                        "short", "zero"],
    "sendfile": ["EIO", "ENOSPC", "EINTR", "EAGAIN", "EINVAL", "ENOSYS", "short", "zero"],
    "splice": ["EIO", "ENOSPC", "EINTR", "EAGAIN", "EINVAL", "ENOSYS", "short", "zero"],
    "lseek": ["EIO"],
    "ftruncate": ["EIO", "EINTR"],
    "fstat": ["EIO"],
    "close": ["EIO", "EINTR"],
    "open_tmpfile": ["EOPNOTSUPP", "EACCES", "EIO"],
    "linkat": ["EIO", "ENOSPC", "EEXIST"],
    "renameat2": ["EIO", "EINVAL", "EEXIST"],
    "unlinkat": ["EIO"],
    "fsync": ["EIO"],
}
# The side a failure of each call must be reported on; None: either.
SIDE = {"read": "Can't read input", "write": "Can't write output", "pread": "Can't write output",
        "pwrite": "Can't write output", "ftruncate": "Can't write output",
        "close": "Can't write output", "linkat": "Can't write output",
        "renameat2": "Can't write output", "fsync": "Can't write output"}
OLD = b"the old output, which a failed run must keep"


class Path:
    def __init__(self, name, source, sink, plain=False, rf64=False, fmt="u8", channels=1,
                 old=False, sync=False):
        self.name, self.source, self.sink, self.plain, self.rf64 = name, source, sink, plain, rf64
        self.old, self.sync = old, sync
        self.fmt, self.channels = fmt, channels
        self.frame = FORMATS[fmt][0] * channels


SMALL = [Path("file to file", "file", "file"),
         Path("file over an old output, --fsync", "file", "file", old=True, sync=True), Path("file to pipe", "file", "pipe"),
         Path("pipe to file", "pipe", "file"), Path("pipe to pipe", "pipe", "pipe"),
         Path("plain loop, file to file", "file", "file", plain=True),
         Path("plain loop, pipe to file", "pipe", "file", plain=True),
         Path("plain loop, pipe to pipe", "pipe", "pipe", plain=True),
         # A converted format (the plain loop with a transform) and a stored one whose
         # header has the extensible fmt chunk and a fact chunk.
         Path("s24be stereo, file to file", "file", "file", fmt="s24be", channels=2),
         Path("s24be stereo, pipe to file", "pipe", "file", fmt="s24be", channels=2),
         Path("s16be stereo, pipe to pipe", "pipe", "pipe", fmt="s16be", channels=2),
         Path("f32le 3 channels, file to file", "file", "file", fmt="f32le", channels=3)]
RF64 = [Path("RF64, file to file", "file", "file", rf64=True),
        Path("RF64, pipe to file (data moved)", "pipe", "file", rf64=True)]


class Bench:
    """One folder with the input; runs the tool and judges each run."""

    def __init__(self, folder, rf64):
        self.dir = folder
        self.input = os.path.join(folder, "in.raw")
        self.output = os.path.join(folder, "out.wav")
        if rf64:
            self.length = RIFF_LIMIT + 1001
            with open(self.input, "wb") as f:
                f.write(b"head")
                f.truncate(self.length - 4)
                f.seek(self.length - 4)
                f.write(b"tail")
            self.data = None
        else:
            # An odd length for the default layout; whole frames of every other one.
            self.data = samples(300001)
            self.length = len(self.data)
            with open(self.input, "wb") as f:
                f.write(self.data)
            with open(os.path.join(folder, "frames.raw"), "wb") as f:
                f.write(self.data[:-1])
        st = os.stat(self.input)
        self.input_stamp = (st.st_size, st.st_mtime_ns)

    def data_for(self, path):
        return self.data if path.frame == 1 else self.data[:-1]

    def run(self, path, fault=None, counts=None):
        env = dict(os.environ, LD_PRELOAD=SHIM)
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        if fault:
            env["WAVWRAP_FAULT"] = fault
        if counts:
            env["WAVWRAP_FAULT_COUNTS"] = counts
        if path.plain:
            env["WAVWRAP_FAULT_NOFAST"] = "1"
        source = "in.raw" if path.frame == 1 else "frames.raw"
        args = [WAVWRAP, *(["--fsync"] if path.sync else []), "-f", path.fmt, "-c", str(path.channels),
                source if path.source == "file" else "-",
                "out.wav" if path.sink == "file" else "-", "8000"]
        if os.path.exists(self.output):
            os.unlink(self.output)
        if path.old:
            with open(self.output, "wb") as f:
                f.write(OLD)
        feeder = None
        stdin, data_in = subprocess.DEVNULL, None
        if path.source == "pipe":
            if self.data is not None:
                stdin, data_in = subprocess.PIPE, self.data_for(path)
            else:
                feeder = subprocess.Popen(["cat", self.input], stdout=subprocess.PIPE)
                stdin = feeder.stdout
        proc = subprocess.Popen(args, cwd=self.dir, env=env, stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if feeder:
            feeder.stdout.close()
        out, err = proc.communicate(data_in, timeout=1800 if path.rf64 else 60)
        if feeder:
            feeder.kill()
            feeder.wait()
        return proc.returncode, out, err

    def expected_header(self, path, n):
        streaming = path.source == "pipe" and path.sink == "pipe"
        return wav_header(8000, None if streaming else n, path.fmt, path.channels)

    def output_is(self, path, stdout, n):
        """True when the output is the exact conversion of the input's first n bytes."""
        header = self.expected_header(path, n)
        if path.sink == "pipe":
            return stdout == header + wav_form(path.fmt, self.data_for(path)[:n])
        if not os.path.exists(self.output):
            return False
        if self.data is not None:
            with open(self.output, "rb") as f:
                return f.read() == header + wav_form(path.fmt, self.data_for(path)[:n])
        if os.path.getsize(self.output) != len(header) + n:
            return False
        with open(self.output, "rb") as f:
            if f.read(len(header)) != header:
                return False
        skip = f"{len(header)}:0"
        return subprocess.run(["cmp", "-s", "-i", skip, self.output, self.input]).returncode == 0

    def judge(self, path, call, fault, result):
        """Returns (outcome, broken): a short name of what happened, and whether it breaks the promise."""
        status, stdout, stderr = result
        st = os.stat(self.input)
        if (st.st_size, st.st_mtime_ns) != self.input_stamp or (
                self.data is not None and open(self.input, "rb").read() != self.data):
            return "input changed", True
        length = len(self.data_for(path)) if self.data is not None else self.length
        left = set(os.listdir(self.dir)) - {"in.raw", "frames.raw", "out.wav", "counts"}
        if call == "unlinkat" and status == 0 and len(left) == 1:
            # The replaced file could not be removed: the run says where it is.
            hidden = left.pop()
            with open(os.path.join(self.dir, hidden), "rb") as f:
                kept = f.read() == OLD
            os.unlink(os.path.join(self.dir, hidden))
            warned = stdout.startswith(b"Warning: the replaced output is left as " +
                                       hidden.encode())
            if kept and warned and self.output_is(path, b"", length):
                return "ok, the old file left with a warning", False
            return "the old file left without a warning", True
        if left:
            return "files left in the folder: " + ", ".join(sorted(left)), True
        messages = stderr if path.sink == "pipe" else stdout + stderr
        must_succeed = fault in MUST_SUCCEED or call in FAST
        if status == 0:
            # A stream that reads zero bytes has ended: a shorter, exact conversion, with a
            # warning if it ended within a frame.
            if call == "read" and fault == "zero" and path.source == "pipe":
                produced = (len(stdout) if path.sink == "pipe" else os.path.getsize(
                    self.output)) - len(self.expected_header(path, 0))
                warning = (b"Warning: input ended within a frame: the last %d bytes are less "
                           b"than one %d-byte frame\n" % (produced % path.frame, path.frame)
                           if produced % path.frame else b"")
                if (0 <= produced < length and messages == warning
                        and self.output_is(path, stdout, produced)):
                    return "exact success, stream ended", False
            if messages:
                return "success with a message", True
            if self.output_is(path, stdout, length):
                return "exact success", False
            return "success with a wrong output", True
        if status != 1:
            return f"exit status {status}", True
        if call == "fsync" and messages.startswith(b"Can't flush the folder of the new output"):
            # --fsync's last step, after the swap: the new file is in place, and the run
            # says it could not make that durable.
            if self.output_is(path, stdout, length):
                return "new output in place, its folder's flush reported", False
            return "folder's flush reported, output wrong", True
        if path.sink == "file" and path.old:
            with open(self.output, "rb") as f:
                if f.read() != OLD:
                    return "failure lost the old output", True
        elif path.sink == "file" and os.path.exists(self.output):
            return "failure left an output file", True
        side = SIDE.get(call)
        named = messages.startswith(side.encode()) if side else messages.startswith(b"Can't")
        if not named:
            return "failure without the right message", True
        if must_succeed:
            return "failure where a retry or fallback was due", True
        return "failure reported, no output", False


POSITIONS = {"small": "first, second, third, middle, last but one, last",
             "rf64": "first and last, each run taking seconds"}


def positions(count, rf64):
    wanted = {1, count} if rf64 else {1, 2, 3, count // 2, count - 1, count}
    return sorted(p for p in wanted if 1 <= p <= count)


def faults_for(call, rf64):
    if not rf64:
        return FAULTS[call]
    return [f for f in ("EIO", "ENOSPC", "EINTR", "short") if f in FAULTS[call]]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=["small", "rf64"])
    parser.add_argument("--doc", help="write the results as a Markdown table to this file")
    options = parser.parse_args()
    if not (WAVWRAP and SHIM and os.path.exists(SHIM)):
        print("skipped: WAVWRAP and FAULT_SHIM must name the dynamic build and the shim")
        return SKIP
    rf64 = options.group == "rf64"
    paths = RF64 if rf64 else SMALL
    # The calls that RF64 adds; the rest is the same as on the small paths.
    rf64_calls = {"RF64, file to file": ("write", "copy_file_range"),
                  "RF64, pipe to file (data moved)": ("pread", "pwrite", "close")}

    table = collections.OrderedDict()
    runs = breaks = 0
    with tempfile.TemporaryDirectory(prefix="wavwrap-faults-") as folder:
        bench = Bench(folder, rf64)
        for path in paths:
            counts_file = os.path.join(folder, "counts")
            clean = bench.run(path, counts=counts_file)
            outcome, broken = bench.judge(path, None, None, clean)
            if broken:
                print(f"{path.name}: the clean run fails: {outcome}: status {clean[0]}, "
                      f"stderr {clean[2][:200]!r}")
                return 1
            with open(counts_file) as f:
                counts = {name: int(n) for name, n in (line.split() for line in f)}
            for call, count in counts.items():
                if count == 0 or (rf64 and call not in rf64_calls[path.name]):
                    continue
                if path.plain and call in FAST:
                    continue  # the shim already fails every one of them
                for fault in faults_for(call, rf64):
                    for nth in positions(count, rf64):
                        result = bench.run(path, fault=f"{call}:{fault}:{nth}")
                        outcome, broken = bench.judge(path, call, fault, result)
                        runs += 1
                        cell = table.setdefault((call, fault), {}).setdefault(
                            path.name, collections.Counter())
                        cell[outcome] += 1
                        if broken:
                            breaks += 1
                            print(f"BROKEN {path.name}: {call}:{fault}:{nth} of {count}: "
                                  f"{outcome}; status {result[0]}, "
                                  f"stderr {result[2][:200]!r}")
            print(f"{path.name}: done, {sum(counts.values())} calls in a clean run", flush=True)

    faults = len(table)
    summary = (f"{runs} runs, {faults} kinds of fault (call and failure), "
               f"{breaks} broken promises")
    print(summary)
    if options.doc:
        write_doc(options.doc, options.group, paths, table, summary)
    return 1 if breaks else 0


SHORT = {"exact success": "ok", "exact success, stream ended": "ok (ended)",
         "failure reported, no output": "failed safely"}


def write_doc(doc, group, paths, table, summary):
    names = [p.name for p in paths]
    lines = [f"# Fault injection: {'RF64 paths' if group == 'rf64' else 'every copy path'}", "",
             f"Written by `tests/faults/run_faults.py {group} --doc FILE`; see reliability.md.",
             "", summary + ".", "",
             "Each cell: what the runs with that fault at that call ended in, and how many runs "
             f"(one per position of the failing call: {POSITIONS[group]}). "
             "\"ok\": exit 0 with a byte-exact output. \"failed safely\": exit 1, the "
             "message names the side, no output file left, input unchanged. \"ok (ended)\": a "
             "stream read that returns 0 is the end of the stream; the output is the exact "
             "conversion of what came before. An empty cell: that path makes no such call.", "",
             "| call | fault | " + " | ".join(names) + " |",
             "|---|---|" + "---|" * len(names)]
    for (call, fault), cells in table.items():
        row = []
        for name in names:
            counter = cells.get(name)
            if not counter:
                row.append("")
                continue
            row.append(", ".join(f"{SHORT.get(o, o)} ×{n}" for o, n in counter.items()))
        lines.append(f"| {call} | {fault} | " + " | ".join(row) + " |")
    with open(doc, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    sys.exit(main())
