"""The main commands (capture, and build with the installer) refuse bad
arguments and save paths they cannot write before they install, build or
start anything, saying which step failed."""
import os
import subprocess
import tempfile
import unittest

from e2e_support import REPO

COMMANDS = [os.path.join(REPO, "tools", name) for name in ("capture.sh", "build.sh")]


def run(command, *args):
    with tempfile.TemporaryDirectory() as empty:
        # An empty cross build: reaching the build check would fail differently.
        env = dict(os.environ, TARVIK_WIN_BUILD=empty)
        answer = subprocess.run([command, "--quick"] + list(args), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=60, env=env)
    return answer.returncode, answer.stderr.decode(errors="replace")


class MainCommandArguments(unittest.TestCase):
    def test_bad_arguments_exit_2(self):
        for args, said in ((["ftp://example.test/"], "not an http or https URL: ftp://example.test/"),
                           (["http://"], "not an http or https URL: http://"),
                           (["--frobnicate"], "unknown option --frobnicate"),
                           (["http://a.test/", "http://b.test/"], "one URL only"),
                           (["--out"], "--out needs a file")):
            for command in COMMANDS:
                code, stderr = run(command, *args)
                self.assertEqual((code, stderr.strip()), (2, "error: arguments: " + said), (command, args))

    def test_save_paths_that_cannot_be_written_exit_1_at_the_output_step(self):
        with tempfile.TemporaryDirectory() as work:
            a_file = os.path.join(work, "file")
            open(a_file, "w").close()
            cases = (("/proc/tarvik/a.mht", "cannot create the folder /proc/tarvik"),
                     (os.path.join(a_file, "a.mht"), "cannot create the folder " + a_file),
                     (work, work + " exists and cannot be replaced"),
                     ("/proc/version", "the folder /proc cannot be written"))
            for out, said in cases:
                for command in COMMANDS:
                    code, stderr = run(command, "--out", out, "http://127.0.0.1:9/")
                    self.assertEqual((code, stderr.strip()), (1, "error: output: " + said), (command, out))
            self.assertEqual(os.listdir(work), ["file"])

    def test_a_writable_path_passes_on_to_the_build_check(self):
        for command in COMMANDS:
            with tempfile.TemporaryDirectory() as work:
                code, stderr = run(command, "--out", os.path.join(work, "new", "a.mht"), "http://127.0.0.1:9/")
                self.assertEqual(code, 1)
                self.assertRegex(stderr.strip(), r"^error: build: no .*/bin/TarvikCore\.dll \(run without --quick")
                self.assertTrue(os.path.isdir(os.path.join(work, "new")))
                self.assertEqual(os.listdir(os.path.join(work, "new")), [])

    def test_help_is_the_scripts_own_words(self):
        for command in COMMANDS + [os.path.join(REPO, "tools", "test-all.sh")]:
            answer = subprocess.run([command, "--help"], stdout=subprocess.PIPE, timeout=60)
            text = answer.stdout.decode()
            self.assertEqual(answer.returncode, 0, command)
            self.assertIn("tools/" + os.path.basename(command) + " [", text)
            self.assertNotRegex(text, r"(?m)^(set |#!|cd |source )", command)


if __name__ == "__main__":
    unittest.main(verbosity=2)
