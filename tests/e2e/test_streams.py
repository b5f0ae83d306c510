"""Pipes, FIFOs, "-" for standard input and output, and terminals."""

import contextlib
import os
import pty
import select
import signal
import subprocess
import threading

from common import USAGE, WAVWRAP, ToolTest, main, riff_header, samples, streaming_header

STREAMING = 0xFFFFFFFF


class StreamInput(ToolTest):
    SIZES = (0, 1, 5, 65536 + 3, (1 << 20) + 1)

    def test_pipe_into_a_file_gets_the_exact_header_of_a_file_conversion(self):
        for n in self.SIZES:
            with self.subTest(n=n):
                data = samples(n, seed=n)
                for source in ("-", "/dev/stdin"):
                    result = self.run_tool(source, "out.wav", "8000", stdin=None, input_bytes=data)
                    self.assertOutcome(result, 0, b"")
                    self.assertEqual(self.read("out.wav"), riff_header(8000, n) + data)

    def test_fifo_fed_by_a_writer(self):
        data = samples(300001)
        os.mkfifo(self.path("fifo"))

        def feed():
            with open(self.path("fifo"), "wb") as f:
                for i in range(0, len(data), 7001):  # in uneven pieces
                    f.write(data[i:i + 7001])
                    f.flush()
        writer = threading.Thread(target=feed)
        writer.start()
        result = self.run_tool("fifo", "out.wav", "22050")
        writer.join()
        self.assertOutcome(result, 0, b"")
        self.assertEqual(self.read("out.wav"), riff_header(22050, len(data)) + data)

    def test_character_device_is_read_as_a_stream(self):
        self.assertOutcome(self.run_tool("/dev/null", "out.wav", "8000"), 0, b"")
        self.assertEqual(self.read("out.wav"), riff_header(8000, 0))

    def test_standard_input_continues_from_where_it_stands(self):
        data = samples(1000)
        self.write("in.raw", data)
        with open(self.path("in.raw"), "rb") as f:
            f.seek(10)
            result = self.run_tool("-", "out.wav", "8000", stdin=f)
        self.assertOutcome(result, 0, b"")
        self.assertEqual(self.read("out.wav"), riff_header(8000, 990) + data[10:])

    def test_stream_into_a_full_device_fails(self):
        result = self.run_tool("-", "/dev/full", "8000", stdin=None, input_bytes=samples(1000))
        self.assertOutcome(result, 1, b"Can't write output: No space left on device\n")


