"""A real full disk: a 1 MiB tmpfs mounted for the test, filled part-way
through a copy. Exits 77 (skipped) where mounting is not allowed."""

import os
import subprocess
import sys

from common import SKIP, WAVWRAP, ToolTest, main, samples

FULL = b"Can't write output: No space left on device\n"


class FullDisk(ToolTest):
    def setUp(self):
        super().setUp()
        self.disk = self.path("disk")
        os.mkdir(self.disk)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.disk], check=True)
        self.data = samples(3 << 20)
        self.write("in.raw", self.data)

    def tearDown(self):
        subprocess.run(["umount", self.disk], check=True)
        super().tearDown()

    def assertDiskEmptyAndInputKept(self):
        self.assertEqual(os.listdir(self.disk), [])
        self.assertEqual(self.read("in.raw"), self.data)

    def test_file_and_stream_into_a_named_file(self):
        for source in ("in.raw", "-"):
            with self.subTest(source=source), open(self.path("in.raw"), "rb") as stdin:
                result = self.run_tool(source, "disk/out.wav", "8000", stdin=stdin)
                self.assertOutcome(result, 1, FULL)
                self.assertDiskEmptyAndInputKept()

    def test_an_old_output_is_kept_whole(self):
        old = os.path.join(self.disk, "out.wav")
        with open(old, "wb") as f:
            f.write(b"the previous take")
        os.chmod(old, 0o640)
        self.assertOutcome(self.run_tool("in.raw", "disk/out.wav", "8000"), 1, FULL)
        self.assertEqual(os.listdir(self.disk), ["out.wav"])
        with open(old, "rb") as f:
            self.assertEqual(f.read(), b"the previous take")
        self.assertEqual(os.stat(old).st_mode & 0o7777, 0o640)

    def test_through_a_symbolic_link_the_target_is_kept_or_goes(self):
        # An existing target is replaced whole, so a failure keeps it; a dangling link's
        # target is created in place, so a failure removes it. The link stays.
        for existing in (False, True):
            with self.subTest(existing_target=existing):
                if existing:
                    with open(os.path.join(self.disk, "out.wav"), "wb") as f:
                        f.write(b"previous")
                os.symlink("disk/out.wav", self.path("link.wav"))
                self.assertOutcome(self.run_tool("in.raw", "link.wav", "8000"), 1, FULL)
                self.assertEqual(os.listdir(self.disk), ["out.wav"] if existing else [])
                self.assertTrue(os.path.islink(self.path("link.wav")))
                if existing:
                    self.assertEqual(self.read("disk/out.wav"), b"previous")
                    os.unlink(os.path.join(self.disk, "out.wav"))
                os.unlink(self.path("link.wav"))
                self.assertDiskEmptyAndInputKept()

    def test_standard_output_on_a_full_disk_is_cut_back_to_where_it_was(self):
        out = os.path.join(self.disk, "out.wav")
        for source in ("in.raw", "-"):
            # As the shell opens "> out.wav" and ">> out.wav": appending leaves the offset at 0.
            for flags, before in ((os.O_TRUNC, b""), (os.O_APPEND, b"earlier contents")):
                with self.subTest(source=source, append=flags == os.O_APPEND):
                    with open(out, "wb") as f:
                        f.write(before)
                    stdout = os.open(out, os.O_WRONLY | flags)
                    with open(self.path("in.raw"), "rb") as stdin:
                        result = subprocess.run([WAVWRAP, source, "-", "8000"], cwd=self.dir,
                                                stdin=stdin, stdout=stdout,
                                                stderr=subprocess.PIPE)
                    os.close(stdout)
                    self.assertEqual((result.returncode, result.stderr), (1, FULL))
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), before)
                    os.unlink(out)
                    self.assertDiskEmptyAndInputKept()

    def test_a_conversion_that_fits_still_succeeds(self):
        small = self.data[:500000]
        self.write("small.raw", small)
        result = self.run_tool("small.raw", "disk/out.wav", "8000")
        self.assertOutcome(result, 0, b"")
        self.assertEqual(os.path.getsize(os.path.join(self.disk, "out.wav")), 44 + len(small))


def can_mount():
    probe = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"wavwrap-mount-probe-{os.getpid()}")
    os.makedirs(probe, exist_ok=True)
    try:
        ok = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", probe],
                            capture_output=True).returncode == 0
        if ok:
            subprocess.run(["umount", probe], check=True)
        return ok
    except FileNotFoundError:
        return False
    finally:
        os.rmdir(probe)


if __name__ == "__main__":
    if not can_mount():
        print("skipped: mounting a tmpfs is not allowed here (the test needs root)")
        sys.exit(SKIP)
    main()
