"""Pages served the way servers on the web serve them (real_http_server.py:
redirects of every kind, a chain of them, one onto https on another host
name, compressed, chunked and close-delimited bodies, 304 answers, frames
and base tags), captured through the browser host with the registered
library, through Wine's own urlmon and wininet. Judged by readers no one here
wrote: headless Chromium, rendering the archive offline, shows every picture
and every style (each one solid colour, its pixels counted), and Python's
email package finds every body the server sent, decoded, under the address
it was asked for, and the page first, under its final address and under the
address that was asked for.

The https side's certificate comes from a root made for the run, trusted
inside the build's Wine prefix only (its registry's Root store) and taken
out again at the end.

Usage: redirect_test.py WINE_RUN iexplore.exe TarvikCore.dll [TEST...]  (DISPLAY set)"""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import real_http_server as real
from e2e_support import (SiteServer, Wine, colour_counts, host_capture, read_archive, register, same_url,
                         screenshot, sha256, without_injected_base)

WINE_RUN = IEXPLORE = DLL = None
SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "real_http_server.py")
ROOT_STORE = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"
EARLIER = b"an earlier archive"
STALE_MARK = b"Tarvik test root"  # the start of the test roots' subject


class RealServer(SiteServer):
    """real_http_server.py, http and https, for the life of a with-block."""

    def __init__(self, workdir, cert, key, lifetime=900):
        super().__init__(workdir, lifetime)
        self.https_port_file = os.path.join(workdir, "server.https-port")
        self.args = [sys.executable, SERVER, "--port-file", self.port_file, "--https-port-file",
                     self.https_port_file, "--cert", cert, "--key", key, "--log", self.log,
                     "--lifetime", str(lifetime), "--watch-pid", str(os.getpid())]

    def __enter__(self):
        super().__enter__()  # the https port is written before the http one
        with open(self.https_port_file) as f:
            self.https = "https://localhost:%d" % int(f.read())
        return self


class TestRoot:
    """A root certificate made for this run and a server certificate for
    "localhost" that it signs; trusted only in one Wine prefix's Root store."""

    def __init__(self, workdir):
        self.dir = workdir
        self.cert, self.key = (os.path.join(workdir, n) for n in ("server.pem", "server.key"))
        ca, ca_key = os.path.join(workdir, "root.pem"), os.path.join(workdir, "root.key")
        ext = os.path.join(workdir, "server.ext")
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n")
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.PIPE, "check": True}
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
                        "-subj", "/CN=%s %d" % (STALE_MARK.decode(), os.getpid()), "-keyout", ca_key, "-out", ca,
                        "-addext", "basicConstraints=critical,CA:TRUE",
                        "-addext", "keyUsage=critical,keyCertSign,cRLSign"], **quiet)
        csr = os.path.join(workdir, "server.csr")
        subprocess.run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                        "-keyout", self.key, "-out", csr], **quiet)
        subprocess.run(["openssl", "x509", "-req", "-sha256", "-days", "2", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                        "-set_serial", str(int(time.time())), "-extfile", ext, "-out", self.cert], **quiet)
        self.der = subprocess.run(["openssl", "x509", "-in", ca, "-outform", "DER"], stdout=subprocess.PIPE,
                                  check=True).stdout
        # crypt32 files a certificate under the hex of its SHA-1 and reads it
        # back from the value Blob: serialized properties, here only the
        # certificate itself (property 32, encoding type 1).
        self.key_name = ROOT_STORE + "\\" + hashlib.sha1(self.der).hexdigest().upper()
        self.blob = struct.pack("<III", 32, 1, len(self.der)) + self.der

    def trust(self, wine):
        answer = wine.run("reg", "add", self.key_name, "/v", "Blob", "/t", "REG_BINARY", "/d", self.blob.hex(),
                          "/f", timeout=60)
        if answer.returncode != 0 or not self.trusted(wine):
            raise RuntimeError("could not add the test root to the prefix: %s" % answer.stderr.decode(errors="replace"))

    def distrust(self, wine):
        if self.trusted(wine):
            wine.run("reg", "delete", self.key_name, "/f", timeout=60)
        if self.trusted(wine):
            raise RuntimeError("the test root is still in the prefix's Root store: " + self.key_name)

    def trusted(self, wine):
        return wine.reg_key_exists(self.key_name)

    @staticmethod
    def remove_stale(wine):
        """Takes out the roots of earlier runs that were ended before their
        clean-up (their subject names them); returns how many."""
        answer = wine.run("reg", "query", ROOT_STORE, "/s", timeout=120)
        mark = STALE_MARK.hex().upper()
        stale, key = [], None
        for line in answer.stdout.decode("utf-8", "replace").splitlines():
            if line.startswith("HKEY_"):
                key = line.strip()
            elif key and "REG_BINARY" in line and mark in line.upper():
                stale.append(key)
        for name in stale:
            wine.run("reg", "delete", name, "/f", timeout=60)
        return len(stale)


