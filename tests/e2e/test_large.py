"""Inputs of gigabytes, made sparse so they cost no disk until copied."""

import os
import signal
import subprocess
import time

from common import USAGE, WAVWRAP, ToolTest, main, riff_header

RIFF_LIMIT = 0xFFFFFFFF - 36


class Large(ToolTest):
    def sparse(self, name, size, tail=b"\x01\x02\x03"):
        with open(self.path(name), "wb") as f:
            f.truncate(size - len(tail))
            f.seek(size - len(tail))
            f.write(tail)
        return name

    def test_longest_riff_data_is_written_exactly(self):
        self.sparse("in.raw", RIFF_LIMIT)
        self.assertOutcome(self.run_tool("in.raw", "out.wav", "8000"), 0, b"")
        self.assertEqual(os.path.getsize(self.path("out.wav")), 44 + RIFF_LIMIT)
        with open(self.path("out.wav"), "rb") as f:
            self.assertEqual(f.read(44), riff_header(8000, RIFF_LIMIT))
            f.seek(-4, os.SEEK_END)
            self.assertEqual(f.read(), b"\x00\x01\x02\x03")

    def test_one_byte_more_is_refused_and_nothing_created(self):
        self.sparse("in.raw", RIFF_LIMIT + 1)
        self.assertOutcome(self.run_tool("in.raw", "out.wav", "8000"), 1,
                           b"Input too large\n" + USAGE)
        self.assertEqual(self.listing(), ["in.raw"])

    def test_interrupted_run_leaves_no_output(self):
        self.sparse("in.raw", 3 << 30)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                proc = subprocess.Popen([WAVWRAP, "in.raw", "out.wav", "8000"], cwd=self.dir)
                # Wait until the copy is under way, well before it can finish.
                while not (os.path.exists(self.path("out.wav"))
                           and os.path.getsize(self.path("out.wav")) > 44):
                    time.sleep(0.001)
                proc.send_signal(sig)
                self.assertEqual(proc.wait(), -sig)
                self.assertEqual(self.listing(), ["in.raw"])


if __name__ == "__main__":
    main()
