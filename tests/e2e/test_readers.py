"""Independent readers open what wavwrap writes and find every sample, for
every format and channel count they support.

Usage: test_readers.py READER, where READER is python_wave, sndfile, sox or
ffmpeg. Exits 77 (skipped) when that reader is not installed.
"""

import os
import random
import struct
import subprocess
import sys
import wave

from common import FORMATS, SKIP, ToolTest, require, samples, wav_form

READER = sys.argv.pop(1) if len(sys.argv) > 1 else "python_wave"
CHANNELS = (1, 2, 3, 6)


def test_data(fmt, frames, channels, seed):
    """Samples every reader can carry exactly: any bytes for integers; for floats, values
    on a grid that sox's 32-bit fixed point holds too; for mu-law no 0x7F, the negative
    zero that a decoder and encoder turn into 0xFF."""
    width = FORMATS[fmt][0]
    count = frames * channels
    if fmt[0] == "f":
        rng = random.Random(seed)
        values = [rng.randrange(-32767, 32768) / 32768 for _ in range(count)]
        return struct.pack(("<" if fmt.endswith("le") else ">") + "fd"[width == 8] * count,
                           *values)
    data = samples(count * width, seed)
    return data.replace(b"\x7f", b"\x7e") if fmt == "mulaw" else data


def signed(fmt, wav):
    """The WAV form's integer samples as signed values."""
    width = FORMATS[fmt][0]
    if width == 1:
        return [b - 128 for b in wav]
    return [int.from_bytes(wav[i:i + width], "little", signed=True)
            for i in range(0, len(wav), width)]


def g711(fmt, wav):
    """G.711 decoded to 16-bit linear by the standard's own rules."""
    out = []
    for code in wav:
        if fmt == "alaw":
            v = code ^ 0x55
            mag = (v & 0x0F) << 4 | 8
            seg = (v & 0x70) >> 4
            mag = mag + 0x100 << seg - 1 if seg else mag
            out.append(mag if v & 0x80 else -mag)
        else:
            v = ~code & 0xFF
            mag = (((v & 0x0F) << 3) + 0x84 << ((v & 0x70) >> 4)) - 0x84
            out.append(-mag if v & 0x80 else mag)
    return out


def read_python_wave(path, fmt, channels, data, _):
    with wave.open(path, "rb") as w:
        got = (w.getframerate(), w.getnchannels(), w.getsampwidth(), w.getnframes(),
               w.readframes(w.getnframes()))
    return got, (got[0], channels, FORMATS[fmt][0], len(data) // FORMATS[fmt][0] // channels,
                 wav_form(fmt, data))


SNDFILE_SUBTYPE = {1: 0x0005, 2: 0x0002, 3: 0x0003, 4: 0x0004}  # PCM by width (U8 at 1)


