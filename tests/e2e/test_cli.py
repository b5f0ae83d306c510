"""The command line, end to end: statuses, messages, bytes and files left."""

import os
import stat

from common import FORMATS, USAGE, ToolTest, main, riff_header, samples, wav_header

INVALID_RATE = b"Invalid rate: expected a whole number from 1 to 2147483647\n"


class Arguments(ToolTest):
    def test_wrong_counts_print_usage_alone_and_touch_nothing(self):
        self.write("in.raw", b"abc")
        for args in ([], ["in.raw"], ["in.raw", "out.wav"],
                     ["in.raw", "out.wav", "8000", "x"], ["a", "b", "c", "d", "e"]):
            with self.subTest(args=args):
                self.assertOutcome(self.run_tool(*args), 2, USAGE)
                self.assertEqual(self.listing(), ["in.raw"])

    def test_help_and_version(self):
        for args in (["--help"], ["-h"], ["-c", "2", "--help", "in.raw"]):
            with self.subTest(args=args):
                result = self.run_tool(*args)
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                self.assertTrue(result.stdout.startswith(USAGE))
                for word in [b"--channels", b"--format", b"--version"] + \
                        [name.encode() for name in FORMATS]:
                    self.assertIn(word, result.stdout)
        result = self.run_tool("--version")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, rb"^wavwrap \d+\.\d+\.\d+\n$")

    def test_invalid_rates_are_refused_before_any_file_is_touched(self):
        self.write("in.raw", b"abc")
        for rate in ("abc", "", "300Hz", "44.1", "8k", "0x10", "0", "-5",
                     "2147483648", "99999999999", " 8000 "):
            with self.subTest(rate=rate):
                self.assertOutcome(self.run_tool("in.raw", "out.wav", rate), 2,
                                   INVALID_RATE + USAGE)
                self.assertEqual(self.listing(), ["in.raw"])
        # The rate is judged before the input is even opened.
        self.assertOutcome(self.run_tool("missing.raw", "out.wav", "abc"), 2,
                           INVALID_RATE + USAGE)

    def test_accepted_rate_forms_land_in_the_header(self):
        self.write("in.raw", b"\x80")
        for rate, value in (("  +300", 300), ("1", 1), ("2147483647", 2147483647),
                            ("044100", 44100)):
            with self.subTest(rate=rate):
                self.assertOutcome(self.run_tool("in.raw", "out.wav", rate), 0, b"")
                self.assertEqual(self.read("out.wav"), riff_header(value, 1) + b"\x80")


class Options(ToolTest):
    def test_refused_options_name_the_problem_and_touch_nothing(self):
        self.write("in.raw", b"abcd")
        cases = [
            (["-x"], b"Unknown option: -x\n"),
            (["--bogus"], b"Unknown option: --bogus\n"),
            (["--help=yes"], b"Option --help takes no value\n"),
            (["-f", "s16"], b"Unknown format: s16 (wavwrap --help lists the formats)\n"),
            (["-c", "0"], b"Invalid channel count: expected a whole number from 1 to 65535\n"),
            (["-c", "65536"], b"Invalid channel count: expected a whole number from 1 to 65535\n"),
            (["-c", "2.5"], b"Invalid channel count: expected a whole number from 1 to 65535\n"),
            (["-c", "8192", "-f", "f64le"],
             b"Frames too large: 65536 bytes (a WAV header holds at most 65535)\n"),
            (["-c", "2", "-f", "s32le", "--", "in.raw", "out.wav", "536870912"],
             b"Byte rate too high: 4294967296 bytes per second "
             b"(a WAV header holds at most 4294967295)\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                if "--" not in args:
                    args = args + ["in.raw", "out.wav", "8000"]
                self.assertOutcome(self.run_tool(*args), 2, message + USAGE)
                self.assertEqual(self.listing(), ["in.raw"])
        self.assertOutcome(self.run_tool("-c"), 2, b"Missing value for -c\n" + USAGE)
        # Audio bound for standard output keeps the messages out of it.
        self.assertOutcome(self.run_tool("-f", "s16", "in.raw", "-", "8000"), 2, b"",
                           b"Unknown format: s16 (wavwrap --help lists the formats)\n" + USAGE)

    def test_options_end_at_the_first_argument_and_at_double_dash(self):
        self.write("-c.raw", b"\x01\x02")
        self.assertOutcome(self.run_tool("-f", "s16le", "--", "-c.raw", "out.wav", "8000"), 0, b"")
        self.assertEqual(self.read("out.wav"), wav_header(8000, 2, "s16le") + b"\x01\x02")
        # After INPUT everything is an argument: "-5" is a rate, and "-f" a fourth argument.
        self.assertOutcome(self.run_tool("./-c.raw", "out.wav", "-5"), 2, INVALID_RATE + USAGE)
        self.assertOutcome(self.run_tool("./-c.raw", "out.wav", "8000", "-f"), 2, USAGE)

    def test_lengths_that_are_not_whole_frames_are_refused(self):
        for fmt, channels, n in (("s16le", 1, 3), ("u8", 2, 5), ("s24be", 2, 14), ("f64le", 1, 9)):
            with self.subTest(fmt=fmt, channels=channels, n=n):
                self.write("in.raw", samples(n))
                frame = FORMATS[fmt][0] * channels
                self.assertOutcome(
                    self.run_tool("-f", fmt, "-c", str(channels), "in.raw", "out.wav", "8000"), 1,
                    b"Input length %d bytes is not a whole number of %d-byte frames\n"
                    % (n, frame) + USAGE)
                self.assertEqual(self.listing(), ["in.raw"])


class Conversion(ToolTest):
    def test_reference_bytes(self):
        self.write("in.raw", b"\x01\x02\x03")
        self.assertOutcome(self.run_tool("in.raw", "out.wav", "200"), 0, b"")
        self.assertEqual(self.read("out.wav").hex(" ").upper(),
                         "52 49 46 46 27 00 00 00 57 41 56 45 66 6D 74 20 10 00 00 00 01 00 01 00 "
                         "C8 00 00 00 C8 00 00 00 01 00 08 00 64 61 74 61 03 00 00 00 01 02 03")

    def test_output_is_header_then_every_input_byte(self):
        # Odd and even lengths, and lengths around and well past any buffer size.
        for n in (0, 1, 2, 5, 4096, 65537, 131072, 131073, 1048576 + 3):
            with self.subTest(n=n):
                data = samples(n, seed=n)
                self.write("in.raw", data)
                self.assertOutcome(self.run_tool("in.raw", "out.wav", "8000"), 0, b"")
                self.assertEqual(self.read("out.wav"), riff_header(8000, n) + data)
                self.assertEqual(self.read("in.raw"), data)

    def test_existing_output_is_replaced_whole(self):
        self.write("in.raw", b"xyz")
        self.write("out.wav", b"old contents, longer than the new file will be" * 10)
        self.assertOutcome(self.run_tool("in.raw", "out.wav", "8000"), 0, b"")
        self.assertEqual(self.read("out.wav"), riff_header(8000, 3) + b"xyz")

    def test_output_to_a_device_is_written_and_left_in_place(self):
        self.write("in.raw", b"xyz")
        self.assertOutcome(self.run_tool("in.raw", "/dev/null", "8000"), 0, b"")
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))