def any_answer(test):
    return lambda sent: any(test(r) for r in sent)


# Scenarios: name -> (asked: path on the http side, sites whose pictures the
# page shows, a test of the server's answers in the run: the feature was used).
SCENARIOS = {
    "r301": ("/go/301/entry", ["r301"], None),
    "r302": ("/go/302/entry", ["r302"], None),
    "r303": ("/go/303/entry", ["r303"], None),
    "r307": ("/go/307/entry", ["r307"], None),
    "r308": ("/go/308/entry", ["r308"], None),
    "chain": ("/hop/chain/1", ["chain"], lambda sent: len([r for r in sent if r["path"].startswith("/hop/")]) == 4),
    "https": ("/go/secure/entry", ["https"], any_answer(lambda r: r["url"].startswith("https://localhost:"))),
    "gzip": ("/land/gzip/page.html", ["gzip"], any_answer(lambda r: r["encoding"] == "gzip")),
    "deflate": ("/land/deflate/page.html", ["deflate"], any_answer(lambda r: r["encoding"] == "deflate")),
    "chunked": ("/land/chunked/page.html", ["chunked"], any_answer(lambda r: r["framing"] == "chunked")),
    "close": ("/land/close/page.html", ["close"], any_answer(lambda r: r["framing"] == "close")),
    # Visited twice in one run (the second visit is the capture). A 304 on the
    # second is allowed for (its body is the first visit's) but not required:
    # Wine's wininet, as the host binds, asks again without validators.
    "cached": ("/land/cached/page.html", ["cached"],
               lambda sent: len([r for r in sent if r["path"] == "/land/cached/page.html"]) == 2),
    "frame": ("/land/frame/page.html", ["frame", "framed"], None),
    "baserel": ("/go/baserel/entry", ["baserel"], None),
    "baseabs": ("/go/baseabs/entry", ["baseabs"], any_answer(lambda r: r["url"].startswith("http://localhost:"))),
    "gone": ("/go/gone/entry", ["gone"], any_answer(lambda r: r["status"] == 404)),
    "docs": ("/docs", ["docs"], None),
    "minified": ("/min", ["minified"], None),
}


def as_served(body, ctype, origins):
    """An HTML part's bytes as the server sent them: the archive adds a base tag
    before </head>, and may add one that names the page's own address anywhere
    in it (a page kept under an address that redirected). A base tag of the
    page's own is kept: its href is relative or names another host."""
    if body is None or "html" not in ctype.lower():
        return body
    body = without_injected_base(body)
    names = b"|".join(re.escape(o.encode()) for o in origins)
    return re.sub(rb'<base href="(?:%s)/[^"]*">' % names, b"", body, count=1)


class RealServersThroughTheHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = Wine(WINE_RUN)
        register(cls.wine, DLL)
        cls.work = tempfile.mkdtemp(prefix="tarvik-redirect-")
        cls.root = TestRoot(cls.work)
        cls.server = RealServer(cls.work, cls.root.cert, cls.root.key).__enter__()
        TestRoot.remove_stale(cls.wine)
        cls.root.trust(cls.wine)

    @classmethod
    def tearDownClass(cls):
        try:
            cls.root.distrust(cls.wine)
        finally:
            cls.server.stop()
            if os.environ.get("TARVIK_E2E_KEEP"):  # the archives and pictures, to look at
                print("kept: " + cls.work)
            else:
                shutil.rmtree(cls.work, ignore_errors=True)

    # -- running the host ------------------------------------------------

    def run_host(self, name, url, *options, timeout=300, keep_earlier=False):
        """Captures url into NAME.mht; returns (exit code, output lines, archive path, responses sent).
        A host that has not ended by the timeout is ended (exit code None)."""
        out = os.path.join(self.work, name + ".mht")
        if keep_earlier:
            with open(out, "wb") as f:
                f.write(EARLIER)
        before = len(self.server.responses())
        try:
            code, lines = host_capture(self.wine, IEXPLORE, url, out, *options, timeout=timeout)
        except subprocess.TimeoutExpired as hung:
            # Only this test's captures run iexplore.exe in the prefix (they hold the display's lock).
            self.wine.run("taskkill", "/f", "/im", os.path.basename(IEXPLORE), timeout=60)
            code, lines = None, (hung.stdout or b"").decode("utf-8", "replace").splitlines()
        return code, lines, out, self.server.responses()[before:]

    def origins(self):
        return [self.server.base, self.server.https]

    def served_bodies(self, sent):
        """URL (one spelling) -> SHA-256 of the body last served there with content (not a redirect, not a 304)."""
        bodies = {}
        for r in sent:
            if r["status"] != 304 and not 300 <= r["status"] < 400:
                bodies[same_url(r["url"])] = r["sha256"]
        return bodies

    def held(self, parts):
        """URL (one spelling) -> the first part's body there (HTML without the base tag the archive adds)."""
        by_url = {}
        for location, ctype, body in parts:
            if body is not None and same_url(location) not in by_url:
                by_url[same_url(location)] = as_served(body, ctype, self.origins())
        return by_url

    def assert_nothing_wrong_recorded(self, parts, sent):
        """Every body in the archive is one the server sent as a page or
        resource (none a redirect's own body)."""
        good = {r["sha256"] for r in sent if r["status"] != 304 and not 300 <= r["status"] < 400}
        bad = {r["sha256"] for r in sent if 300 <= r["status"] < 400 and r["length"]}
        for location, ctype, body in parts:
            if not body:
                continue
            digest = sha256(as_served(body, ctype, self.origins()))
            self.assertNotIn(digest, bad, "%s holds a redirect's own body" % location)
            if location.lower().startswith(("http:", "https:")):
                self.assertIn(digest, good, "%s holds %d bytes the server never sent as a page or resource" %
                              (location, len(body)))

    def judge(self, name, asked, sites, code, lines, out, sent, final=None):
        """The checks of one capture of a site's page, all of them told
        together when any fails; returns the pixel counts."""
        self.assertEqual(code, 0, "\n".join(lines))
        msg, parts = read_archive(out)
        self.assertFalse(msg.defects)
        self.assertEqual(msg.get_content_type(), "multipart/related")
        origins = {"http": self.server.base, "https": self.server.https}
        final = final or (origins[real.SITES[sites[0]].get("scheme", "http")] + real.page_path(sites[0]))
        everything, by_url = self.served_bodies(self.server.responses()), self.held(parts)
        page = everything.get(same_url(final))  # after a 304, the first visit's body
        self.assertIsNotNone(page, "the server never sent %s: %s" % (final, [r["url"] for r in sent]))
        faults = []
        # The page first, under its final address, and under the one asked for.
        if same_url(parts[0][0]) != same_url(final):
            faults.append("the first part is %s, not the final address %s" % (parts[0][0], final))
        elif sha256(as_served(parts[0][2] or b"", parts[0][1], self.origins())) != page:
            faults.append("the first part's body is not the page the server sent")
        if same_url(asked) != same_url(final):
            if sha256(by_url.get(same_url(asked), b"")) != page:
                faults.append("the address asked for, %s, does not hold the page's bytes" % asked)
        # Every body served, decoded, under the address it was asked for.
        for r in sent:
            url = same_url(r["url"])
            if r["status"] not in (200, 304) and url != same_url(final):
                continue  # redirects; a wrongly resolved address's 404 is told by the pictures
            if url not in by_url:
                faults.append("missing: %s (%s)" % (r["url"], r["status"]))
            elif sha256(by_url[url]) != everything[url]:
                faults.append("different: %s" % r["url"])
        # Every picture and every style shown.
        shot = screenshot(out, os.path.join(self.work, name + ".png"))
        want = {}
        for site in sites:
            colours = real.SITES[site]["colours"]
            want.update({"%s %s" % (site, kind): (colours[kind], 2 if kind == "band" else 1)
                         for kind in ("pic", "band", "tile", "svg") if kind != "svg" or real.SITES[site].get("svg")})
        counts = colour_counts(shot, {k: rgb for k, (rgb, _) in want.items()})
        faults += ["not shown: %s, %d of %d pixels (%s)" % (k, counts[k], n * real.PICTURE ** 2, shot)
                   for k, (_, n) in want.items() if counts[k] < n * real.PICTURE ** 2 * 9 // 10]
        if faults:
            self.fail("%s:\n  %s" % (name, "\n  ".join(faults)))
        self.assert_nothing_wrong_recorded(parts, self.server.responses())
        return counts

    # -- the scenarios ---------------------------------------------------

    def test_pages_through_real_answers(self):
        """Each scenario in its own host run; all are run, then the failures told together."""
        failures = []
        for name, (path, sites, feature) in SCENARIOS.items():
            with self.subTest(name):
                options = ()
                if name == "cached":  # a first visit in the same run, so the capture's requests are conditional
                    session = os.path.join(self.work, "session.txt")
                    with open(session, "w") as f:
                        f.write(self.server.base + path + "\n")
                    options = ("--session", session)
                code, lines, out, sent = self.run_host(name, self.server.base + path, *options)
                try:
                    self.judge(name, self.server.base + path, sites, code, lines, out, sent)
                    if name == "frame":  # the frame names the address that redirects: it holds the frame's page
                        framed = self.served_bodies(sent)[same_url(self.server.base + real.page_path("framed"))]
                        self.assertEqual(sha256(self.held(read_archive(out)[1]).get(
                            same_url(self.server.base + "/go/framed/entry"), b"")), framed, "the frame's address")
                    if feature:
                        self.assertTrue(feature(sent), "the server's answers are not those of %s: %s" %
                                        (name, [(r["path"], r["status"]) for r in sent]))
                except AssertionError as error:
                    failures.append(name)
                    raise error
        print("scenarios failed: %s" % (", ".join(failures) or "none"))

    # -- bad input: none may crash the host, record a wrong page or lose what was kept

    def assert_clean_end(self, name, url, timeout=150):
        """A run that either captures what the server sent and nothing else, or
        stops with a clear error and leaves the file that was there. Returns
        (exit code, output, parts or None, responses)."""
        code, lines, out, sent = self.run_host(name, url, timeout=timeout, keep_earlier=True)
        text = "\n".join(lines)
        self.assertIn(code, (0, 1), "not a clean end (exit code %s):\n%s" % (code, text))
        if code == 1:
            self.assertRegex(text, r"(?m)^error: [^:]+: .+", text)
            with open(out, "rb") as f:
                self.assertEqual(f.read(), EARLIER, "the file that was there is lost")
            return code, text, None, sent
        msg, parts = read_archive(out)
        self.assertFalse(msg.defects)
        self.assert_nothing_wrong_recorded(parts, self.server.responses())
        return code, text, parts, sent

    def test_a_redirect_loop(self):
        # A browser gives up after some twenty hops, well within the host's 10 s.
        code, text, _, sent = self.assert_clean_end("loop", self.server.base + "/bad/loop/a", timeout=40)
        self.assertEqual(code, 1, text)
        print("loop: %d requests; %s" % (len(sent), [l for l in text.splitlines() if l.startswith("error:")]))

    def test_a_location_to_another_scheme(self):
        for scheme in ("ftp", "data", "javascript", "about"):
            with self.subTest(scheme):
                code, text, parts, _ = self.assert_clean_end("scheme-" + scheme,
                                                             self.server.base + "/bad/scheme/" + scheme)
                print("%s: exit %d; %s" % (scheme, code, [l for l in text.splitlines() if l.startswith("error:")]))

    def test_a_location_with_raw_non_ascii_bytes(self):
        url = self.server.base + "/bad/nonascii"
        code, text, parts, sent = self.assert_clean_end("nonascii", url)
        if code == 0:
            # Followed: the page the server sent (under whichever spelling of é was asked) is judged in full.
            pages = [r["url"] for r in sent if r["status"] == 200 and r["type"].startswith("text/html")]
            self.assertEqual(len(pages), 1, sent)
            self.judge("nonascii", url, ["caf\u00e9"], code, text.splitlines(), os.path.join(self.work, "nonascii.mht"),
                       sent, final=pages[0])
        print("non-ASCII Location: exit %d; asked %s" % (code, [r["path"] for r in sent]))

    def test_a_chain_of_30_hops(self):
        url = self.server.base + "/hop/long/1"
        code, text, parts, sent = self.assert_clean_end("long", url)
        if code == 0:
            self.judge("long", url, ["long"], code, text.splitlines(), os.path.join(self.work, "long.mht"), sent)
        print("30 hops: exit %d after %d requests" % (code, len(sent)))

    def test_a_301_with_a_body_of_its_own(self):
        url = self.server.base + "/bad/body301"
        code, lines, out, sent = self.run_host("body301", url)
        counts = self.judge("body301", url, ["body301"], code, lines, out, sent)
        self.assertNotIn("/wrong/pic.png", [r["path"] for r in sent], "the 301's own page was loaded")
        self.assertEqual(colour_counts(os.path.join(self.work, "body301.png"), {"wrong": real.WRONG_COLOUR})["wrong"],
                         0, counts)

    def test_a_redirect_to_a_host_that_does_not_resolve(self):
        code, text, _, sent = self.assert_clean_end("invalid", self.server.base + "/bad/invalid")
        self.assertEqual(code, 1, text)


class TrustStaysInThePrefix(unittest.TestCase):
    def test_https_works_only_while_the_test_root_is_in_the_prefix(self):
        """Without the root the https page does not load (nothing else in the
        prefix trusts it); with it, it does; afterwards the prefix is as found."""
        wine = Wine(WINE_RUN)
        work = tempfile.mkdtemp(prefix="tarvik-trust-")
        self.addCleanup(shutil.rmtree, work, True)
        root = TestRoot(work)
        self.assertFalse(root.trusted(wine))
        self.addCleanup(root.distrust, wine)
        with RealServer(work, root.cert, root.key) as server:
            # A query of its own: no cache entry of an earlier run answers for it.
            url = server.https + real.page_path("https") + "?trust=%d" % time.time()
            results = []
            for trusted in (False, True):
                if trusted:
                    root.trust(wine)
                answer = wine.run(IEXPLORE, "--load-only", "--no-addons", "--timeout", "60", url, timeout=120)
                text = answer.stdout.decode("utf-8", "replace")
                results.append((answer.returncode, text))
                served = [r for r in server.responses() if r["url"] == url and r["status"] == 200]
                if trusted:
                    self.assertEqual(answer.returncode, 0, text)
                    self.assertIn("HTTP 200", text)
                    self.assertTrue(served, "the server sent no page over https")
                else:
                    self.assertNotEqual(answer.returncode, 0, text)
                    self.assertFalse(served, "the page was sent to a client that should not trust it")
            root.distrust(wine)
        self.assertFalse(root.trusted(wine))
        print("untrusted: %s" % [l for l in results[0][1].splitlines() if l.startswith("error")])


if __name__ == "__main__":
    WINE_RUN, IEXPLORE, DLL = sys.argv[1:4]
    del sys.argv[1:4]
    unittest.main(verbosity=2)
