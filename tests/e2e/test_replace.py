"""What survives what: outputs appear whole or not at all, old outputs are kept
after failures and signals, and a recording stopped by a signal is kept whole."""

import hashlib
import os
import signal
import stat
import subprocess
import sys
import time
import wave

from common import WAVWRAP, ToolTest, main, riff_header, samples

# A recorder that feeds the pipeline a known pattern, a little at a time, until stopped.
RECORDER = """
import os, sys, time
sys.path.insert(0, {common!r})
from common import samples
pattern = samples(1 << 20)
at = 0
while True:
    os.write(1, pattern[at:at + 4096])
    at = (at + 4096) % len(pattern)
    time.sleep(0.0005)
"""


def hidden(listing):
    return [name for name in listing if name.startswith(".")]


class Recording(ToolTest):
    def test_a_signal_to_the_pipeline_ends_the_recording_and_keeps_it(self):
        common = os.path.dirname(os.path.abspath(__file__))
        pattern = samples(1 << 20)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                # As a shell runs `recorder | wavwrap - rec.wav 8000`, in a group of its own.
                recorder = subprocess.Popen([sys.executable, "-c", RECORDER.format(common=common)],
                                            stdout=subprocess.PIPE, process_group=0)
                tool = subprocess.Popen([WAVWRAP, "-", "rec.wav", "8000"], cwd=self.dir,
                                        stdin=recorder.stdout, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, process_group=recorder.pid)
                recorder.stdout.close()
                while not os.path.exists(self.path("rec.wav")) or \
                        os.path.getsize(self.path("rec.wav")) < 44 + 200000:
                    time.sleep(0.01)
                os.killpg(recorder.pid, sig)
                out, err = tool.communicate(timeout=60)
                recorder.wait(timeout=60)
                self.assertEqual((tool.returncode, out, err), (0, b"", b""))
                data = self.read("rec.wav")[44:]
                self.assertGreaterEqual(len(data), 200000)
                self.assertEqual(self.read("rec.wav")[:44], riff_header(8000, len(data)))
                # Every byte received, in order: a prefix of the endless pattern.
                whole = pattern * (len(data) // len(pattern) + 1)
                self.assertTrue(data == whole[:len(data)], "the recording differs")
                with wave.open(self.path("rec.wav"), "rb") as w:
                    self.assertEqual(w.readframes(w.getnframes()), data)
                os.unlink(self.path("rec.wav"))


class Replacement(ToolTest):
    def test_the_replaced_file_keeps_its_mode_and_links_stay_links(self):
        data = samples(5000)
        self.write("in.raw", data)
        expected = riff_header(8000, len(data)) + data
        self.write("out.wav", b"old")
        os.chmod(self.path("out.wav"), 0o640)
        self.write("target.wav", b"old target")
        os.symlink("target.wav", self.path("link.wav"))
        for output in ("out.wav", "link.wav"):
            with self.subTest(output=output):
                self.assertOutcome(self.run_tool("in.raw", output, "8000"), 0, b"")
                self.assertEqual(self.read(output), expected)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("out.wav")).st_mode), 0o640)
        self.assertTrue(os.path.islink(self.path("link.wav")))
        self.assertEqual(self.read("target.wav"), expected)
        self.assertEqual(self.listing(), ["in.raw", "link.wav", "out.wav", "target.wav"])

    def test_a_file_with_other_hard_links_is_rewritten_where_it_is(self):
        data = samples(5000)
        self.write("in.raw", data)
        self.write("out.wav", b"old")
        os.link(self.path("out.wav"), self.path("other.wav"))
        self.assertOutcome(self.run_tool("in.raw", "out.wav", "8000"), 0, b"")
        # Both names still share one file, which holds the new content.
        self.assertEqual(os.stat(self.path("out.wav")).st_ino, os.stat(self.path("other.wav")).st_ino)
        self.assertEqual(self.read("other.wav"), riff_header(8000, len(data)) + data)

    def test_a_file_that_says_it_is_empty_is_read_to_its_end(self):
        content = open("/proc/version", "rb").read()
        self.assertOutcome(self.run_tool("/proc/version", "out.wav", "8000"), 0, b"")
        self.assertEqual(self.read("out.wav"), riff_header(8000, len(content)) + content)
        self.write("empty.raw", b"")
        self.assertOutcome(self.run_tool("empty.raw", "out.wav", "8000"), 0, b"")
        self.assertEqual(self.read("out.wav"), riff_header(8000, 0))

    def test_two_runs_into_one_name_leave_one_whole_file(self):
        a, b = samples(8 << 20, seed=1), samples(8 << 20, seed=2)
        self.write("a.raw", a)
        self.write("b.raw", b)
        wanted = {hashlib.sha256(riff_header(8000, len(x)) + x).digest() for x in (a, b)}
        for attempt in range(10):
            with self.subTest(attempt=attempt):
                runs = [subprocess.Popen([WAVWRAP, name, "out.wav", "8000"], cwd=self.dir)
                        for name in ("a.raw", "b.raw")]
                self.assertEqual([r.wait(timeout=60) for r in runs], [0, 0])
                self.assertIn(hashlib.sha256(self.read("out.wav")).digest(), wanted)
                self.assertEqual(self.listing(), ["a.raw", "b.raw", "out.wav"])

    def test_sigkill_at_any_moment_leaves_the_old_file_or_the_new_one(self):
        data = samples(32 << 20)
        self.write("in.raw", data)
        old = b"the previous take"
        new = hashlib.sha256(riff_header(8000, len(data)) + data).digest()
        outcomes = set()
        for delay in range(0, 40, 2):
            with self.subTest(delay_ms=delay):
                self.write("out.wav", old)
                run = subprocess.Popen([WAVWRAP, "in.raw", "out.wav", "8000"], cwd=self.dir)
                time.sleep(delay / 1000)
                run.kill()
                run.wait()
                got = self.read("out.wav")
                self.assertTrue(got == old or hashlib.sha256(got).digest() == new)
                outcomes.add(got == old)
                # Killed between linking the new file and swapping it in, a hidden
                # name can remain; nothing else can.
                for name in hidden(self.listing()):
                    os.unlink(self.path(name))
                self.assertEqual(self.listing(), ["in.raw", "out.wav"])

    def test_fsync_flushes_before_the_file_is_put_in_place(self):
        if subprocess.run(["which", "strace"], capture_output=True).returncode != 0:
            self.skipTest("strace is not installed")
        self.write("in.raw", samples(1000))
        self.write("out.wav", b"old")
        log = self.path("trace")
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        result = subprocess.run(["strace", "-qq", "-e", "trace=fsync,linkat,renameat2,ftruncate",
                                 "-o", log, WAVWRAP, "--fsync", "in.raw", "out.wav", "8000"],
                                cwd=self.dir, capture_output=True, env=env)
        self.assertEqual(result.returncode, 0)
        with open(log) as f:
            calls = [line.split("(")[0] for line in f if "(" in line]
        os.unlink(log)
        # Data flushed, then linked and swapped in, then the folder flushed; never truncated.
        self.assertEqual(calls, ["fsync", "linkat", "renameat2", "renameat2", "fsync"])


if __name__ == "__main__":
    main()