def read_sndfile(path, fmt, channels, data, decoded):
    """libsndfile's API: integers scaled to the top of an int, floats as they are."""
    width, code, _ = FORMATS[fmt]
    mode = "double" if code == 3 else "int"
    line = subprocess.run([os.environ["SNDFILE_DUMP"], path, decoded, mode], check=True,
                          capture_output=True).stdout.split()
    with open(decoded, "rb") as f:
        raw = f.read()
    wav = wav_form(fmt, data)
    if code == 3:
        values = list(struct.unpack("<%dd" % (len(raw) // 8), raw))
        expected = list(struct.unpack("<%d%s" % (len(wav) // width, "fd"[width == 8]), wav))
        subtype = 0x0006 if width == 4 else 0x0007
    else:
        values = list(struct.unpack("<%di" % (len(raw) // 4), raw))
        if code == 1:
            expected = [v << 8 * (4 - width) for v in signed(fmt, wav)]
            subtype = SNDFILE_SUBTYPE[width]
        else:
            expected = [v << 16 for v in g711(fmt, wav)]
            subtype = 0x0011 if fmt == "alaw" else 0x0010
    sf_format = int(line[2], 16)
    assert sf_format >> 16 in (0x01, 0x13), f"not WAV or WAVEX: {sf_format:#x}"
    got = (int(line[0]), int(line[1]), sf_format & 0xFFFF, int(line[3]), values)
    return got, (got[0], channels, subtype, len(data) // width // channels, expected)


def sox_raw_words(fmt):
    """sox's words for raw samples stored as `fmt`."""
    width, code, _ = FORMATS[fmt]
    encoding = {1: "unsigned-integer" if fmt[0] == "u" else "signed-integer",
                3: "floating-point", 6: "a-law", 7: "mu-law"}[code]
    words = ["-t", "raw", "-e", encoding, "-b", str(8 * width)]
    return words + (["-B"] if fmt.endswith("be") else ["-L"] if width > 1 else [])


def read_sox(path, fmt, channels, data, decoded):
    """sox reads the WAV file without a warning and writes the samples back in `fmt`."""
    def info(flag):
        return subprocess.run(["sox", "--i", flag, path], check=True,
                              capture_output=True, text=True).stdout.strip()
    run = subprocess.run(["sox", "-V2", path, *sox_raw_words(fmt), decoded], capture_output=True,
                         text=True)
    # sox warns about every extensible float header, its own readers' and ffmpeg's alike
    # (byte for byte the same layout as ours): a quirk of sox, which reads the samples.
    quirk = "sox WARN wav: wave header missing extended part of fmt chunk\n"
    allowed = quirk if FORMATS[fmt][1] == 3 and channels > 2 else ""
    assert run.returncode == 0 and run.stderr in ("", allowed), run.stderr
    with open(decoded, "rb") as f:
        got = (int(float(info("-r"))), int(info("-c")), int(info("-b")), int(info("-s")), f.read())
    width = FORMATS[fmt][0]
    return got, (got[0], channels, 8 * width, len(data) // width // channels, data)


def read_ffmpeg(path, fmt, channels, data, decoded):
    """ffmpeg decodes the WAV file and encodes the samples back in `fmt`."""
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,sample_rate,channels",
         "-of", "default=noprint_wrappers=1", path],
        check=True, capture_output=True, text=True).stdout
    fields = dict(line.split("=", 1) for line in probe.split())
    run = subprocess.run(["ffmpeg", "-nostdin", "-v", "warning", "-y", "-i", path, "-f", fmt,
                          "-c:a", "pcm_" + fmt, decoded], capture_output=True, text=True)
    # A plain PCM header has no speaker positions: ffmpeg says which it guessed.
    warnings = [w for w in run.stderr.splitlines() if not w.startswith("Guessed Channel Layout")]
    assert run.returncode == 0 and warnings == [], run.stderr
    with open(decoded, "rb") as f:
        pcm = f.read()
    wav_codec = "pcm_" + {"s8": "u8", "u16le": "s16le", "u16be": "s16le"}.get(
        fmt, fmt.replace("be", "le"))
    got = (int(fields["sample_rate"]), int(fields["channels"]), fields["codec_name"], pcm)
    return got, (got[0], channels, wav_codec, data)


# Python's wave module reads the plain PCM header only (format 1).
READERS = {
    "python_wave": (read_python_wave, lambda fmt, ch: FORMATS[fmt][0] <= 2
                    and FORMATS[fmt][1] == 1 and ch <= 2),
    "sndfile": (read_sndfile, lambda fmt, ch: True),
    "sox": (read_sox, lambda fmt, ch: True),
    "ffmpeg": (read_ffmpeg, lambda fmt, ch: True),
}


class Readers(ToolTest):
    def test_every_format_and_channel_count(self):
        read, supports = READERS[READER]
        for fmt in FORMATS:
            for channels in CHANNELS:
                if not supports(fmt, channels):
                    continue
                for rate, frames in ((48000, 1001), (2400000, 7)):
                    with self.subTest(fmt=fmt, channels=channels, rate=rate):
                        data = test_data(fmt, frames, channels, seed=frames + channels)
                        self.write("in.raw", data)
                        result = self.run_tool("-f", fmt, "-c", str(channels), "in.raw",
                                               "out.wav", str(rate))
                        self.assertEqual((result.returncode, result.stdout), (0, b""))
                        got, expected = read(self.path("out.wav"), fmt, channels, data,
                                             self.path("decoded.raw"))
                        self.assertEqual(got[:-1], (rate,) + expected[1:-1])
                        self.assertTrue(got[-1] == expected[-1], "the samples differ")

    def test_default_layout_at_many_rates(self):
        read, _ = READERS[READER]
        for rate, n in ((8000, 8000), (11025, 1001), (44100, 1), (2400000, 65536 + 7)):
            with self.subTest(rate=rate, n=n):
                data = samples(n, seed=rate)
                self.write("in.raw", data)
                self.assertEqual(self.run_tool("in.raw", "out.wav", str(rate)).returncode, 0)
                got, expected = read(self.path("out.wav"), "u8", 1, data,
                                     self.path("decoded.raw"))
                self.assertEqual(got[:-1], (rate,) + expected[1:-1])
                self.assertTrue(got[-1] == expected[-1], "the samples differ")


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
