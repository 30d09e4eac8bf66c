"""Checks shared by the install-tree and package suites: what a user's tree
must hold, and running the program from that tree with no controller.

Settings come from the environment (CTest sets them):
  QUIVERTAP_BUILD_DIR  the configured and built tree to install from
  CMAKE_COMMAND        the cmake of that build
  QUIVERTAP_DEB_DIR    where scripts/package left the Debian package
"""

import glob
import os
import re
import subprocess

BUILD_DIR = os.path.realpath(os.environ.get("QUIVERTAP_BUILD_DIR", "build"))
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
DEB_DIR = os.path.realpath(os.environ.get("QUIVERTAP_DEB_DIR",
                                          os.path.join(BUILD_DIR, "deb", "dist")))

# Relative to the installation prefix.
PROGRAM = "bin/quivertap"
DOCTOR = "bin/quivertap-doctor"
LIBRARY = "lib/quivertap/libtiny_hid_dll.so"
UDEV_RULE = "lib/udev/rules.d/70-quivertap.rules"
MAN_PAGE = "share/man/man1/quivertap.1.gz"
DOCTOR_MAN_PAGE = "share/man/man1/quivertap-doctor.1.gz"
COPYRIGHT = "share/doc/quivertap/copyright"
CHANGELOG = "share/doc/quivertap/changelog.gz"
INSTALLED_FILES = {PROGRAM, DOCTOR, LIBRARY, UDEV_RULE, MAN_PAGE, DOCTOR_MAN_PAGE, COPYRIGHT,
                   CHANGELOG}

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
LICENSE = os.path.join(SOURCE_DIR, "LICENSE")
with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as _top:
    PROJECT_VERSION = re.search(r"project\(quivertap VERSION (\S+)", _top.read()).group(1)

NOT_FOUND = "Wii-Remote not found."
# Loader variables that would let something other than the tree under test
# supply the library.
LOADER_VARIABLES = ("LD_LIBRARY_PATH", "LD_PRELOAD", "LD_AUDIT")


def files_under(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def clean_environment():
    env = {k: v for k, v in os.environ.items()
           if k not in LOADER_VARIABLES and not k.startswith("VIRTUAL_REMOTE")}
    env["LC_ALL"] = "C"
    return env


def controller_connected():
    """True when a real controller's hidraw node exists on this machine."""
    for device in glob.glob("/sys/class/hidraw/hidraw*/device"):
        if "057E:0306" in os.path.basename(os.path.realpath(device)).upper():
            return True
    return False


def run_without_controller(program):
    """Runs the program as a user would with nothing connected."""
    with open(os.devnull, "rb") as no_input:
        return subprocess.run([program], stdin=no_input, capture_output=True, text=True,
                              env=clean_environment(), timeout=30)


def resolved_library(program):
    """The path the loader picks for the HID library, per ldd, or None."""
    listing = subprocess.run(["ldd", program], capture_output=True, text=True,
                             env=clean_environment(), timeout=30, check=True).stdout
    match = re.search(r"^\s*libtiny_hid_dll\.so => (\S+)", listing, re.MULTILINE)
    if match is None or match.group(1) == "not":
        return None
    return os.path.realpath(match.group(1))


def dynamic_section(program):
    return subprocess.run(["readelf", "-d", program], capture_output=True, text=True,
                          timeout=30, check=True).stdout


class InstalledProgramChecks:
    """Mixed into a TestCase whose setUpClass sets cls.prefix (the installed
    tree's prefix, e.g. <scratch>/usr)."""

    def path(self, relative):
        return os.path.join(self.prefix, relative)

    def test_program_starts_from_the_tree_and_reports_no_controller(self):
        if controller_connected():
            self.skipTest("a Wii Remote is connected to this machine; it would be found")
        result = run_without_controller(self.path(PROGRAM))
        self.assertEqual(result.stderr, NOT_FOUND + "\n",
                         "stderr was %r" % result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.returncode, 1)

    def test_library_comes_from_the_tree(self):
        for binary in (PROGRAM, DOCTOR):
            with self.subTest(binary):
                self.assertEqual(resolved_library(self.path(binary)),
                                 os.path.realpath(self.path(LIBRARY)))
                section = dynamic_section(self.path(binary))
                # RPATH would outrank LD_LIBRARY_PATH and lock out the virtual
                # controller; only a RUNPATH relative to the program will do.
                self.assertNotIn("(RPATH)", section)
                runpath = re.search(r"\(RUNPATH\).*\[(.*)\]", section)
                self.assertIsNotNone(runpath, section)
                for entry in runpath.group(1).split(":"):
                    self.assertTrue(entry.startswith("$ORIGIN"), "RUNPATH entry %r" % entry)
                self.assertNotIn(BUILD_DIR, section)

    def test_doctor_starts_from_the_tree_and_refuses_a_wrong_argument(self):
        # (argument, status, standard output); a wrong one runs no check and is named.
        for argument, status, output in (
                ("--version", 0, "quivertap-doctor %s\n" % PROJECT_VERSION),
                ("--no-such-option", 2, ""), ("extra", 2, "")):
            with self.subTest(argument):
                result = subprocess.run([self.path(DOCTOR), argument],
                                        stdin=subprocess.DEVNULL, capture_output=True,
                                        text=True, env=clean_environment(), timeout=30)
                self.assertEqual((result.returncode, result.stdout), (status, output),
                                 result.stderr)
                if status == 2:
                    self.assertIn(argument, result.stderr)

    def test_library_is_the_real_one(self):
        with open(self.path(LIBRARY), "rb") as library:
            content = library.read()
        self.assertTrue(content.startswith(b"\x7fELF"))
        # The virtual controller shares the file name and ABI; it reads its
        # script from this variable, the real library never does.
        self.assertNotIn(b"VIRTUAL_REMOTE_SCRIPT", content)

    def test_copyright_file_is_the_licence(self):
        with open(self.path(COPYRIGHT), "rb") as installed, open(LICENSE, "rb") as licence:
            text = licence.read()
            self.assertEqual(installed.read(), text)
        self.assertTrue(text.startswith(b"MIT License\n"), text[:80])

    def test_udev_rule_takes_effect_before_uaccess_is_applied(self):
        name = os.path.basename(UDEV_RULE)
        # 73-seat-late.rules turns the uaccess tag into an ACL; a tag added
        # by a later file is never seen.
        self.assertLess(name, "73-seat-late.rules")
        with open(self.path(UDEV_RULE)) as rule_file:
            rules = [line.strip() for line in rule_file
                     if line.strip() and not line.lstrip().startswith("#")]
        self.assertTrue(any('KERNELS=="*057E:0306*"' in rule for rule in rules), rules)
        self.assertTrue(any('ATTRS{idVendor}=="057e"' in rule and
                            'ATTRS{idProduct}=="0306"' in rule for rule in rules), rules)
        for rule in rules:
            self.assertIn('TAG+="uaccess"', rule)
            self.assertTrue('KERNEL=="hidraw*"' in rule or 'SUBSYSTEM=="hidraw"' in rule,
                            "rule not limited to hidraw nodes: %s" % rule)
