"""The Debian package that `cpack -G DEB` makes in the build tree: unpacked
into a throwaway root, its program checks a signed fixture with its own
trust library."""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

import signed_fixtures
from harness import BUILD_DIR, InstallationTestCase, LIBRARY_DIR, LIBRARY_NAME, LinuxInstallation


class PackagedInstallation(LinuxInstallation):
    """The program and trust library where the package put them under `root`."""

    def __init__(self, root):  # pylint: disable=super-init-not-called
        self.root = root
        self.bin_dir = os.path.join(root, "usr", "bin")
        self.executable = os.path.join(self.bin_dir, "sigreport")
        self.library_dir = os.path.join(root, "usr", LIBRARY_DIR)
        self.library = os.path.join(self.library_dir, LIBRARY_NAME)
        self.report_path = os.path.join(self.bin_dir, "result.txt")


@unittest.skipUnless(signed_fixtures.FIXTURE_DIR, "SIGREPORT_FIXTURES is not set")
class DebianPackageTest(InstallationTestCase):
    @classmethod
    def setUpClass(cls):
        # One package for all the tests: making it takes most of the time.
        cls.package_dir = tempfile.mkdtemp(prefix="sigreport-package-")
        output = os.path.join(cls.package_dir, "package")
        subprocess.run(["cpack", "-G", "DEB", "-B", output], cwd=BUILD_DIR, check=True, capture_output=True,
                       timeout=600)
        cls.packages = glob.glob(os.path.join(output, "*.deb"))
        cls.root = os.path.join(cls.package_dir, "root")
        for package in cls.packages:
            subprocess.run(["dpkg", "-x", package, cls.root], check=True, timeout=300)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.package_dir, True)

    def setUp(self):
        super().setUp()
        self.assertEqual(1, len(self.packages), self.packages)
        self.package = self.packages[0]
        self.install = PackagedInstallation(self.root)

    def test_holds_the_program_the_trust_library_its_roots_and_the_readme_and_nothing_else(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.package], check=True, capture_output=True,
                                 text=True).stdout
        files = sorted(line.split()[-1] for line in listing.splitlines() if not line.startswith("d"))
        self.assertEqual(["./usr/bin/sigreport", "./usr/lib/sigreport/libwintrust.so",
                          "./usr/lib/sigreport/root-program.idx", "./usr/share/doc/sigreport/README.md"], files)

    def test_depends_on_the_openssl_runtime(self):
        depends = subprocess.run(["dpkg-deb", "-f", self.package, "Depends"], check=True, capture_output=True,
                                 text=True).stdout
        self.assertRegex(depends, r"(^|, )libssl3 \(>= 3")

    def test_unpacked_program_checks_a_signed_file_with_its_own_trust_library(self):
        env = dict(os.environ, SSL_CERT_FILE=signed_fixtures.ssl_cert_file(),
                   SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        fixture = next(f for f in signed_fixtures.load() if f.name == "pe64-rsa-sha256.exe")
        self.assertEqual(0, fixture.status)
        run = self.install.run(fixture.path, env=env)
        self.assertReport(run, self.full_report_texts(fixture.path, fixture.content(), fixture.verdict()))


if __name__ == "__main__":
    unittest.main()
