"""Every sample format and channel count, from files and from streams: the
exact header and the samples in their WAV form."""

import subprocess

from common import FORMATS, WAVWRAP, ToolTest, main, samples, wav_form, wav_header

CHANNELS = (1, 2, 3, 6)


class Formats(ToolTest):
    def test_every_format_and_channel_count_from_a_file_and_a_pipe(self):
        for fmt, (width, _, _) in FORMATS.items():
            for channels in CHANNELS:
                # Odd frame counts, and one that spans several reads.
                for frames in (1, 1001, 70001 if channels == 2 else 0):
                    with self.subTest(fmt=fmt, channels=channels, frames=frames):
                        data = samples(frames * width * channels, seed=frames + channels)
                        expected = (wav_header(44100, len(data), fmt, channels)
                                    + wav_form(fmt, data))
                        args = ["-f", fmt, "-c", str(channels)]
                        self.write("in.raw", data)
                        self.assertOutcome(self.run_tool(*args, "in.raw", "out.wav", "44100"),
                                           0, b"")
                        self.assertEqual(self.read("out.wav"), expected)
                        self.assertEqual(self.read("in.raw"), data)
                        # A pipe into a file: the header is mended to the same bytes.
                        self.assertOutcome(self.run_tool(*args, "-", "piped.wav", "44100",
                                                         input_bytes=data), 0, b"")
                        self.assertEqual(self.read("piped.wav"), expected)

    def test_pipe_to_pipe_keeps_the_streaming_header(self):
        data = samples(24 * 501)  # whole frames for every case below
        for fmt, channels in (("s16be", 3), ("f32le", 1), ("mulaw", 2), ("s24be", 2)):
            with self.subTest(fmt=fmt, channels=channels):
                result = self.run_tool("-f", fmt, "-c", str(channels), "-", "-", "8000",
                                       input_bytes=data)
                self.assertOutcome(result, 0, wav_header(8000, None, fmt, channels)
                                   + wav_form(fmt, data))

    def test_samples_split_between_writes_are_converted_whole(self):
        # A writer that hands over 1, 2, 4, ... bytes at a time splits 24-bit samples everywhere.
        data = samples(3 * 2 * 50000)
        tool = subprocess.Popen([WAVWRAP, "-f", "s24be", "-c", "2", "-", "out.wav", "48000"],
                                cwd=self.dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        at, piece = 0, 1
        while at < len(data):
            tool.stdin.write(data[at:at + piece])
            tool.stdin.flush()
            at, piece = at + piece, piece % 4093 * 2 + 1
        tool.stdin.close()
        self.assertEqual((tool.wait(timeout=60), tool.stdout.read()), (0, b""))
        self.assertEqual(self.read("out.wav"),
                         wav_header(48000, len(data), "s24be", 2) + wav_form("s24be", data))

    def test_a_stream_that_ends_within_a_frame_keeps_every_byte_and_warns(self):
        for fmt, channels, n, rest in (("s16be", 2, 4 * 10 + 3, 3), ("u8", 6, 6 * 2 + 1, 1),
                                       ("f64be", 1, 8 * 3 + 5, 5)):
            with self.subTest(fmt=fmt, channels=channels, n=n):
                data = samples(n)
                frame = FORMATS[fmt][0] * channels
                warning = (b"Warning: input ended within a frame: the last %d bytes are less "
                           b"than one %d-byte frame\n" % (rest, frame))
                self.assertOutcome(self.run_tool("-f", fmt, "-c", str(channels), "-", "out.wav",
                                                 "8000", input_bytes=data), 0, warning)
                # Whole samples converted, the bytes of a partial one as they came.
                self.assertEqual(self.read("out.wav"),
                                 wav_header(8000, n, fmt, channels) + wav_form(fmt, data))
                # Into a pipe the warning goes to standard error, away from the audio.
                result = self.run_tool("-f", fmt, "-c", str(channels), "-", "-", "8000",
                                       input_bytes=data)
                self.assertOutcome(result, 0, wav_header(8000, None, fmt, channels)
                                   + wav_form(fmt, data), warning)


if __name__ == "__main__":
    main()
