"""Pictures whose addresses the browser spells otherwise than they are
written: an archive made by tarvik-compose of a page with one picture of
each class, rendered offline by headless Chromium, shows every picture. An
empty part (an alias, or a listed entry with no bytes) that the browser files
at a picture's address would hide it.  Usage: address_classes_test.py TARVIK_COMPOSE"""
import os
import sys
import tempfile
import unittest

from e2e_support import REPO, colour_counts, screenshot

sys.path.insert(0, os.path.join(REPO, "tests", "support", "readers"))
from reader_support import compose, png  # noqa: E402

TOOL = None
SIZE = 40

# (what, the picture's address, empty entries listed after it, colour)
CLASSES = [
    ("an underscore in the host", "http://my_host.example.com/u.png", [], (230, 20, 20)),
    ("a | in the path", "http://h.example/img/a|b.png", [], (20, 200, 20)),
    ("a ^ in the path", "http://h.example/a^b.png", [], (20, 20, 230)),
    ("a raw UTF-8 path", "http://h.example/wiki/Caf\u00e9.png", [], (230, 200, 20)),
    ("a raw UTF-8 query", "http://h.example/pic.png?name=caf\u00e9", [], (20, 200, 200)),
    ("a non-ASCII host", "http://b\u00fccher.example/b.png", [], (200, 20, 200)),
    ("an IPv4 address in numeric forms", "http://127.0.0.1/ip.png",
     ["http://0x7f.1/ip.png", "http://2130706433/ip.png", "http://0177.0.0.1/ip.png"], (120, 60, 10)),
    ("an escape in the host", "http://example.com/e.png", ["http://ex%61mple.com/e.png"], (10, 60, 120)),
    ("an empty userinfo", "http://example.org/at.png", ["http://@example.org/at.png"], (120, 120, 240)),
    ("a raw | against its escape", "http://h.example/c%7Cd.png", ["http://h.example/c|d.png"], (240, 120, 120)),
]


class PicturesOfEveryAddressClass(unittest.TestCase):
    maxDiff = None

    def test_chromium_shows_every_picture(self):
        page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Addresses</title></head>" \
               "<body style=\"margin:0;background:#fff\">"
        entries = [(b"http://h.example/index.html", "text/html", None, "", b"")]
        for n, (_, url, _, colour) in enumerate(CLASSES):
            page += "<img src=\"%s\" style=\"position:absolute;left:%dpx;top:20px;width:%dpx;height:%dpx\">" % (
                url, 20 + n * (SIZE + 20), SIZE, SIZE)
            entries.append((url.encode(), "image/png", png(SIZE, SIZE, colour), "", b""))
        for _, _, empties, _ in CLASSES:
            entries += [(empty.encode(), "", None, "", b"") for empty in empties]
        entries[0] = entries[0][:2] + ((page + "</body></html>").encode(),) + entries[0][3:]
        with tempfile.TemporaryDirectory() as work:
            _, archive = compose(TOOL, work, entries, title="Addresses")
            shot = screenshot(archive, os.path.join(work, "archive.png"))
            counts = colour_counts(shot, {what: colour for what, _, _, colour in CLASSES})
        missing = ["%s (%s): %d pixels" % (what, url, counts[what]) for what, url, _, _ in CLASSES
                   if counts[what] < SIZE * SIZE * 9 // 10]
        self.assertEqual(missing, [], "pictures Chromium does not show from the archive")


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
