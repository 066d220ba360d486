"""The Debian package that `cpack -G DEB` makes in the build tree: clean by
lintian, and unpacked into a throwaway root, its program checks a signed
fixture with its own trust library, also for a user who may not write the
program's directory."""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

import signed_fixtures
from harness import (BUILD_DIR, InstallationTestCase, LIBRARY_DIR, LIBRARY_NAME, MASKED_TIMESTAMP,
                     LinuxInstallation, encode_report, make_home, mask_timestamp, ordinary_user_options)


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

    def test_holds_the_program_the_trust_library_its_roots_and_their_documents_and_nothing_else(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.package], check=True, capture_output=True,
                                 text=True).stdout
        files = sorted(line.split()[-1] for line in listing.splitlines() if not line.startswith("d"))
        self.assertEqual(["./usr/bin/sigreport", "./usr/bin/sigverify", "./usr/lib/sigreport/libwintrust.so",
                          "./usr/lib/sigreport/root-program.idx", "./usr/share/doc/sigreport/README.md",
                          "./usr/share/doc/sigreport/changelog.gz", "./usr/share/doc/sigreport/copyright",
                          "./usr/share/man/man1/sigreport.1.gz", "./usr/share/man/man1/sigverify.1.gz"], files)

    def test_lintian_finds_no_error_and_no_warning(self):
        # Informational and pedantic findings are shown but let pass.
        self.assertIsNotNone(shutil.which("lintian"), "lintian is missing: run tools/install-deps.sh")
        lint = subprocess.run(["lintian", "--fail-on", "error,warning", "--display-info", "--pedantic", self.package], capture_output=True, text=True, timeout=600)
        print(lint.stdout, end="")
        self.assertEqual(0, lint.returncode, lint.stdout + lint.stderr)
        self.assertNotRegex(lint.stdout, r"(?m)^[EW]: ")

    def test_manual_page_renders_without_warnings(self):
        page = os.path.join(self.root, "usr", "share", "man", "man1", "sigreport.1.gz")
        man = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True, timeout=60,
                             env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
        self.assertEqual(0, man.returncode, man.stderr)
        self.assertEqual("", man.stderr)
        self.assertIn("sigreport - check the code signature of a file and write a report", man.stdout)
        for status in ("800b0100", "80096010", "800b0109", "800b010a", "800b0101", "800b0110",
                       "TRUST_E_SUBJECT_FORM_UNKNOWN", "80096001", "SSL_CERT_FILE", "SSL_CERT_DIR",
                       "~/.local/state/sigreport/result.txt"):
            self.assertIn(status, man.stdout)

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

    def test_unpacked_sigverify_verifies_with_the_same_trust_library(self):
        env = dict(os.environ, SSL_CERT_FILE=signed_fixtures.ssl_cert_file(),
                   SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        fixture = next(f for f in signed_fixtures.load() if f.name == "pe64-rsa-sha256.exe")
        run = subprocess.run([os.path.join(self.install.bin_dir, "sigverify"), "--json", fixture.path], env=env,
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertIn(f'"key_hash":"{fixture.signer_key_sha1}"', run.stdout)

    def test_sigverify_manual_page_renders_without_warnings(self):
        page = os.path.join(self.root, "usr", "share", "man", "man1", "sigverify.1.gz")
        man = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True, timeout=60,
                             env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
        self.assertEqual((0, ""), (man.returncode, man.stderr))
        for text in ("--recursive", "--json", "--jobs", "--roots", "EXIT STATUS", "key_hash"):
            self.assertIn(text, man.stdout)

    def test_user_who_may_not_write_the_programs_directory_gets_the_report_in_the_state_directory(self):
        fixture = next(f for f in signed_fixtures.load() if f.name == "pe64-rsa-sha256.exe")
        options = ordinary_user_options(self.tmp, self.package_dir, self.root)
        if os.path.exists(self.install.report_path):
            os.remove(self.install.report_path)
        # The test user owns what dpkg -x made unless the tests run as root.
        os.chmod(self.install.bin_dir, 0o555)
        self.addCleanup(os.chmod, self.install.bin_dir, 0o755)
        home = make_home(os.path.join(self.tmp, "home"), options)
        target = os.path.join(self.scratch, fixture.name)
        roots = os.path.join(self.scratch, "roots.pem")
        shutil.copyfile(fixture.path, target)
        shutil.copyfile(signed_fixtures.ssl_cert_file(), roots)
        for path in (self.scratch, target, roots):
            os.chmod(path, 0o755 if os.path.isdir(path) else 0o644)
        env = dict(os.environ, HOME=home, SSL_CERT_FILE=roots, SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        env.pop("XDG_STATE_HOME", None)
        report_path = os.path.join(home, ".local", "state", "sigreport", "result.txt")
        run = self.install.run(target, report_path=report_path, env=env, **options)
        self.assertEqual(0, run.returncode)
        self.assertEqual(f"Outputted {report_path}\r\n".encode(), run.stdout)
        self.assertIsNotNone(run.report, "no report was written")
        texts = self.full_report_texts(target, fixture.content(), fixture.verdict())
        self.assertEqual(encode_report([MASKED_TIMESTAMP + "\r\n"] + texts), mask_timestamp(run.report))
        self.assertFalse(os.path.exists(self.install.report_path))


if __name__ == "__main__":
    unittest.main()
