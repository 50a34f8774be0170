"""TarvikSetup.exe under Wine, silently: it puts the library, the guide and
the uninstaller into one folder and registers the library; Uninstall.exe
unregisters it and removes the files and the folder; a library that cannot
register leaves nothing behind.
Usage: installer_test.py WINE_RUN TarvikCore.dll GETTING_STARTED.mht"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from e2e_support import REPO, Wine, class_ids

WINE_RUN = DLL = GUIDE = None
FILES = ("TarvikCore.dll", "Getting Started.mht", "Uninstall.exe")
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TarvikExpress"
BHO_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects"


def sections(pe):
    """The names of a PE file's sections."""
    answer = subprocess.run(["i686-w64-mingw32-objdump", "-h", pe], check=True, stdout=subprocess.PIPE)
    return [line.split()[1] for line in answer.stdout.decode().splitlines()
            if line.split()[:1] and line.split()[0].isdigit()]


def section_bytes(pe, name):
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "section")
        subprocess.run(["i686-w64-mingw32-objcopy", "-O", "binary", "-j", name, pe, out], check=True)
        with open(out, "rb") as f:
            return f.read()


def make_installer(dll, guide, workdir):
    out = os.path.join(workdir, "TarvikSetup.exe")
    subprocess.run([os.path.join(REPO, "tools", "make-installer.sh"), dll, guide, out], check=True,
                   stdout=subprocess.DEVNULL)
    return out


class Installer(unittest.TestCase):
    def setUp(self):
        self.wine = Wine(WINE_RUN)
        self.work = tempfile.mkdtemp(prefix="tarvik-setup-")
        self.addCleanup(shutil.rmtree, self.work, True)
        # The installer's own choice of folder, with its blank (a /D= with a blank
        # cannot pass through Wine's quoting of the command line).
        self.folder = "C:\\Program Files\\Tarvik Express"
        self.unix_folder = self.wine.to_unix(self.folder)
        # What an earlier, interrupted run may have left in the prefix.
        shutil.rmtree(self.unix_folder, ignore_errors=True)
        self.wine.run("reg", "delete", UNINSTALL_KEY, "/f", timeout=60)
        self.addCleanup(shutil.rmtree, self.unix_folder, True)
        self.ids = class_ids()

    def install(self, dll):
        setup = make_installer(dll, GUIDE, self.work)
        return self.wine.run(setup, "/S").returncode

    def registered_server(self, name):
        return self.wine.reg_value(r"HKCR\CLSID\%s\InprocServer32" % self.ids[name])

    def test_install_then_uninstall(self):
        self.assertEqual(self.install(DLL), 0)
        self.assertEqual(sorted(os.listdir(self.unix_folder)), sorted(FILES))
        # The library ships without its debug information, the same code.
        installed = os.path.join(self.unix_folder, "TarvikCore.dll")
        self.assertEqual([s for s in sections(installed) if s.startswith(".debug")], [])
        self.assertIn(".debug_info", sections(DLL))
        self.assertEqual(section_bytes(installed, ".text"), section_bytes(DLL, ".text"))
        self.assertTrue(os.path.exists(DLL + ".debug"))
        with open(GUIDE, "rb") as a, open(os.path.join(self.unix_folder, "Getting Started.mht"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        for name in ("CoToolbar", "CoBrowserHelper"):
            server = self.registered_server(name)
            self.assertIsNotNone(server, name)
            # The registered file is the installed one (in its short form: the path has blanks).
            self.assertTrue(os.path.samefile(self.wine.to_unix(server),
                                             os.path.join(self.unix_folder, "TarvikCore.dll")), server)
        self.assertTrue(self.wine.reg_key_exists(BHO_KEY + "\\" + self.ids["CoBrowserHelper"]))
        self.assertEqual(self.wine.reg_value(UNINSTALL_KEY, "UninstallString"),
                         '"%s\\Uninstall.exe"' % self.folder)

        answer = self.wine.run(os.path.join(self.folder, "Uninstall.exe"), "/S")
        self.assertEqual(answer.returncode, 0)
        # The uninstaller runs on from a copy of itself: wait for the folder to go.
        deadline = time.monotonic() + 90
        while os.path.exists(self.unix_folder) and time.monotonic() < deadline:
            time.sleep(0.5)
        self.assertFalse(os.path.exists(self.unix_folder), os.listdir(self.unix_folder)
                         if os.path.exists(self.unix_folder) else None)
        for name in ("CoToolbar", "CoBrowserHelper"):
            self.assertIsNone(self.registered_server(name), name)
        self.assertFalse(self.wine.reg_key_exists(BHO_KEY + "\\" + self.ids["CoBrowserHelper"]))
        self.assertFalse(self.wine.reg_key_exists(UNINSTALL_KEY))

    def test_a_library_that_cannot_register_leaves_nothing(self):
        # A DLL of the right name that lacks the registration entry point.
        broken = os.path.join(self.work, "TarvikCore.dll")
        shutil.copy(os.path.join(self.wine.prefix, "drive_c", "windows", "system32", "version.dll"), broken)
        self.assertEqual(self.install(broken), 3)
        self.assertFalse(os.path.exists(self.unix_folder))
        self.assertFalse(self.wine.reg_key_exists(UNINSTALL_KEY))


if __name__ == "__main__":
    WINE_RUN, DLL, GUIDE = sys.argv[1:4]
    del sys.argv[1:4]
    unittest.main(verbosity=2)
