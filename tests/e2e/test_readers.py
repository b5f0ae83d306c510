"""Independent readers open what wavwrap writes and find every sample.

Usage: test_readers.py READER, where READER is python_wave, sndfile, sox or
ffmpeg. Exits 77 (skipped) when that reader is not installed.
"""

import os
import subprocess
import sys
import wave

from common import SKIP, ToolTest, require, samples

READER = sys.argv.pop(1) if len(sys.argv) > 1 else "python_wave"


def read_python_wave(path, _):
    with wave.open(path, "rb") as w:
        return (w.getframerate(), w.getnchannels(), w.getsampwidth() * 8, w.getnframes(),
                w.readframes(w.getnframes()))


def read_sndfile(path, decoded):
    dump = os.environ.get("SNDFILE_DUMP", "")
    line = subprocess.run([dump, path, decoded], check=True, capture_output=True).stdout.split()
    rate, channels, fmt, frames = int(line[0]), int(line[1]), int(line[2], 16), int(line[3])
    assert fmt == 0x010005, f"not WAV with unsigned 8-bit PCM: {fmt:#x}"
    with open(decoded, "rb") as f:
        return rate, channels, 8, frames, f.read()


def read_sox(path, decoded):
    def info(flag):
        return subprocess.run(["sox", "--i", flag, path], check=True,
                              capture_output=True, text=True).stdout.strip()
    assert info("-e") == "Unsigned Integer PCM", info("-e")
    subprocess.run(["sox", path, "-t", "u8", decoded], check=True, capture_output=True)
    with open(decoded, "rb") as f:
        return int(float(info("-r"))), int(info("-c")), int(info("-b")), int(info("-s")), f.read()


def read_ffmpeg(path, decoded):
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries",
         "stream=codec_name,sample_rate,channels,bits_per_sample",
         "-of", "default=noprint_wrappers=1", path],
        check=True, capture_output=True, text=True).stdout
    fields = dict(line.split("=", 1) for line in probe.split())
    assert fields["codec_name"] == "pcm_u8", fields
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", path, "-f", "u8", "-c:a", "pcm_u8",
                    decoded], check=True, capture_output=True)
    # ffprobe's duration is an estimate (off by one at some rates); the
    # decoded samples are the frame count.
    with open(decoded, "rb") as f:
        pcm = f.read()
    return (int(fields["sample_rate"]), int(fields["channels"]),
            int(fields["bits_per_sample"]), len(pcm), pcm)


READERS = {"python_wave": read_python_wave, "sndfile": read_sndfile,
           "sox": read_sox, "ffmpeg": read_ffmpeg}


class Readers(ToolTest):
    def test_rate_format_frames_and_every_sample(self):
        for rate, n in ((8000, 8000), (11025, 1001), (44100, 1), (2400000, 65536 + 7)):
            with self.subTest(rate=rate, n=n):
                data = samples(n, seed=rate)
                self.write("in.raw", data)
                self.assertEqual(self.run_tool("in.raw", "out.wav", str(rate)).returncode, 0)
                got = READERS[READER](self.path("out.wav"), self.path("decoded.raw"))
                self.assertEqual(got[:4], (rate, 1, 8, n))
                self.assertEqual(got[4], data)


if __name__ == "__main__":
    if READER not in READERS:
        sys.exit(f"unknown reader {READER}")
    if READER == "sndfile" and not os.environ.get("SNDFILE_DUMP"):
        print("skipped: libsndfile was not found when the tests were configured")
        sys.exit(SKIP)
    if READER in ("sox", "ffmpeg"):
        require(READER, "ffprobe" if READER == "ffmpeg" else "sox")
    from common import main
    main()
