"""Shared helpers for the tests that run the real wavwrap binary."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

WAVWRAP = os.environ.get("WAVWRAP", "")
USAGE = b"Usage: .exe input output rate\n\n"
SKIP = 77  # CTest's SKIP_RETURN_CODE for a test that lacks what it needs


def riff_header(rate, length):
    """The canonical 44-byte header, built independently of the tool."""
    return (b"RIFF" + struct.pack("<I", length + 36) + b"WAVE"
            + b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate, 1, 8)
            + b"data" + struct.pack("<I", length))


def rf64_header(rate, length):
    """The 80-byte RF64 header: sizes in the ds64 chunk, 0xFFFFFFFF in their 32-bit places."""
    return (b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE"
            + b"ds64" + struct.pack("<IQQQI", 28, length + 72, length, length, 0)
            + b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate, 1, 8)
            + b"data" + struct.pack("<I", 0xFFFFFFFF))


def streaming_header(rate):
    """The 44-byte header for data of unknown length: both sizes 0xFFFFFFFF."""
    header = bytearray(riff_header(rate, 0))
    struct.pack_into("<I", header, 4, 0xFFFFFFFF)
    struct.pack_into("<I", header, 40, 0xFFFFFFFF)
    return bytes(header)


def samples(n, seed=1):
    """n bytes covering every byte value, in an order that catches shifts."""
    return bytes((i * 7 + seed + (i >> 8)) & 0xFF for i in range(n))


def require(*tools):
    """Ends the whole test program as skipped when a tool is missing."""
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        sys.exit(SKIP)


class ToolTest(unittest.TestCase):
    """Each test gets a fresh folder and runs the binary inside it."""

    def setUp(self):
        if not WAVWRAP or not os.access(WAVWRAP, os.X_OK):
            self.fail("WAVWRAP must name the built binary")
        self._dir = tempfile.TemporaryDirectory(prefix="wavwrap-test-")
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_tool(self, *args, stdin=subprocess.DEVNULL, input_bytes=None, timeout=120):
        return subprocess.run([WAVWRAP, *args], cwd=self.dir, stdin=stdin, input=input_bytes,
                              capture_output=True, timeout=timeout)

    def listing(self):
        return sorted(os.listdir(self.dir))

    def assertOutcome(self, result, status, stdout, stderr=b""):
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (status, stdout, stderr))


def main():
    unittest.main(module="__main__", verbosity=2)
