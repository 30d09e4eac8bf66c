"""The Debian package as scripts/package makes it (CTest's package.build step
runs it), unpacked with dpkg-deb into a scratch root: its contents and
metadata, what lintian makes of it, and the program run from the unpacked
tree."""

import glob
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from installed_program import (CHANGELOG, DEB_DIR, DOCTOR, INSTALLED_FILES, LIBRARY, PROGRAM,
                               SOURCE_DIR, InstalledProgramChecks, clean_environment,
                               dynamic_section, files_under)


def control_field(deb, field):
    return subprocess.run(["dpkg-deb", "-f", deb, field], capture_output=True, text=True,
                          timeout=60).stdout.strip()


def imported_symbols(binary):
    """The names of the functions the binary takes from shared libraries."""
    table = subprocess.run(["readelf", "--dyn-syms", "-W", binary], capture_output=True,
                           text=True, timeout=30, check=True).stdout
    names = set()
    for line in table.splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[6] == "UND":
            names.add(fields[7].split("@")[0])
    return names


class DebianPackage(InstalledProgramChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        debs = glob.glob(os.path.join(DEB_DIR, "*.deb"))
        assert len(debs) == 1, "one package expected in %s, found %s" % (DEB_DIR, debs)
        cls.deb = debs[0]
        cls.scratch = tempfile.mkdtemp(prefix="quivertap-deb-")
        cls.root = os.path.join(cls.scratch, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True, timeout=60)
        cls.prefix = os.path.join(cls.root, "usr")
        cls.control = os.path.join(cls.scratch, "control")
        subprocess.run(["dpkg-deb", "-e", cls.deb, cls.control], check=True, timeout=60)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_package_holds_the_programs_library_rule_man_pages_copyright_and_changelog_only(self):
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

    def test_lintian_finds_no_error_or_warning(self):
        if not shutil.which("lintian"):
            self.fail("lintian is not installed (scripts/install-deps installs it)")
        # No user or site configuration: it could hide tags or change the profile.
        result = subprocess.run(["lintian", "--no-cfg", "--fail-on", "error,warning",
                                 self.deb], capture_output=True, text=True,
                                env=clean_environment(), timeout=240)
        tags = [line for line in result.stdout.splitlines() if re.match(r"[EW]: ", line)]
        self.assertEqual(tags, [], result.stdout)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_changelog_is_the_debian_changelog_compressed_reproducibly(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.deb], capture_output=True,
                                 text=True, timeout=60, check=True).stdout
        entry = [line for line in listing.splitlines()
                 if line.endswith("./usr/" + CHANGELOG)]
        self.assertEqual(len(entry), 1, listing)
        self.assertTrue(entry[0].startswith("-rw-r--r-- root/root "), entry[0])
        with open(self.path(CHANGELOG), "rb") as packed:
            header = packed.read(10)
        # gzip -n: no file name (flag bit 3) and no time stamp in the header,
        # or the same changelog would compress differently on every build.
        self.assertEqual(header[:3], b"\x1f\x8b\x08")
        self.assertEqual(header[3] & 0x08, 0, "the header records a file name")
        self.assertEqual(header[4:8], b"\0\0\0\0", "the header records a time")
        with gzip.open(self.path(CHANGELOG), "rb") as packed, \
                open(os.path.join(SOURCE_DIR, "packaging", "debian", "changelog"),
                     "rb") as source:
            self.assertEqual(packed.read(), source.read())
        # Its latest entry is this version, by this package's maintainer: a new
        # version needs an entry of its own.
        parsed = subprocess.run(["dpkg-parsechangelog", "-l", self.path(CHANGELOG)],
                                capture_output=True, text=True, timeout=60, check=True)
        fields = dict(re.findall(r"^(Source|Version|Maintainer): (.*)$", parsed.stdout,
                                 re.MULTILINE))
        self.assertEqual(fields.get("Source"), "quivertap", parsed.stdout)
        self.assertEqual(fields.get("Version"), control_field(self.deb, "Version"))
        self.assertEqual(fields.get("Maintainer"), control_field(self.deb, "Maintainer"))

    def test_binaries_are_hardened(self):
        # What Debian's build flags give: relocations read-only after start
        # (relro and bindnow), a stack protector, and fortified C library calls.
        checked = set()
        for relative in (PROGRAM, DOCTOR, LIBRARY):
            binary = self.path(relative)
            section = dynamic_section(binary)
            self.assertTrue(re.search(r"\(FLAGS\)\s.*\bBIND_NOW\b", section) or
                            re.search(r"\(FLAGS_1\)\s.*\bNOW\b", section),
                            "%s is not bound at start:\n%s" % (relative, section))
            headers = subprocess.run(["readelf", "-lW", binary], capture_output=True,
                                     text=True, timeout=30, check=True).stdout
            self.assertIn("GNU_RELRO", headers, relative)
            imported = imported_symbols(binary)
            self.assertIn("__stack_chk_fail", imported, relative)
            checked |= {name for name in imported
                        if re.fullmatch(r"__\w+_chk", name) and name != "__stack_chk_fail"}
        # The program's own calls (one-byte reads) are all proven safe when
        # compiled and keep their plain names; the checked variants appear
        # where only a check at run time can tell, as in the library's
        # formatting of device paths.
        self.assertTrue(checked, "no fortified C library call in the package")

    def test_programs_do_not_start_without_the_library_beside_them(self):
        # With the unpacked library gone nothing else may stand in for it:
        # not the build tree, not a system copy.
        bare = os.path.join(self.scratch, "bare")
        shutil.copytree(self.root, bare, symlinks=True)
        os.remove(os.path.join(bare, "usr", LIBRARY))
        for program, arguments in ((PROGRAM, []), (DOCTOR, ["--version"])):
            with self.subTest(program), open(os.devnull, "rb") as no_input:
                result = subprocess.run([os.path.join(bare, "usr", program)] + arguments,
                                        stdin=no_input, capture_output=True, text=True,
                                        env=clean_environment(), timeout=30)
                self.assertEqual(result.returncode, 127, result.stderr)
                self.assertIn("libtiny_hid_dll.so", result.stderr)


if __name__ == "__main__":
    unittest.main()
