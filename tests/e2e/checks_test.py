"""The archive checks find real faults: an archive of the sample site made
from what the server sent passes both, and one damaged byte or one missing
image fails them, saying where.  Usage: checks_test.py TARVIK_COMPOSE"""
import os
import sys
import tempfile
import unittest

from check_archive import check_parts, check_render
from e2e_support import SiteServer, standin_capture

TOOL = None


class ArchiveChecks(unittest.TestCase):
    def capture(self, tamper=None):
        work = tempfile.mkdtemp(prefix="tarvik-checks-")
        self.addCleanup(lambda: __import__("shutil").rmtree(work, ignore_errors=True))
        with SiteServer(work) as server:
            archive = standin_capture(TOOL, server.base + "/start", os.path.join(work, "a.mht"), work, tamper)
            responses = server.responses()
            parts = check_parts(archive, responses, server.base)
            render = check_render(archive, server.base + "/start", True, work)
        return responses, parts, render

    def test_a_sound_archive_passes_both_readers(self):
        responses, (faults, count), (render_faults, share) = self.capture()
        self.assertEqual(faults, [])
        self.assertEqual(render_faults, [])
        # The redirect, the page, the frame, 3 style sheets, the script and 5 images.
        self.assertEqual(sorted(r["status"] for r in responses), [200] * 11 + [302])
        self.assertGreaterEqual(count, 11)

    def test_one_changed_byte_is_named(self):
        def flip(url, body):
            return body[:500] + bytes([body[500] ^ 1]) + body[501:] if url.endswith("photo.png") else body
        _, (faults, _), _ = self.capture(flip)
        self.assertEqual(len(faults), 1, faults)
        self.assertIn("different: ", faults[0])
        self.assertIn("/img/photo.png", faults[0])

    def test_a_missing_image_fails_both_readers(self):
        _, (faults, _), (render_faults, share) = self.capture(
            lambda url, body: None if url.endswith("tile.png") else body)
        self.assertTrue(any(f.startswith("missing: ") and f.endswith("tile.png (91 bytes sent)") for f in faults),
                        faults)
        self.assertTrue(any("site.css references" in f and "tile.png" in f for f in faults), faults)
        self.assertTrue(any(f.startswith("archive: tile.png") for f in render_faults), render_faults)
        self.assertFalse(any(f.startswith("live page: ") for f in render_faults), render_faults)
        self.assertGreater(share, 0)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
