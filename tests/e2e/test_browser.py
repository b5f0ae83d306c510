"""Headless Chromium decodes what wavwrap writes, as a web page's <audio> would.

Every format in 1, 2 and 6 channels, through the Web Audio API's decodeAudioData:
the channel count, the frame count, the rate and a sample of a 440 Hz tone. Browsers
do not decode 64-bit float WAV; those files are only required not to break the page.
Exits 77 (skipped) without chromium.
"""

import http.server
import json
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import urllib.parse

from common import SKIP, WAVWRAP, ToolTest, main

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
RATE, FRAMES, PROBE = 8000, 4000, 3  # PROBE: the frame whose value is checked
ENCODE = {
    "u8": lambda v: bytes([round(128 + 127 * v)]),
    "s8": lambda v: struct.pack("b", round(127 * v)),
    "s16le": lambda v: struct.pack("<h", round(32767 * v)),
    "s16be": lambda v: struct.pack(">h", round(32767 * v)),
    "u16le": lambda v: struct.pack("<H", round(32768 + 32767 * v)),
    "u16be": lambda v: struct.pack(">H", round(32768 + 32767 * v)),
    "s24le": lambda v: struct.pack("<i", round(8388607 * v))[:3],
    "s24be": lambda v: struct.pack(">i", round(8388607 * v))[1:],
    "s32le": lambda v: struct.pack("<i", round(2147483647 * v)),
    "s32be": lambda v: struct.pack(">i", round(2147483647 * v)),
    "f32le": lambda v: struct.pack("<f", v),
    "f32be": lambda v: struct.pack(">f", v),
    "f64le": lambda v: struct.pack("<d", v),
    "f64be": lambda v: struct.pack(">d", v),
    "alaw": lambda v: bytes([0xD5]),   # silence: G.711 needs no encoder here
    "mulaw": lambda v: bytes([0xFF]),
}
PAGE = """<script>
(async () => {
  const results = {};
  const context = new OfflineAudioContext(1, 1, %d);
  for (const name of %s) {
    try {
      const audio = await context.decodeAudioData(await (await fetch(name)).arrayBuffer());
      results[name] = [audio.numberOfChannels, audio.length, audio.sampleRate,
                       audio.getChannelData(0)[%d]];
    } catch (e) { results[name] = String(e); }
  }
  fetch("/result?" + encodeURIComponent(JSON.stringify(results)));
})();
</script>"""


def tone(i):
    return 0.5 * math.sin(2 * math.pi * 440 * i / RATE)


class Browser(ToolTest):
    def test_chromium_decodes_every_format_but_64_bit_float(self):
        names = []
        for fmt, encode in ENCODE.items():
            for channels in (1, 2, 6):
                self.write("in.raw", b"".join(encode(tone(i)) * channels for i in range(FRAMES)))
                name = f"{fmt}-{channels}.wav"
                result = self.run_tool("-f", fmt, "-c", str(channels), "in.raw", name, str(RATE))
                self.assertEqual(result.returncode, 0)
                names.append(name)
        self.write("index.html", (PAGE % (RATE, json.dumps(names), PROBE)).encode())
        results = self.decode_in_chromium()
        for name in names:
            fmt, channels = name[:-4].split("-")
            with self.subTest(file=name):
                got = results[name]
                if fmt.startswith("f64"):
                    continue
                self.assertIsInstance(got, list, got)
                self.assertEqual(got[:3], [int(channels), FRAMES, RATE])
                expected = 0.0 if fmt in ("alaw", "mulaw") else tone(PROBE)
                self.assertAlmostEqual(got[3], expected, delta=0.01)

    def decode_in_chromium(self):
        results = {}
        done = threading.Event()
        folder = self.dir

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=folder, **kwargs)

            def do_GET(self):
                if self.path.startswith("/result?"):
                    results.update(json.loads(urllib.parse.unquote(self.path[8:])))
                    done.set()
                super().do_GET()

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        profile = tempfile.mkdtemp(prefix="wavwrap-chromium-")
        browser = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", f"--user-data-dir={profile}", "--remote-debugging-port=0",
             f"http://127.0.0.1:{server.server_address[1]}/index.html"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            self.assertTrue(done.wait(120), "the page never reported")
        finally:
            os.killpg(browser.pid, signal.SIGKILL)  # the browser and its helpers
            browser.wait()
            server.shutdown()
            shutil.rmtree(profile, ignore_errors=True)
        return results


if __name__ == "__main__":
    if CHROMIUM is None:
        print("skipped: chromium is not installed")
        sys.exit(SKIP)
    main()
