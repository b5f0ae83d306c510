"""Inputs of gigabytes, made sparse so they cost no disk until copied."""

import os
import sys
import signal
import subprocess
import time

from common import SKIP, WAVWRAP, ToolTest, main, rf64_header, riff_header, wav_header

SNDFILE_DUMP = os.environ.get("SNDFILE_DUMP", "")

RIFF_LIMIT = 0xFFFFFFFF - 36


class Large(ToolTest):
    def sparse(self, name, size, head=b"", tail=b"\x01\x02\x03"):
        with open(self.path(name), "wb") as f:
            f.write(head)
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

    def check_rf64(self, name, length, rate, head, tail):
        """The 80-byte RF64 header, built independently, then the data's ends."""
        expected = rf64_header(rate, length)
        self.assertEqual(os.path.getsize(self.path(name)), 80 + length)
        with open(self.path(name), "rb") as f:
            self.assertEqual(f.read(80 + len(head)), expected + head)
            f.seek(-len(tail), os.SEEK_END)
            self.assertEqual(f.read(), tail)
        info = subprocess.run([SNDFILE_DUMP, self.path(name)], check=True,
                              capture_output=True, text=True).stdout.split()
        self.assertEqual((int(info[0]), int(info[1]), int(info[3])), (rate, 1, length))

    def test_past_the_riff_limit_a_file_becomes_rf64(self):
        length = RIFF_LIMIT + 1001
        self.sparse("in.raw", length, head=b"head", tail=b"tail")
        self.assertOutcome(self.run_tool("in.raw", "out.wav", "2400000"), 0, b"")
        self.check_rf64("out.wav", length, 2400000, b"head", b"tail")

    def test_past_the_riff_limit_a_stream_is_finished_as_rf64(self):
        length = RIFF_LIMIT + 1001
        self.sparse("in.raw", length, head=b"head", tail=b"tail")
        # cat keeps it a pipe: the length is unknown until the end.
        feeder = subprocess.Popen(["cat", "in.raw"], cwd=self.dir, stdout=subprocess.PIPE)
        result = self.run_tool("-", "out.wav", "2400000", stdin=feeder.stdout, timeout=900)
        feeder.stdout.close()
        self.assertEqual(feeder.wait(), 0)
        self.assertOutcome(result, 0, b"")
        os.unlink(self.path("in.raw"))
        self.check_rf64("out.wav", length, 2400000, b"head", b"tail")

    def test_other_layouts_carry_their_fmt_and_fact_chunks_into_rf64(self):
        # 64-bit float I/Q and a converted format, each from a file and from a stream.
        length = (1 << 32) + 32  # whole frames of 16 and of 6 bytes
        self.sparse("in.raw", length, head=b"\x00" * 8, tail=b"\x01\x02\x03\x04\x05\x06")
        for fmt, channels, tail in (("f64le", 2, b"\x01\x02\x03\x04\x05\x06"),
                                    ("s24be", 2, b"\x03\x02\x01\x06\x05\x04")):
            for source in ("file", "pipe"):
                with self.subTest(fmt=fmt, source=source):
                    args = ["-f", fmt, "-c", str(channels), "in.raw", "out.wav", "96000"]
                    feeder = None
                    if source == "pipe":
                        feeder = subprocess.Popen(["cat", "in.raw"], cwd=self.dir,
                                                  stdout=subprocess.PIPE)
                        args[4] = "-"
                    result = self.run_tool(*args, stdin=feeder.stdout if feeder else None,
                                           timeout=900)
                    if feeder:
                        feeder.stdout.close()
                        self.assertEqual(feeder.wait(), 0)
                    self.assertOutcome(result, 0, b"")
                    header = wav_header(96000, length, fmt, channels)
                    self.assertEqual(header[:4], b"RF64")
                    self.assertEqual(os.path.getsize(self.path("out.wav")), len(header) + length)
                    with open(self.path("out.wav"), "rb") as f:
                        self.assertEqual(f.read(len(header) + 8), header + b"\x00" * 8)
                        f.seek(-len(tail), os.SEEK_END)
                        self.assertEqual(f.read(), tail)
                    info = subprocess.run([SNDFILE_DUMP, self.path("out.wav")], check=True,
                                          capture_output=True, text=True).stdout.split()
                    self.assertEqual((int(info[0]), int(info[1]), int(info[3])),
                                     (96000, channels, length // (channels * 8 if fmt == "f64le"
                                                                  else channels * 3)))
                    os.unlink(self.path("out.wav"))

    def test_interrupted_run_keeps_the_old_output_and_leaves_nothing(self):
        self.sparse("in.raw", 3 << 30)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            for old in (None, b"the previous take"):
                with self.subTest(signal=sig.name, old_output=old is not None):
                    if old is not None:
                        self.write("out.wav", old)
                    proc = subprocess.Popen([WAVWRAP, "in.raw", "out.wav", "8000"],
                                            cwd=self.dir)
                    # Wait until the copy is under way, into the unnamed new file.
                    while self.unnamed_size(proc.pid) <= 44:
                        time.sleep(0.001)
                    proc.send_signal(sig)
                    self.assertEqual(proc.wait(), -sig)
                    self.assertEqual(self.listing(), ["in.raw"] + (["out.wav"] if old else []))
                    if old is not None:
                        self.assertEqual(self.read("out.wav"), old)
                        os.unlink(self.path("out.wav"))

    @staticmethod
    def unnamed_size(pid):
        """The size of the file a process writes with no name yet, or 0."""
        folder = f"/proc/{pid}/fd"
        try:
            for fd in os.listdir(folder):
                target = os.readlink(os.path.join(folder, fd))
                if target.endswith("(deleted)") or "/.out.wav.wavwrap-" in target:
                    return os.stat(os.path.join(folder, fd)).st_size
        except FileNotFoundError:
            pass
        return 0

if __name__ == "__main__":
    if not SNDFILE_DUMP:
        print("skipped: libsndfile, which reads the RF64 files back, was not found")
        sys.exit(SKIP)
    main()
