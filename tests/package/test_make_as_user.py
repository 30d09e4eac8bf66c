"""./make and make package as a user who may not install, on a machine that
lacks some packages: one row per way sudo cannot serve. Each row runs in a
private mount namespace whose /etc/passwd, /etc/group, /etc/shadow and
/etc/sudoers name a throwaway user, and whose dpkg status lacks the packages
below; the real files are never changed. Real sudo decides; no row reaches
apt-get. Needs root to set the namespace up, and sudo, which
scripts/install-deps installs."""

import fcntl
import os
import select
import shutil
import subprocess
import tempfile
import termios
import unittest

from installed_program import SOURCE_DIR

USER, UID = "quivertap-test", 64123
# What a machine without the test packages lacks, and file, which packaging
# needs: the list must name file, and for make package nothing else.
DROPPED = {"file", "lintian", "qemu-system-x86", "wine64", "g++-mingw-w64-x86-64", "clang"}
REFUSED = ""  # no sudoers line: sudo refuses the user
WITH_PASSWORD = f"{USER} ALL=(ALL:ALL) ALL\n"

# (name, sudoers line, on a terminal, command, status, packages listed, words seen)
ROWS = [
    ("refused, no terminal", REFUSED, False, ["./make", "package"], 1, {"file"},
     ["sudo needs a password, with no terminal to type it on"]),
    ("refused, at a terminal", REFUSED, True, ["./make", "package"], 1, {"file"},
     [f"Sorry, user {USER} may not run sudo", "sudo did not let you"]),
    # sudo's own prompt, as for any user who may use it; three wrong answers.
    ("password, at a terminal", WITH_PASSWORD, True, ["./make", "package"], 1, {"file"},
     [f"[sudo] password for {USER}:", "sudo did not let you"]),
    ("password, no terminal, the full test", WITH_PASSWORD, False, ["./make", "test"], 1,
     DROPPED, ["sudo needs a password, with no terminal to type it on"]),
    ("make package itself", REFUSED, False, ["make", "package"], 2, {"file"},
     ["sudo needs a password, with no terminal to type it on"]),
]

# Runs as root inside the namespace, then becomes the user.
ENTER = """set -e
for f in passwd group shadow sudoers; do mount --bind "$1/$f" "/etc/$f"; done
mount --bind "$1/status" /var/lib/dpkg/status
cd "$1/tree"
shift
exec setpriv --reuid={uid} --regid={uid} --init-groups \
    env -i PATH=/usr/bin:/bin LC_ALL=C HOME=/nonexistent "$@"
""".format(uid=UID)


def copy_as(source, target, mode, extra=""):
    with open(source) as original:
        text = original.read()
    with open(target, "w") as copy:
        copy.write(text + extra)
    status = os.stat(source)
    os.chown(target, status.st_uid, status.st_gid)
    os.chmod(target, mode)


def status_without(target, dropped):
    with open("/var/lib/dpkg/status") as status:
        stanzas = status.read().split("\n\n")
    kept = [s for s in stanzas if s.split("\n", 1)[0].removeprefix("Package: ") not in dropped]
    with open(target, "w") as copy:
        copy.write("\n\n".join(kept))


def listed(out):
    lead = "install-deps: these packages are missing: "
    for line in out.splitlines():
        if line.startswith(lead):
            return set(line[len(lead):].split())
    return None


@unittest.skipUnless(os.geteuid() == 0, "setting up the user's namespace needs root")
class MakeAsUser(unittest.TestCase):
    def setUp(self):
        for tool in ("sudo", "unshare", "setpriv", "make"):
            if not shutil.which(tool):
                self.fail(f"{tool} is not installed (scripts/install-deps installs it)")
        self.scratch = tempfile.mkdtemp(prefix="quivertap-make-")
        self.addCleanup(shutil.rmtree, self.scratch, True)
        os.chmod(self.scratch, 0o755)
        # The entry points alone, where the user can read them wherever the
        # clone lives.
        tree = os.path.join(self.scratch, "tree")
        os.makedirs(os.path.join(tree, "scripts"))
        for name in ("make", "Makefile", "scripts/install-deps"):
            shutil.copy2(os.path.join(SOURCE_DIR, name), os.path.join(tree, name))
        for folder, _, _ in os.walk(tree):
            os.chmod(folder, 0o755)
        copy_as("/etc/passwd", self.file("passwd"), 0o644,
                f"{USER}:x:{UID}:{UID}::/nonexistent:/bin/sh\n")
        copy_as("/etc/group", self.file("group"), 0o644, f"{USER}:x:{UID}:\n")
        copy_as("/etc/shadow", self.file("shadow"), 0o640, f"{USER}:!:19000::::::\n")
        status_without(self.file("status"), DROPPED)

    def file(self, name):
        return os.path.join(self.scratch, name)

    def run_row(self, sudoers, terminal, command):
        with open(self.file("sudoers"), "w") as rules:
            rules.write("Defaults env_reset\nroot ALL=(ALL:ALL) ALL\n" + sudoers)
        os.chmod(self.file("sudoers"), 0o440)
        argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c", ENTER, "sh",
                self.scratch] + command
        if not terminal:
            result = subprocess.run(["setsid", "-w"] + argv, stdin=subprocess.DEVNULL,
                                    capture_output=True, text=True, timeout=120)
            return result.returncode, result.stdout + result.stderr
        main, side = os.openpty()
        run = subprocess.Popen(argv, stdin=side, stdout=side, stderr=side,
                               start_new_session=True,
                               preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(side)
        out, answered = b"", 0
        while select.select([main], [], [], 60)[0]:
            try:
                chunk = os.read(main, 4096)
            except OSError:  # EIO once everything on the terminal has gone
                break
            if not chunk:
                break
            out += chunk
            if out.count(b"password for") > answered:
                answered += 1
                os.write(main, b"not the password\n")
        os.close(main)
        return run.wait(timeout=60), out.decode(errors="replace")

    def test_rows(self):
        for name, sudoers, terminal, command, status, packages, words in ROWS:
            with self.subTest(name):
                code, out = self.run_row(sudoers, terminal, command)
                self.assertEqual(code, status, out)
                self.assertEqual(listed(out), packages, out)
                self.assertIn("apt-get install --no-install-recommends", out)
                for word in words:
                    self.assertIn(word, out)
                self.assertEqual("[sudo] password" in out, sudoers != REFUSED and terminal, out)


if __name__ == "__main__":
    unittest.main()