class OpenFailures(ToolTest):
    def test_unusable_inputs_and_outputs(self):
        self.write("in.raw", b"abc")
        os.mkdir(self.path("folder"))
        cases = [
            (["missing.raw", "out.wav"], b"Can't open input\n"),
            (["folder", "out.wav"], b"Can't open input\n"),
            (["in.raw", "no/such/dir/out.wav"], b"Can't open output\n"),
            (["in.raw", "folder"], b"Can't open output\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assertOutcome(self.run_tool(*args, "8000"), 1, message + USAGE)
                self.assertEqual(self.listing(), ["folder", "in.raw"])
                self.assertEqual(os.listdir(self.path("folder")), [])
                self.assertEqual(self.read("in.raw"), b"abc")

    def test_unreadable_input_when_not_root(self):
        if os.geteuid() == 0:
            self.skipTest("root reads every file")
        self.write("in.raw", b"abc")
        os.chmod(self.path("in.raw"), 0)
        self.assertOutcome(self.run_tool("in.raw", "out.wav", "8000"), 1,
                           b"Can't open input\n" + USAGE)


class SameFile(ToolTest):
    def test_every_way_of_naming_the_input_is_refused_and_the_input_kept(self):
        data = samples(1000)
        self.write("in.raw", data)
        os.link(self.path("in.raw"), self.path("hard.raw"))
        os.symlink("in.raw", self.path("soft.raw"))
        os.mkdir(self.path("sub"))
        for output in ("in.raw", "./in.raw", "sub/../in.raw", "hard.raw", "soft.raw",
                       os.path.join(self.dir, "in.raw")):
            with self.subTest(output=output):
                self.assertOutcome(self.run_tool("in.raw", output, "8000"), 1,
                                   b"Input and output are the same file\n" + USAGE)
                self.assertEqual(self.read("in.raw"), data)
        self.assertEqual(self.listing(), ["hard.raw", "in.raw", "soft.raw", "sub"])


class FailuresDuringTheCopy(ToolTest):
    def test_full_disk_reports_the_write_error(self):
        self.write("in.raw", samples(100000))
        self.assertOutcome(self.run_tool("in.raw", "/dev/full", "8000"), 1,
                           b"Can't write output: No space left on device\n")
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/full").st_mode))

    def test_input_shorter_than_its_size_fails_and_keeps_the_old_output(self):
        # sysfs files claim a size of a page and hold a few bytes.
        short = next((p for p in ("/sys/kernel/mm/transparent_hugepage/enabled",
                                  "/sys/kernel/profiling", "/sys/kernel/uevent_seqnum")
                      if os.path.exists(p)), None)
        if short is None:
            self.skipTest("no sysfs file whose content is shorter than its size")
        for existing in (False, True):
            with self.subTest(existing_output=existing):
                if existing:
                    self.write("out.wav", b"previous")
                self.assertOutcome(self.run_tool(short, "out.wav", "8000"), 1,
                                   b"Can't read input: input ended early\n")
                # An old output is kept as it was; nothing else is left.
                self.assertEqual(self.listing(), ["out.wav"] if existing else [])
                if existing:
                    self.assertEqual(self.read("out.wav"), b"previous")
                    os.unlink(self.path("out.wav"))


if __name__ == "__main__":
    main()
