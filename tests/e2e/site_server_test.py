"""The sample site's server: its routes, what it logs, that it answers only
inside its folder and that it stops by itself."""
import gzip
import hashlib
import http.client
import os
import subprocess
import sys
import tempfile
import time
import unittest

from e2e_support import SERVER, SiteServer


class SiteServerRoutes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.server = SiteServer(cls.work.name, extra=["--gzip"]).__enter__()
        cls.port = int(cls.server.base.rsplit(":", 1)[1])

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.work.cleanup()

    def get(self, path, method="GET", headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request(method, path, headers=headers or {})
            answer = conn.getresponse()
            return answer.status, dict(answer.getheaders()), answer.read()
        finally:
            conn.close()

    def logged(self, path):
        return [r for r in self.server.responses() if r["path"] == path]

    def test_redirects_lead_to_pages(self):
        status, headers, _ = self.get("/start")
        self.assertEqual((status, headers["Location"]), (302, "/index.html"))
        status, headers, _ = self.get("/go/guide")
        self.assertEqual((status, headers["Location"]), (302, "/guide.html"))

    def test_files_are_sent_as_they_are_and_logged_with_their_digest(self):
        status, headers, body = self.get("/img/blue%20dot.png")
        with open(os.path.join(os.path.dirname(SERVER), "..", "samples", "site", "img", "blue dot.png"), "rb") as f:
            self.assertEqual(body, f.read())
        self.assertEqual((status, headers["Content-Type"]), (200, "image/png"))
        entry = self.logged("/img/blue%20dot.png")[-1]
        self.assertEqual((entry["length"], entry["sha256"]), (len(body), hashlib.sha256(body).hexdigest()))

    def test_nothing_outside_the_folder_is_served(self):
        for path in ("/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/css/../../../tools/site-server.py",
                     "/no-such-page.html"):
            status, _, body = self.get(path)
            self.assertEqual(status, 404, path)
            self.assertIn(b"404 Not found", body)

    def test_gzip_only_when_asked_and_the_log_keeps_the_plain_digest(self):
        status, headers, plain = self.get("/index.html")
        self.assertNotIn("Content-Encoding", headers)
        status, headers, packed = self.get("/index.html", headers={"Accept-Encoding": "gzip"})
        self.assertEqual(headers["Content-Encoding"], "gzip")
        self.assertEqual(gzip.decompress(packed), plain)
        digests = {(r["encoding"], r["sha256"]) for r in self.logged("/index.html")}
        self.assertEqual(digests, {("identity", hashlib.sha256(plain).hexdigest()),
                                   ("gzip", hashlib.sha256(plain).hexdigest())})
        _, headers, _ = self.get("/img/logo.png", headers={"Accept-Encoding": "gzip"})
        self.assertNotIn("Content-Encoding", headers)

    def test_generated_pages_and_resources(self):
        _, _, page = self.get("/gen/many?n=1000")
        self.assertEqual(page.count(b"<img "), 1000)
        first, second = self.get("/gen/img/1.png")[2], self.get("/gen/img/2.png")[2]
        self.assertTrue(first.startswith(b"\x89PNG") and first != second)
        _, _, bench = self.get("/gen/bench?n=100&mib=20")
        self.assertEqual(bench.count(b"<img "), 100)
        _, headers, res = self.get("/gen/res/3?size=209715")
        self.assertEqual(len(res), 209715)
        self.assertEqual(res, self.get("/gen/res/3?size=209715")[2])
        status, headers, _ = self.get("/gen/blob?mib=3", method="HEAD")
        self.assertEqual(headers["Content-Length"], str(3 << 20))
        _, _, blob = self.get("/gen/blob?mib=3")
        self.assertEqual(len(blob), 3 << 20)
        self.assertEqual(self.logged("/gen/blob?mib=3")[-1]["sha256"], hashlib.sha256(blob).hexdigest())
        self.assertIn(b"<img src=/gen/img/7.png", self.get("/gen/malformed")[2])

    def test_bad_numbers_fall_back_instead_of_failing(self):
        status, _, page = self.get("/gen/many?n=lots")
        self.assertEqual((status, page.count(b"<img ")), (200, 1000))


class SiteServerLifetime(unittest.TestCase):
    def start(self, *extra):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        port_file = os.path.join(work.name, "port")
        process = subprocess.Popen([sys.executable, SERVER, "--port-file", port_file] + list(extra),
                                   stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        self.addCleanup(process.stdout.close)
        line = process.stdout.readline().decode()
        self.assertRegex(line, r"^serving http://127\.0\.0\.1:\d+/$")
        with open(port_file) as f:
            self.assertEqual(line.split(":")[2].rstrip("/\n"), f.read().strip())
        return process

    def test_stops_when_its_lifetime_ends(self):
        began = time.monotonic()
        process = self.start("--lifetime", "1")
        self.assertEqual(process.wait(15), 0)
        self.assertLess(time.monotonic() - began, 10)

    def test_stops_when_the_watched_process_ends(self):
        watched = subprocess.Popen(["sleep", "60"])
        process = self.start("--watch-pid", str(watched.pid))
        time.sleep(1)
        self.assertIsNone(process.poll())
        watched.kill()
        watched.wait()
        self.assertEqual(process.wait(15), 0)

    def test_stops_on_sigterm(self):
        process = self.start()
        process.terminate()
        self.assertEqual(process.wait(15), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
