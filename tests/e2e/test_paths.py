"""Which system calls move the bytes: kernel copy paths, never a call per byte.

Traced with strace; exits 77 (skipped) without it.
"""

import collections
import os
import re
import subprocess

from common import WAVWRAP, ToolTest, main, require, riff_header, samples, wav_form, wav_header

TRACED = "read,write,copy_file_range,sendfile,splice"


class CopyPaths(ToolTest):
    def traced(self, args, **kwargs):
        """Runs the tool under strace; returns (result, {syscall: [return values]})."""
        log = self.path("trace")
        # LeakSanitizer, in the sanitizer build, cannot run under a tracer.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        result = subprocess.run(["strace", "-f", "-qq", "-e", "trace=" + TRACED, "-o", log,
                                 WAVWRAP, *args], cwd=self.dir, capture_output=True, env=env,
                                **kwargs)
        calls = collections.defaultdict(list)
        with open(log) as f:
            for line in f:
                m = re.match(r"(?:\d+\s+)?(\w+)\(.*\)\s+=\s+(-?\d+)", line)
                if m:
                    calls[m.group(1)].append(int(m.group(2)))
        return result, calls

    def test_file_to_file_uses_copy_file_range(self):
        data = samples(1 << 20)
        self.write("in.raw", data)
        result, calls = self.traced(["in.raw", "out.wav", "8000"])
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(self.read("out.wav"), riff_header(8000, len(data)) + data)
        self.assertEqual(sum(n for n in calls["copy_file_range"] if n > 0), len(data))
        self.assertEqual(calls["write"], [44])  # the header, in one call

    def test_stored_formats_move_in_the_kernel_and_converted_ones_in_the_plain_loop(self):
        data = samples(6 << 18)
        self.write("in.raw", data)
        for fmt, channels, kernel in (("s24le", 2, True), ("f32le", 6, True),
                                      ("s16be", 2, False), ("f64be", 1, False)):
            with self.subTest(fmt=fmt, channels=channels):
                header = wav_header(8000, len(data), fmt, channels)
                result, calls = self.traced(["-f", fmt, "-c", str(channels), "in.raw",
                                             "out.wav", "8000"])
                self.assertEqual(result.returncode, 0, result.stdout)
                self.assertEqual(self.read("out.wav"), header + wav_form(fmt, data))
                moved = sum(n for n in calls["copy_file_range"] if n > 0)
                self.assertEqual(moved, len(data) if kernel else 0)
                if kernel:
                    self.assertEqual(calls["write"], [len(header)])
                else:
                    self.assertEqual(sum(calls["write"]), len(header) + len(data))
                    self.assertLess(len(calls["write"]), len(data) // 65536 + 3)

    def test_file_to_pipe_uses_sendfile(self):
        data = samples(1 << 20)
        self.write("in.raw", data)
        result, calls = self.traced(["in.raw", "/dev/stdout", "8000"])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, riff_header(8000, len(data)) + data)
        self.assertEqual(sum(n for n in calls["sendfile"] if n > 0), len(data))
        self.assertEqual(calls["write"], [44])


if __name__ == "__main__":
    require("strace")
    main()
