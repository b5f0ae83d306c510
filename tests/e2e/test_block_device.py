"""A block device as input: its length is known up front, by its size.
Uses a loop device; exits 77 (skipped) where attaching one is not allowed."""

import os
import subprocess
import sys

from common import SKIP, ToolTest, main, riff_header, samples


class BlockDevice(ToolTest):
    def test_exact_header_from_the_device_size(self):
        data = samples(1 << 20)
        image = self.write("disk.img", data)
        device = subprocess.run(["losetup", "--find", "--show", image], check=True,
                                capture_output=True, text=True).stdout.strip()
        self.addCleanup(subprocess.run, ["losetup", "--detach", device], check=True)
        for output in ("out.wav", "-"):
            with self.subTest(output=output):
                result = self.run_tool(device, output, "8000")
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                wav = result.stdout if output == "-" else self.read("out.wav")
                self.assertEqual(wav, riff_header(8000, len(data)) + data)


def can_attach_loop_devices():
    try:
        return subprocess.run(["losetup", "--find"], capture_output=True).returncode == 0
    except FileNotFoundError:
        return False


if __name__ == "__main__":
    if os.geteuid() != 0 or not can_attach_loop_devices():
        print("skipped: attaching a loop device is not allowed here (the test needs root)")
        sys.exit(SKIP)
    main()
