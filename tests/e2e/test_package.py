"""What a user gets: the install tree of `cmake --install` and the Debian
package that CPack builds, unpacked into a scratch root, judged by readelf,
dpkg-deb and lintian and run from where it landed."""

import filecmp
import glob
import os
import shutil
import subprocess
import tempfile
import unittest

from support import BIN_DIR, SCHEMA_DIR

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
INSTALLED = {
    "bin/korvalin-cap",
    "share/man/man1/korvalin-cap.1",
    "share/korvalin-cap/commands.schema.json",
    "share/korvalin-cap/events.schema.json",
    "share/doc/korvalin-cap/README.md",
    "share/doc/korvalin-cap/copyright",
    "share/doc/korvalin-cap/changelog",
}


def files_under(root):
    return {os.path.relpath(os.path.join(top, name), root) for top, _, names in os.walk(root) for name in names}


def dynamic_section(path):
    return subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout


class Package(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="korvalin-package-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def run_installed(self, program, *args):
        env = dict(os.environ, TMPDIR=self.dir)
        return subprocess.run([program] + list(args), capture_output=True, env=env, timeout=120)

    def test_install_tree_holds_the_program_its_manual_schema_and_docs_only(self):
        prefix = os.path.join(self.dir, "first")
        subprocess.run(["cmake", "--install", BIN_DIR, "--prefix", prefix], capture_output=True, check=True)
        self.assertEqual(files_under(prefix), INSTALLED)
        self.assertNotIn("PATH", dynamic_section(os.path.join(prefix, "bin/korvalin-cap")))
        for name in ("commands.schema.json", "events.schema.json"):
            self.assertTrue(filecmp.cmp(os.path.join(prefix, "share/korvalin-cap", name),
                                        os.path.join(SCHEMA_DIR, name), shallow=False))
        man = subprocess.run(["man", "--warnings", "-l", os.path.join(prefix, "share/man/man1/korvalin-cap.1")],
                             capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80"))
        self.assertEqual(man.stderr, "")
        for section in ("EXIT STATUS", "PROTOCOL", "ENVIRONMENT", "--merge", "probe_result", "repair_failed"):
            self.assertIn(section, man.stdout)
        # Relocatable: the tree works after a move.
        moved = os.path.join(self.dir, "moved")
        os.rename(prefix, moved)
        done = self.run_installed(os.path.join(moved, "bin/korvalin-cap"), "--version")
        self.assertEqual((done.returncode, done.stdout), (0, b"0.1.0\n"))

    def test_debian_package_unpacks_runs_and_passes_lintian(self):
        subprocess.run(["cpack", "--config", os.path.join(BIN_DIR, "CPackConfig.cmake"), "-G", "DEB",
                        "-B", self.dir], capture_output=True, check=True)
        (deb,) = glob.glob(os.path.join(self.dir, "*.deb"))
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        self.assertEqual(os.path.basename(deb), "korvalin-cap_0.1.0_%s.deb" % arch)

        fields = {name: subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True,
                                       check=True).stdout.strip() for name in ("Depends", "Recommends")}
        for library in ("libc6", "libpulse0", "libavformat", "libavcodec", "libswresample", "libavutil"):
            self.assertIn(library, fields["Depends"])
        self.assertEqual(fields["Recommends"], "pipewire-pulse | pulseaudio")

        root = os.path.join(self.dir, "root")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        expected = {"usr/" + name for name in INSTALLED}
        expected = {name + ".gz" if name.endswith(("korvalin-cap.1", "/changelog")) else name for name in expected}
        self.assertEqual(files_under(root), expected)
        program = os.path.join(root, "usr/bin/korvalin-cap")
        self.assertRegex(subprocess.run(["file", program], capture_output=True, text=True).stdout, ", stripped$")
        done = self.run_installed(program, "--version")
        self.assertEqual((done.returncode, done.stdout), (0, b"0.1.0\n"))
        done = self.run_installed(program, "--selftest")
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertTrue(done.stdout.endswith(b"\nSELFTEST OK\n"), done.stdout)

        lintian = subprocess.run(["lintian", "--tag-display-limit", "0", deb], capture_output=True, text=True)
        self.assertNotIn("E: ", lintian.stdout + lintian.stderr)


if __name__ == "__main__":
    unittest.main()