class StandardOutput(ToolTest):
    def test_file_to_standard_output_gets_the_exact_header(self):
        data = samples(200001)
        self.write("in.raw", data)
        for target in ("-", "/dev/stdout"):
            with self.subTest(target=target):
                result = self.run_tool("in.raw", target, "8000")
                self.assertOutcome(result, 0, riff_header(8000, len(data)) + data)

    def test_pipe_to_pipe_says_read_to_the_end_and_readers_find_every_sample(self):
        import wave
        data = samples(150001)
        result = self.run_tool("-", "-", "44100", stdin=None, input_bytes=data)
        self.assertOutcome(result, 0, streaming_header(44100) + data)
        self.write("out.wav", result.stdout)
        with wave.open(self.path("out.wav"), "rb") as w:
            self.assertEqual((w.getframerate(), w.getnchannels(), w.getsampwidth()), (44100, 1, 1))
            self.assertEqual(w.readframes(STREAMING), data)

    def test_regular_standard_output_is_mended_like_a_named_file(self):
        data = samples(70001)
        for mode in ("wb", "r+b"):
            with self.subTest(mode=mode):
                self.write("out.wav", b"")
                with open(self.path("out.wav"), mode) as out:
                    result = subprocess.run([WAVWRAP, "-", "-", "8000"], input=data, stdout=out,
                                            capture_output=False, stderr=subprocess.PIPE)
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                self.assertEqual(self.read("out.wav"), riff_header(8000, len(data)) + data)

    def test_appending_standard_output_keeps_the_streaming_header(self):
        self.write("out.wav", b"before")
        with open(self.path("out.wav"), "ab") as out:
            result = subprocess.run([WAVWRAP, "-", "-", "8000"], input=b"abc", stdout=out)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(self.read("out.wav"), b"before" + streaming_header(8000) + b"abc")

    def test_messages_go_to_standard_error_when_standard_output_carries_audio(self):
        self.write("in.raw", b"abc")
        cases = [
            (["missing.raw", "-", "8000"], 1, b"Can't open input\n" + USAGE),
            (["in.raw", "-", "8k"], 2,
             b"Invalid rate: expected a whole number from 1 to 2147483647\n" + USAGE),
            (["in.raw", "/dev/stdout", "0"], 2,
             b"Invalid rate: expected a whole number from 1 to 2147483647\n" + USAGE),
            (["-", "-", "8000"], 1, b"Can't write output: No space left on device\n"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                with open("/dev/full", "wb") as full:
                    stdout = full if args[0] == "-" else subprocess.PIPE
                    result = subprocess.run([WAVWRAP, *args], cwd=self.dir, input=b"xyz",
                                            stdout=stdout, stderr=subprocess.PIPE)
                self.assertEqual((result.returncode, result.stderr), (status, message))
                self.assertIn(result.stdout, (None, b""))

    def test_refuses_to_write_audio_to_a_terminal(self):
        self.write("in.raw", b"abc")
        for target in ("-", "/dev/stdout"):
            with self.subTest(target=target):
                master, slave = pty.openpty()
                try:
                    result = subprocess.run([WAVWRAP, "in.raw", target, "8000"], cwd=self.dir,
                                            stdout=slave, stderr=subprocess.PIPE, timeout=30)
                    self.assertEqual((result.returncode, result.stderr),
                                     (1, b"Refusing to write audio to a terminal\n" + USAGE))
                    ready, _, _ = select.select([master], [], [], 0.2)
                    self.assertEqual(ready, [], "something reached the terminal")
                finally:
                    os.close(master)
                    os.close(slave)


class ClosedStandardStreams(ToolTest):
    def test_dash_cannot_name_a_closed_stream(self):
        self.write("in.raw", b"abc")
        cases = [  # (arguments, descriptor to close, status, stdout, stderr)
            (["-", "out.wav", "8000"], 0, 1, b"Can't open input\n" + USAGE, b""),
            (["in.raw", "-", "8000"], 1, 1, b"", b"Can't open output\n" + USAGE),
        ]
        for args, closed, status, stdout, stderr in cases:
            with self.subTest(args=args):
                result = subprocess.run([WAVWRAP, *args], cwd=self.dir, capture_output=True,
                                        preexec_fn=lambda fd=closed: os.close(fd))
                self.assertOutcome(result, status, stdout if closed != 1 else b"", stderr)
                self.assertFalse(os.path.exists(self.path("out.wav")))

    def test_messages_never_land_in_a_file_when_standard_streams_are_closed(self):
        # With 0 and 1 closed, the input and output would take them, and the
        # refusal would be written over the very input it protects.
        data = samples(1000)
        self.write("in.raw", data)
        result = subprocess.run([WAVWRAP, "in.raw", "in.raw", "8000"], cwd=self.dir,
                                stderr=subprocess.PIPE,
                                preexec_fn=lambda: (os.close(0), os.close(1)))
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.read("in.raw"), data)


class SameFileThroughStandardStreams(ToolTest):
    def test_standard_input_and_output_on_one_file_are_refused(self):
        data = samples(5000)
        message = b"Input and output are the same file\n" + USAGE
        cases = [("-", "in.raw", "rb", None), ("in.raw", "-", None, "ab"), ("-", "-", "rb", "r+b")]
        for inp, out, in_mode, out_mode in cases:
            with self.subTest(input=inp, output=out), contextlib.ExitStack() as files:
                self.write("in.raw", data)
                stdin, stdout = subprocess.DEVNULL, subprocess.PIPE
                if in_mode:
                    stdin = files.enter_context(open(self.path("in.raw"), in_mode))
                if out_mode:
                    stdout = files.enter_context(open(self.path("in.raw"), out_mode))
                result = subprocess.run([WAVWRAP, inp, out, "8000"], cwd=self.dir,
                                        stdin=stdin, stdout=stdout, stderr=subprocess.PIPE)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr if out == "-" else result.stdout, message)
                self.assertEqual(self.read("in.raw"), data)


class DownstreamCloses(ToolTest):
    def test_run_ends_promptly_and_not_with_success(self):
        self.write("in.raw", samples(64 << 20))
        for args in (["in.raw", "-", "8000"], ["/dev/zero", "-", "8000"]):
            with self.subTest(args=args):
                proc = subprocess.Popen([WAVWRAP, *args], cwd=self.dir, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
                proc.stdout.read(100)
                proc.stdout.close()
                status = proc.wait(timeout=20)
                self.assertIn(status, (-signal.SIGPIPE, 1))


if __name__ == "__main__":
    main()
