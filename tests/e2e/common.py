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


# name: (bytes per sample, WAV format code, stored as it is)
FORMATS = {
    "u8": (1, 1, True), "s8": (1, 1, False),
    "s16le": (2, 1, True), "s16be": (2, 1, False), "u16le": (2, 1, False), "u16be": (2, 1, False),
    "s24le": (3, 1, True), "s24be": (3, 1, False),
    "s32le": (4, 1, True), "s32be": (4, 1, False),
    "f32le": (4, 3, True), "f32be": (4, 3, False),
    "f64le": (8, 3, True), "f64be": (8, 3, False),
    "alaw": (1, 6, True), "mulaw": (1, 7, True),
}
UNKNOWN = 0xFFFFFFFF


def wav_form(fmt, data):
    """The bytes a WAV file holds for `data` stored as `fmt`, written apart from the tool:
    big-endian samples reversed, unsigned 16-bit and signed 8-bit with the top bit flipped.
    Bytes after the last whole sample are kept as they are."""
    width = FORMATS[fmt][0]
    out = bytearray(data)
    for at in range(0, len(out) - len(out) % width, width):
        sample = out[at:at + width]
        if fmt.endswith("be"):
            sample.reverse()
        if fmt in ("s8", "u16le", "u16be"):
            sample[-1] ^= 0x80
        out[at:at + width] = sample
    return bytes(out)


def wav_header(rate, length=None, fmt="u8", channels=1, rf64=None):
    """The header for a layout, as Microsoft's WAVE rules and EBU Tech 3306 have it.
    length None: the streaming header. rf64 None: RF64 exactly when RIFF cannot hold it."""
    width, code, _ = FORMATS[fmt]
    block = width * channels
    pcm = code == 1
    extensible = channels > 2 or (pcm and width > 2)
    fmt_chunk = struct.pack("<HHIIHH", 0xFFFE if extensible else code, channels, rate,
                            rate * block, block, 8 * width)
    if extensible:
        masks = [0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F]
        fmt_chunk += struct.pack("<HHI", 22, 8 * width, masks[channels] if channels <= 8 else 0)
        fmt_chunk += struct.pack("<H", code) + bytes.fromhex("000000001000800000aa00389b71")
    elif not pcm:
        fmt_chunk += struct.pack("<H", 0)
    size = 12 + 8 + len(fmt_chunk) + (0 if pcm else 12) + 8
    if rf64 is None:
        rf64 = length is not None and length > UNKNOWN - (size - 8)
    frames = UNKNOWN if length is None else length // block
    chunks = b"fmt " + struct.pack("<I", len(fmt_chunk)) + fmt_chunk
    if not pcm:
        chunks += b"fact" + struct.pack("<II", 4, min(frames, UNKNOWN))
    if length is None:
        return b"RIFF" + struct.pack("<I", UNKNOWN) + b"WAVE" + chunks + b"data" + \
            struct.pack("<I", UNKNOWN)
    if not rf64:
        return (b"RIFF" + struct.pack("<I", length + size - 8) + b"WAVE" + chunks
                + b"data" + struct.pack("<I", length))
    ds64 = b"ds64" + struct.pack("<IQQQI", 28, length + size + 36 - 8, length, frames, 0)
    return (b"RF64" + struct.pack("<I", UNKNOWN) + b"WAVE" + ds64 + chunks
            + b"data" + struct.pack("<I", UNKNOWN))


def riff_header(rate, length):
    """The canonical 44-byte header."""
    return wav_header(rate, length, rf64=False)


def rf64_header(rate, length):
    """The 80-byte RF64 header: sizes in the ds64 chunk, 0xFFFFFFFF in their 32-bit places."""
    return wav_header(rate, length, rf64=True)


def streaming_header(rate):
    """The 44-byte header for data of unknown length: both sizes 0xFFFFFFFF."""
    return wav_header(rate)


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
        if input_bytes is not None:
            stdin = None  # a pipe that subprocess feeds
        return subprocess.run([WAVWRAP, *args], cwd=self.dir, stdin=stdin, input=input_bytes,
                              capture_output=True, timeout=timeout)

    def listing(self):
        return sorted(os.listdir(self.dir))

    def assertOutcome(self, result, status, stdout, stderr=b""):
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (status, stdout, stderr))


def main():
    unittest.main(module="__main__", verbosity=2)
