"""The real-answers server (real_http_server.py): the answers the capture
test counts on are on the wire as intended (status, Location, framing,
encoding, validators, https with the run's own root), its log tells the
bytes before any encoding, and it stops by itself."""
import gzip
import hashlib
import http.client
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

import real_http_server as real
from redirect_test import SERVER, RealServer, TestRoot


def raw_get(port, path, headers=b""):
    """The whole answer, bytes as sent, to a GET on a connection that asks to be closed."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(b"GET " + path + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + b"\r\n")
        data = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                return data
            data += piece


class RealAnswers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.root = TestRoot(cls.work.name)
        cls.server = RealServer(cls.work.name, cls.root.cert, cls.root.key, lifetime=300).__enter__()
        cls.port = int(cls.server.base.rsplit(":", 1)[1])

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.work.cleanup()

    def get(self, path, headers=None, secure=False):
        if secure:
            context = ssl.create_default_context(cafile=os.path.join(self.work.name, "root.pem"))
            conn = http.client.HTTPSConnection("localhost", int(self.server.https.rsplit(":", 1)[1]),
                                               context=context, timeout=30)
        else:
            conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request("GET", path, headers=headers or {})
            answer = conn.getresponse()
            return answer.status, answer.headers, answer.read()
        finally:
            conn.close()

    def logged(self, path):
        return [r for r in self.server.responses() if r["path"] == path][-1]

    def test_each_redirect_code_and_the_chains_lead_to_their_page(self):
        for scenario, (first, site, hops) in real.ENTRIES.items():
            with self.subTest(scenario):
                path, seen = first, []
                for _ in range(40):
                    status, headers, _ = self.get(path)
                    if not 300 <= status < 400:
                        break
                    seen.append(status)
                    location = headers["Location"]
                    if location.startswith("https://"):
                        self.assertEqual(location, self.server.https + real.page_path(site))
                        status, _, body = self.get(real.page_path(site), secure=True)
                        break
                    path = location
                self.assertEqual(seen, [code for _, code, _ in hops])
                self.assertEqual(status, real.SITES[site].get("status", 200))
        self.assertEqual(len(real.ENTRIES["chain"][2]), 4)
        self.assertEqual(len(real.ENTRIES["long"][2]), 30)
        self.assertEqual(self.get("/go/303/entry")[0], 303)

    def test_pages_name_their_assets_relatively_and_every_asset_is_served(self):
        for name in real.SITES:
            with self.subTest(name):
                if real.SITES[name].get("scheme") == "https":
                    continue
                status, _, page = self.get(real.page_path(name).encode("utf-8").decode("latin-1")
                                           if name.isascii() else "/land/caf%C3%A9/page.html")
                text = page.decode()
                self.assertNotIn('src="/', text)
                self.assertNotIn('href="/', text)
                self.assertEqual("</head>" in text, real.SITES[name].get("head", True))
                folder = real.assets_folder(name)
                if not name.isascii():
                    folder = "/land/caf%E9/"  # the Latin-1 spelling reaches the same folder
                for asset in ("style.css", "pic.png", "bg.png", "icon.png") + (("pic.svg",) if real.SITES[name].get(
                        "svg") else ()):
                    self.assertEqual(self.get(folder + asset)[0], 200, folder + asset)
                self.assertEqual(self.get(folder + "nothing.png")[0], 404)

    def test_compressed_bodies_decode_to_the_logged_bytes(self):
        for encoding, decode in (("gzip", gzip.decompress), ("deflate", lambda data: zlib.decompress(data, -15))):
            for asset in ("page.html", "style.css", "pic.svg"):
                path = "/land/%s/%s" % (encoding, asset)
                with self.subTest(path):
                    status, headers, body = self.get(path, {"Accept-Encoding": "gzip, deflate"})
                    self.assertEqual((status, headers["Content-Encoding"]), (200, encoding))
                    plain = decode(body)
                    entry = self.logged(path)
                    self.assertEqual((entry["encoding"], entry["length"], entry["sha256"]),
                                     (encoding, len(plain), hashlib.sha256(plain).hexdigest()))
                    # A client that does not ask for it gets the plain bytes.
                    self.assertEqual(self.get(path)[2], plain)
            self.assertNotIn("Content-Encoding", self.get("/land/%s/pic.png" % encoding,
                                                          {"Accept-Encoding": "gzip, deflate"})[1])

    def test_chunked_and_close_delimited_bodies(self):
        answer = raw_get(self.port, b"/land/chunked/style.css")
        head, _, body = answer.partition(b"\r\n\r\n")
        self.assertIn(b"Transfer-Encoding: chunked", head)
        self.assertNotIn(b"Content-Length", head)
        self.assertTrue(body.endswith(b"\r\n0\r\n\r\n"))
        self.assertGreaterEqual(body.count(b"\r\n"), 6)  # several chunks
        self.assertEqual(self.get("/land/chunked/style.css")[2], real.style_body("chunked"))
        answer = raw_get(self.port, b"/land/close/pic.png")
        head, _, body = answer.partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.0 200"))
        self.assertNotIn(b"Content-Length", head)
        self.assertNotIn(b"chunked", head)
        self.assertEqual(body, real.solid_png(real.SITES["close"]["colours"]["pic"], real.PICTURE))

    def test_validators_answer_304_to_a_matching_question_only(self):
        status, headers, body = self.get("/land/cached/pic.png")
        self.assertEqual(status, 200)
        tag, modified = headers["ETag"], headers["Last-Modified"]
        for asked, want in (({"If-None-Match": tag}, 304), ({"If-Modified-Since": modified}, 304),
                            ({"If-None-Match": '"other"'}, 200), ({"If-None-Match": '"other"',
                                                                  "If-Modified-Since": modified}, 200)):
            with self.subTest(asked):
                status, _, body = self.get("/land/cached/pic.png", asked)
                self.assertEqual(status, want)
                picture = real.solid_png(real.SITES["cached"]["colours"]["pic"], real.PICTURE)
                self.assertEqual(body, b"" if want == 304 else picture)
                self.assertEqual(self.logged("/land/cached/pic.png")["status"], want)

    def test_https_on_localhost_with_the_runs_root_only(self):
        status, _, body = self.get("/land/https/page.html", secure=True)
        self.assertEqual((status, body), (200, real.page_body("https", {})))
        self.assertTrue(self.logged("/land/https/page.html")["url"].startswith("https://localhost:"))
        with self.assertRaises(ssl.SSLError):  # the machine's own roots do not know it
            conn = http.client.HTTPSConnection("localhost", int(self.server.https.rsplit(":", 1)[1]),
                                               context=ssl.create_default_context(), timeout=30)
            try:
                conn.request("GET", "/")
            finally:
                conn.close()

    def test_wrong_answers_are_sent_as_written(self):
        answer = raw_get(self.port, b"/bad/nonascii")
        self.assertIn(b"\r\nLocation: /land/caf\xe9/page.html\r\n", answer)
        status, headers, body = self.get("/bad/body301")
        self.assertEqual((status, headers["Location"]), (301, real.page_path("body301")))
        self.assertIn(b"/wrong/pic.png", body)
        self.assertEqual(self.logged("/bad/body301")["sha256"], hashlib.sha256(body).hexdigest())
        self.assertEqual(self.get("/bad/loop/a")[1]["Location"], "/bad/loop/b")
        self.assertEqual(self.get("/bad/loop/b")[1]["Location"], "/bad/loop/a")
        for scheme in ("ftp", "data", "javascript", "about"):
            self.assertTrue(self.get("/bad/scheme/" + scheme)[1]["Location"].startswith(scheme + ":"))
        self.assertTrue(self.get("/bad/invalid")[1]["Location"].startswith("http://nowhere.invalid/"))

    def test_it_binds_loopback_only_and_stops_by_itself(self):
        self.assertTrue(self.server.base.startswith("http://127.0.0.1:"))
        with tempfile.TemporaryDirectory() as work:
            port_file = os.path.join(work, "port")
            start = time.monotonic()
            process = subprocess.run([sys.executable, SERVER, "--port-file", port_file, "--lifetime", "1"],
                                     stdout=subprocess.PIPE, timeout=60)
            self.assertEqual(process.returncode, 0)
            self.assertLess(time.monotonic() - start, 30)
            self.assertIn(b"serving http://127.0.0.1:", process.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
