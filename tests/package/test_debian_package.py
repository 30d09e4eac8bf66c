"""The Debian package, made by CPack from the build tree and unpacked with
dpkg-deb into a scratch root: its contents and metadata, and the program run
from the unpacked tree."""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

from installed_program import (BUILD_DIR, CPACK, INSTALLED_FILES, LIBRARY, PROGRAM,
                               InstalledProgramChecks, clean_environment, files_under)


def control_field(deb, field):
    return subprocess.run(["dpkg-deb", "-f", deb, field], capture_output=True, text=True,
                          timeout=60).stdout.strip()


class DebianPackage(InstalledProgramChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="quivertap-deb-")
        out = os.path.join(cls.scratch, "out")
        subprocess.run([CPACK, "-G", "DEB", "-B", out], cwd=BUILD_DIR, check=True,
                       capture_output=True, timeout=300)
        debs = glob.glob(os.path.join(out, "*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]
        cls.root = os.path.join(cls.scratch, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True, timeout=60)
        cls.prefix = os.path.join(cls.root, "usr")
        cls.control = os.path.join(cls.scratch, "control")
        subprocess.run(["dpkg-deb", "-e", cls.deb, cls.control], check=True, timeout=60)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_package_holds_the_program_library_rule_man_page_and_copyright_only(self):
        self.assertEqual(files_under(self.root), {"usr/" + f for f in INSTALLED_FILES})

    def test_metadata(self):
        architecture = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                      text=True, check=True).stdout.strip()
        self.assertEqual(control_field(self.deb, "Package"), "quivertap")
        self.assertEqual(control_field(self.deb, "Architecture"), architecture)
        self.assertEqual(os.path.basename(self.deb),
                         "quivertap_%s_%s.deb" % (control_field(self.deb, "Version"),
                                                  architecture))
        # Computed by dpkg-shlibdeps from the binaries: the C library, and
        # nothing for the HID library, which the package carries itself.
        field = control_field(self.deb, "Depends")
        self.assertNotEqual(field, "", "no Depends field: dependencies were not computed")
        depends = [d.split()[0] for d in field.split(",")]
        self.assertIn("libc6", depends)
        self.assertFalse([d for d in depends if "tiny" in d or "quivertap" in d], depends)

    def test_maintainer_scripts_are_executable_bash(self):
        for script in ("postinst", "postrm"):
            path = os.path.join(self.control, script)
            self.assertTrue(os.access(path, os.X_OK), script)
            result = subprocess.run(["bash", "-n", path], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stderr)

    def test_program_does_not_start_without_the_library_beside_it(self):
        # With the unpacked library gone nothing else may stand in for it:
        # not the build tree, not a system copy.
        bare = os.path.join(self.scratch, "bare")
        shutil.copytree(self.root, bare, symlinks=True)
        os.remove(os.path.join(bare, "usr", LIBRARY))
        with open(os.devnull, "rb") as no_input:
            result = subprocess.run([os.path.join(bare, "usr", PROGRAM)], stdin=no_input,
                                    capture_output=True, text=True, env=clean_environment(),
                                    timeout=30)
        self.assertEqual(result.returncode, 127, result.stderr)
        self.assertIn("libtiny_hid_dll.so", result.stderr)


if __name__ == "__main__":
    unittest.main()
