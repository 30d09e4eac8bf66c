"""`cmake --install` into a scratch prefix: the tree a source install leaves,
and the program run from it."""

import gzip
import os
import shutil
import subprocess
import tempfile
import unittest

from installed_program import (BUILD_DIR, CMAKE, DOCTOR, DOCTOR_MAN_PAGE, INSTALLED_FILES,
                               MAN_PAGE, NOT_FOUND, PROGRAM, UDEV_RULE, InstalledProgramChecks,
                               files_under)


def render_man_page(path):
    """(tool, output, warnings, status) from man-db or groff, or None when neither is
    installed."""
    if shutil.which("man"):
        env = dict(os.environ, MANPAGER="cat", PAGER="cat", MANWIDTH="80", LC_ALL="C.UTF-8")
        result = subprocess.run(["man", "-l", path], capture_output=True, text=True,
                                env=env, timeout=60)
        return "man", result.stdout, result.stderr, result.returncode
    if shutil.which("groff"):
        with gzip.open(path, "rb") as page:
            source = page.read()
        result = subprocess.run(["groff", "-man", "-Tutf8", "-ww"], input=source,
                                capture_output=True, timeout=60)
        return ("groff", result.stdout.decode(), result.stderr.decode(),
                result.returncode)
    return None


def udevadm_can_verify():
    return subprocess.run(["udevadm", "verify", "--help"], capture_output=True,
                          timeout=30).returncode == 0


# udevadm before systemd 253 has no verify; its test command parses every rules
# file it reads and names each bad line. The rule is shown to it in a private
# mount namespace, so the machine's own udev never sees it.
PARSE_IN_NAMESPACE = """set -e
mount -t tmpfs quivertap-rules /run
mkdir -p /run/udev/rules.d
cp "$1" /run/udev/rules.d/
exec udevadm test --action=add /sys/devices/virtual/mem/null
"""


def parse_with_udevadm_test(rule):
    """udevadm test's complaints about the rule, or None when it cannot run."""
    if not shutil.which("unshare") or not os.path.exists("/sys/devices/virtual/mem/null"):
        return None
    result = subprocess.run(["unshare", "--mount", "--map-root-user", "sh", "-c",
                             PARSE_IN_NAMESPACE, "sh", rule],
                            capture_output=True, text=True, timeout=120)
    log = result.stdout + result.stderr
    copied = "/run/udev/rules.d/" + os.path.basename(rule)
    if "Reading rules file: " + copied not in log:
        return None
    return [line for line in log.splitlines() if line.startswith(copied + ":")]


class InstallTree(InstalledProgramChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="quivertap-install-")
        cls.prefix = os.path.join(cls.scratch, "prefix")
        subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", cls.prefix],
                       check=True, capture_output=True, timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_tree_holds_the_programs_library_rule_man_pages_copyright_and_changelog_only(self):
        # Only these: the virtual controller in particular stays out.
        self.assertEqual(files_under(self.prefix), INSTALLED_FILES)
        for program in (PROGRAM, DOCTOR):
            self.assertTrue(os.access(self.path(program), os.X_OK), program)

    def test_man_pages_render(self):
        pages = {MAN_PAGE: ("QUIVERTAP(1)", "EXIT STATUS", "FILES", NOT_FOUND,
                            "Wii-Remote cannot open.", "Home", "Ctrl-C", "hidraw", "SYNC",
                            "quivertap-doctor(1)"),
                 DOCTOR_MAN_PAGE: ("QUIVERTAP-DOCTOR(1)", "EXIT STATUS", "FAIL", "NO_COLOR",
                                   "DBUS_SYSTEM_BUS_ADDRESS", "quivertap(1)")}
        for page, words in pages.items():
            with self.subTest(page):
                rendered = render_man_page(self.path(page))
                if rendered is None:
                    self.skipTest("neither man nor groff is installed")
                tool, text, warnings, status = rendered
                self.assertEqual(status, 0, "%s failed: %s" % (tool, warnings))
                self.assertEqual(warnings.strip(), "", "%s warned: %s" % (tool, warnings))
                # groff may break a line inside a long phrase; compare word runs.
                flat = " ".join(text.replace("\u2010", "-").replace("\u2212", "-").split())
                for needed in words:
                    self.assertIn(needed, flat, "%s output lacks %r" % (tool, needed))

    def test_udev_rule_syntax(self):
        if not shutil.which("udevadm"):
            self.skipTest("udevadm is not installed")
        rule = self.path(UDEV_RULE)
        if udevadm_can_verify():
            result = subprocess.run(["udevadm", "verify", rule], capture_output=True,
                                    text=True, timeout=30)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            return
        complaints = parse_with_udevadm_test(rule)
        if complaints is None:
            self.skipTest("no udevadm verify, and udevadm test could not run in a "
                          "private mount namespace")
        self.assertEqual(complaints, [])

if __name__ == "__main__":
    unittest.main()
