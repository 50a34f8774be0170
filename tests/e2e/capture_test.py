"""The whole product as a user meets it: the registered library in the
browser host captures the sample site (served on 127.0.0.1) with two clicks
on its toolbar, or with Ctrl+W; readers no one here wrote then prove the
archive: Python's email package finds every resource the server sent
byte-exact, and headless Chromium renders it offline as the live page.
Usage: capture_test.py WINE_RUN iexplore.exe TarvikCore.dll  (DISPLAY set)"""
import os
import re
import shutil
import sys
import tempfile
import unittest

from check_archive import check_parts, check_render
from e2e_support import SiteServer, Wine, host_capture, read_archive, register

WINE_RUN = IEXPLORE = DLL = None


class CaptureThroughTheHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = Wine(WINE_RUN)
        register(cls.wine, DLL)

    def capture_and_prove(self, *options):
        work = tempfile.mkdtemp(prefix="tarvik-capture-")
        if os.environ.get("TARVIK_E2E_KEEP"):  # the archive, to compare or look at
            print("kept: " + work)
        else:
            self.addCleanup(shutil.rmtree, work, True)
        out = os.path.join(work, "Sample page.mht")
        with SiteServer(work) as server:
            code, lines = host_capture(self.wine, IEXPLORE, server.base + "/start", out, *options)
            self.assertEqual(code, 0, "\n".join(lines))
            sent = server.responses()  # before Chromium asks the server for the live page
            faults, count = check_parts(out, sent, server.base)
            self.assertEqual(faults, [])
            render_faults, _ = check_render(out, server.base + "/start", True, work)
            self.assertEqual(render_faults, [])
        self.assertTrue(any(line.startswith("archive: ") for line in lines), lines)
        self.assertEqual(read_archive(out)[0]["Subject"], "Sample page")
        # The host's own view of the archive agrees with the email package.
        answer = self.wine.run(IEXPLORE, out, timeout=120)
        shown = answer.stdout.decode("utf-8", "replace")
        self.assertEqual(answer.returncode, 0, shown)
        self.assertEqual(int(re.search(r"^parts: (\d+)", shown, re.M).group(1)), len(read_archive(out)[1]))
        return lines

    def test_two_clicks_on_the_toolbar(self):
        lines = self.capture_and_prove()
        self.assertTrue(any("first click" in line for line in lines), lines)
        self.assertTrue(any("second click" in line for line in lines), lines)

    def test_ctrl_w_instead_of_clicks(self):
        self.capture_and_prove("--hotkey")


if __name__ == "__main__":
    WINE_RUN, IEXPLORE, DLL = sys.argv[1:4]
    del sys.argv[1:4]
    unittest.main(verbosity=2)
