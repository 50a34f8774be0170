"""The main command (tools/build.sh --quick) on bad input: a URL that does
not answer, a 404 page, a page of 1,000 images, a resource of 256 MiB and
HTML that is not well formed. Where no archive can be written it says which
step failed and exits non-zero, and a file already at the save path is kept;
otherwise the archive holds exactly what the server sent (bad arguments and
save paths: main_command_test.py).  Usage: bad_input_test.py CROSS_BUILD_DIR"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

from check_archive import check_parts
from e2e_support import REPO, SiteServer, read_archive

BUILD = None


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class MainCommandOnBadInput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tarvik-bad-")
        cls.server = SiteServer(cls.work).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def command(self, url, out, timeout=1200):
        env = dict(os.environ, TARVIK_WIN_BUILD=BUILD)
        answer = subprocess.run([os.path.join(REPO, "tools", "build.sh"), "--quick", "--out", out, url],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, env=env)
        return answer.returncode, answer.stdout.decode(errors="replace"), answer.stderr.decode(errors="replace")

    def captured(self, path, out):
        """Runs the command on the server's path; checks the archive against what was sent."""
        before = len(self.server.responses())
        code, stdout, stderr = self.command(self.server.base + path, out)
        self.assertEqual(code, 0, stdout + stderr)
        faults, count = check_parts(out, self.server.responses()[before:], self.server.base)
        self.assertEqual(faults, [])
        self.assertIn("archive: " + out, stdout)
        # The title comes from the file name the user typed, not from a temporary one.
        self.assertEqual(read_archive(out)[0]["Subject"], os.path.splitext(os.path.basename(out))[0])
        return count, stdout, stderr

    def leftovers(self, folder):
        return [n for n in os.listdir(folder) if n.startswith(".")]

    def test_a_url_that_does_not_answer_fails_and_keeps_the_file_there(self):
        out = os.path.join(self.work, "kept.mht")
        with open(out, "wb") as f:
            f.write(b"an earlier archive")
        code, stdout, stderr = self.command("http://127.0.0.1:%d/" % closed_port(), out)
        self.assertEqual(code, 1, stdout + stderr)
        self.assertRegex(stderr, r"(?m)^error: capture: .+")
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"an earlier archive")
        self.assertEqual(self.leftovers(self.work), [])

    def test_a_404_page_is_captured_with_a_warning(self):
        out = os.path.join(self.work, "missing.mht")
        count, stdout, stderr = self.captured("/no-such-page.html", out)
        self.assertIn("warning: HTTP 404 for ", stderr)
        self.assertIn(b"404 Not found", read_archive(out)[1][0][2])

    def test_malformed_html(self):
        out = os.path.join(self.work, "malformed.mht")
        count, _, _ = self.captured("/gen/malformed", out)
        locations = [p[0] for p in read_archive(out)[1]]
        self.assertTrue(any(l.endswith("/gen/img/7.png") for l in locations), locations)

    def test_a_page_of_1000_images(self):
        out = os.path.join(self.work, "many.mht")
        self.captured("/gen/many?n=1000", out)
        images = [p for p in read_archive(out)[1] if "/gen/img/" in p[0] and p[2]]
        self.assertEqual(len({p[0] for p in images}), 1000)

    def test_a_resource_of_256_mib(self):
        out = os.path.join(self.work, "big.mht")
        self.captured("/gen/big?mib=256", out)
        self.assertGreater(os.path.getsize(out), 256 << 20)


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
