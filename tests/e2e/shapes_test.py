"""Page shapes common on the real web, captured through the browser host with
the registered library and judged by readers no one here wrote: Python's
email package finds every byte the server sent with status 200, and headless
Chromium, rendering the archive offline, shows every picture (each picture is
one solid colour, and its pixels are counted).
Usage: shapes_test.py WINE_RUN iexplore.exe TarvikCore.dll [TEST...]  (DISPLAY set)"""
import importlib.util
import os
import shutil
import sys
import tempfile
import unittest
import urllib.parse

from check_archive import check_parts, check_render
from e2e_support import (REPO, SiteServer, Wine, colour_counts, host_capture, read_archive, read_png, register,
                         screenshot)

WINE_RUN = IEXPLORE = DLL = None

spec = importlib.util.spec_from_file_location("site_server", os.path.join(REPO, "tools", "site-server.py"))
site = importlib.util.module_from_spec(spec)
spec.loader.exec_module(site)
PICTURE = 48 * 48


class ShapesThroughTheHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = Wine(WINE_RUN)
        register(cls.wine, DLL)
        cls.work = tempfile.mkdtemp(prefix="tarvik-shapes-")
        cls.server = SiteServer(cls.work).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        if os.environ.get("TARVIK_E2E_KEEP"):  # the archives and pictures, to look at
            print("kept: " + cls.work)
        else:
            shutil.rmtree(cls.work, ignore_errors=True)

    def capture(self, page, pictures, fragment=""):
        """Captures the shape page; checks both readers; returns the archive's parts."""
        out = os.path.join(self.work, page + ".mht")
        before = len(self.server.responses())
        code, lines = host_capture(self.wine, IEXPLORE, self.server.base + "/shape/%s.html%s" % (page, fragment), out)
        self.assertEqual(code, 0, "\n".join(lines))
        self.last_output = lines
        faults, _ = check_parts(out, self.server.responses()[before:], self.server.base)
        self.assertEqual(faults, [])
        msg, parts = read_archive(out)
        self.assertFalse(msg.defects)
        self.assertTrue(parts[0][2], "the first part holds no page: %r" % (parts[0][:2],))
        shot = screenshot(out, os.path.join(self.work, page + ".png"))
        counts = self.last_counts = colour_counts(shot, {name: site.SHAPE_COLOURS[name] for name in pictures})
        for name, times in pictures.items():
            self.assertGreaterEqual(counts[name], times * PICTURE * 9 // 10,
                                    "%s.png: %d pixels shown, want %d pictures (%s)" % (name, counts[name], times, shot))
        return parts

    def test_a_page_reached_through_a_link_to_a_section(self):
        parts = self.capture("fragment", {"brown": 1}, fragment="#section")
        self.assertTrue(parts[0][0].endswith("/shape/fragment.html#section"), parts[0][0])
        self.assertTrue(parts[0][1].startswith("text/html"), parts[0][1])

    def test_pictures_addressed_with_a_fragment(self):
        self.capture("fragments", {"green": 1, "navy": 2})

    def test_names_that_differ_only_in_letter_case(self):
        self.capture("case", {"A": 1, "a": 1})

    def test_composite_types_blank_nothing(self):
        parts = self.capture("composite", {"related": 1, "mixed": 1, "rfc": 1, "plain": 1})
        for location, ctype, _ in parts:
            self.assertFalse(ctype.lower().startswith(("multipart/", "message/")), (location, ctype))

    def test_a_blank_and_brackets_raw_and_percent_encoded(self):
        self.capture("names", {"a b": 2, "[c]": 2})

    def test_a_query_with_percent_encoded_bytes(self):
        self.capture("query", {"q": 1})

    def test_names_outside_ascii(self):
        """Under the locale the run gives (TARVIK_TEST_CODE_PAGE, when set, is
        its code page): the server is asked for every real name, each picture
        is in the archive under that name with its own bytes, and shown."""
        names = ["\u0444", "\u0436", "\u00e9", "\u753b\u50cf", "\u20ac", "\u044f", "q"]
        before = len(self.server.responses())
        parts = self.capture("unicode", dict.fromkeys(names, 1))
        want = os.environ.get("TARVIK_TEST_CODE_PAGE")
        if want:
            self.assertIn("ANSI code page: %s\n" % want, "\n".join(self.last_output + [""]))
        asked = {urllib.parse.unquote(r["path"]): r for r in self.server.responses()[before:]}
        for name in names:
            path = "/shape/img/%s.png" % name + ("?name=caf\u00e9" if name == "q" else "")
            self.assertIn(path, asked, "the server was not asked for %s: %s" % (path, sorted(asked)))
            self.assertEqual(asked[path]["status"], 200, path)
            # As a browser asks: the request line in ASCII, the rest escaped as UTF-8.
            self.assertTrue(asked[path]["path"].isascii(), asked[path]["path"])
            held = [body for location, _, body in parts
                    if body and urllib.parse.unquote(location).endswith(path)]
            self.assertEqual(held, [site.solid_png(site.SHAPE_COLOURS[name], 48)], path)
        code_page = [line for line in self.last_output if line.startswith("ANSI code page: ")]
        print("%s; asked for %d of %d names; pixels shown per picture: %s" % (
            code_page[0] if code_page else "no code page told", len([n for n in names if any(
                p.startswith("/shape/img/%s.png" % n) for p in asked)]), len(names),
            ", ".join("%s %d" % (n, self.last_counts[n]) for n in names)))


# A site nobody here wrote: a documentation package from Debian's packages
# (tools/setup.sh installs it), with its style sheets and pictures.
DOCS = "/usr/share/doc/cmake-data/html"
DOC_PAGE = "/guide/user-interaction/index.html"


class DocumentationThroughTheHost(unittest.TestCase):
    def test_every_served_byte_and_the_render_with_scripts_off(self):
        wine = Wine(WINE_RUN)
        register(wine, DLL)
        work = tempfile.mkdtemp(prefix="tarvik-docs-")
        if not os.environ.get("TARVIK_E2E_KEEP"):
            self.addCleanup(shutil.rmtree, work, True)
        out = os.path.join(work, "docs.mht")
        with SiteServer(work, extra=("--root", DOCS)) as server:
            code, lines = host_capture(wine, IEXPLORE, server.base + DOC_PAGE, out)
            self.assertEqual(code, 0, "\n".join(lines))
            sent = server.responses()
            self.assertGreaterEqual(len([r for r in sent if r["status"] == 200 and r["path"].endswith(".png")]), 2)
            faults, _ = check_parts(out, sent, server.base)
            self.assertEqual(faults, [])
            render_faults, _ = check_render(out, server.base + DOC_PAGE, False, work, scripts=False)
            self.assertEqual(render_faults, [])
        # Not two blank pictures: the page's own colours are there.
        width, height, pixel = read_png(os.path.join(work, "archive.png"))
        self.assertGreater(len({pixel(x, y) for x in range(0, width, 7) for y in range(0, height, 7)}), 20)


if __name__ == "__main__":
    WINE_RUN, IEXPLORE, DLL = sys.argv[1:4]
    del sys.argv[1:4]
    unittest.main(verbosity=2)
