"""sigverify.exe under Wine, whose WinTrust and CryptoAPI are real, on every
fixture in one run, line for line against the Linux build's sigverify on
the same files: the same lines wherever Wine is known to answer as Windows
does, and where it is not, the status recorded for the report program."""

import json
import os
import re
import subprocess
import unittest

import signed_fixtures
from harness import BUILD_DIR, InstallationTestCase, WineInstallation, wine_run
# The module, not its class: a class imported here would run again as a test
# of this file.
import test_signatures_windows as report_tests

STATUS = re.compile(r": NOT TRUSTED: \w+ \(0x([0-9a-f]{8})\)")
# Wine's WinTrust hands back no counter-signer, so Wine's lines never name a
# time stamp: the Linux line's time-stamp part is left out before comparing.
TIMESTAMP_PART = re.compile(r', timestamp \S+ by "[^"]*"$')


# Where Wine's catalog functions answer otherwise than Windows', by (catalog,
# member): the status Wine gives and why.
CATALOG_DIFFERENCES = {
    ("driver.cat", "driver.sys"): (0x800B0100, "Wine has no SHA-256 catalog hash, and the catalog lists the "
                                   "image by its SHA-256 digest"),
    ("tampered.cat", "driver.inf"): (0, "Wine does not check a catalog's digest"),
}


@unittest.skipUnless(signed_fixtures.FIXTURE_DIR, "SIGREPORT_FIXTURES is not set")
@unittest.skipUnless(report_tests.LINUX_BUILD_DIR, "SIGREPORT_LINUX_BUILD_DIR is not set")
class WineSigverifyTest(InstallationTestCase):
    def test_every_fixture_gives_the_linux_line_or_the_recorded_wine_status(self):
        report_tests.WineSignatureTest.trust_test_roots()
        self.check_lines(signed_fixtures.load())

    def test_core_fixtures_give_the_linux_lines(self):
        """The few files the 32-bit form is checked on under an emulator,
        where each start costs a minute: the lines of two threads at work."""
        report_tests.WineSignatureTest.trust_test_roots()
        fixtures = [f for f in signed_fixtures.load() if f.name in report_tests.CORE_FIXTURES]
        self.assertEqual(len(report_tests.CORE_FIXTURES), len(fixtures))
        self.check_lines(fixtures)

    def check_lines(self, fixtures):
        """sigverify.exe's line for each fixture: the Linux build's, or the
        status recorded for the report program where Wine differs."""
        differences = report_tests.WineSignatureTest.wine_differences(self)
        program = os.path.join(BUILD_DIR, "bin", "sigverify.exe")
        # Two jobs on Windows against one on Linux: the lines must not depend
        # on the threads, and under an emulator a 32-bit Wine program runs
        # two threads at once but not three.
        wine = wine_run.run(program, "-j", "2", *[WineInstallation.platform_path(f.path) for f in fixtures],
                            capture_output=True, timeout=wine_run.timeout_for(program) * 4)
        env = dict(os.environ, SSL_CERT_FILE=signed_fixtures.ssl_cert_file(),
                   SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        linux = subprocess.run([os.path.join(report_tests.LINUX_BUILD_DIR, "bin", "sigverify"), "-j", "1"] +
                               [f.path for f in fixtures], env=env, capture_output=True, timeout=600)
        wine_lines = wine.stdout.decode("utf-8").splitlines()
        linux_lines = linux.stdout.decode("utf-8").splitlines()
        self.assertEqual(len(fixtures), len(wine_lines), wine.stderr)
        self.assertEqual(len(fixtures), len(linux_lines))
        for fixture, wine_line, linux_line in zip(fixtures, wine_lines, linux_lines):
            with self.subTest(fixture.name, what=fixture.what):
                shown = WineInstallation.platform_path(fixture.path)
                self.assertTrue(wine_line.startswith(shown + ": "), wine_line)
                wine_verdict = wine_line[len(shown):]
                linux_verdict = linux_line[len(fixture.path):]
                if fixture.name in differences:
                    status = differences[fixture.name][0]
                    found = STATUS.search(wine_verdict)
                    self.assertEqual(status, int(found.group(1), 16) if found else 0, wine_verdict)
                    continue
                self.assertNotIn(", timestamp ", wine_verdict)
                self.assertEqual(TIMESTAMP_PART.sub("", linux_verdict), wine_verdict)

    def test_json_names_the_same_signer_chain_digest_and_format(self):
        report_tests.WineSignatureTest.trust_test_roots()
        differences = report_tests.WineSignatureTest.wine_differences(self)
        fixtures = [f for f in signed_fixtures.load() if f.name not in differences]
        program = os.path.join(BUILD_DIR, "bin", "sigverify.exe")
        wine = wine_run.run(program, "--json", *[WineInstallation.platform_path(f.path) for f in fixtures],
                            capture_output=True, timeout=wine_run.timeout_for(program) * 4)
        env = dict(os.environ, SSL_CERT_FILE=signed_fixtures.ssl_cert_file(),
                   SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        linux = subprocess.run([os.path.join(report_tests.LINUX_BUILD_DIR, "bin", "sigverify"), "--json"] +
                               [f.path for f in fixtures], env=env, capture_output=True, timeout=600)
        fields = ("trusted", "status", "status_name", "format", "digest_algorithm", "signer", "chain", "error")
        wine_objects = [json.loads(line) for line in wine.stdout.decode("utf-8").splitlines()]
        linux_objects = [json.loads(line) for line in linux.stdout.decode("utf-8").splitlines()]
        self.assertEqual(len(fixtures), len(wine_objects))
        for fixture, ours, theirs in zip(fixtures, linux_objects, wine_objects):
            with self.subTest(fixture.name):
                expected = {k: ours[k] for k in fields}
                if fixture.status == 0x80096010:
                    # Wine checks the file's digest before it loads the
                    # signer and keeps no signer when the digest fails; our
                    # library names the signer of any signature it read.
                    expected.update(signer=None, chain=[], digest_algorithm=None)
                self.assertEqual(expected, {k: theirs[k] for k in fields})

    def test_catalog_members_give_the_linux_line_or_the_recorded_wine_status(self):
        report_tests.WineSignatureTest.trust_test_roots()
        program = os.path.join(BUILD_DIR, "bin", "sigverify.exe")
        env = dict(os.environ, SSL_CERT_FILE=signed_fixtures.ssl_cert_file(),
                   SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        for catalog, member, _, _, what in signed_fixtures.catalog_members():
            key = (os.path.basename(catalog), os.path.basename(member))
            with self.subTest(key, what=what):
                wine = wine_run.run(program, "--catalog", WineInstallation.platform_path(catalog),
                                    WineInstallation.platform_path(member), capture_output=True,
                                    timeout=wine_run.timeout_for(program))
                linux = subprocess.run([os.path.join(report_tests.LINUX_BUILD_DIR, "bin", "sigverify"), "--catalog",
                                        catalog, member], env=env, capture_output=True, timeout=60)
                wine_verdict = wine.stdout.decode("utf-8")[len(WineInstallation.platform_path(member)):]
                if key in CATALOG_DIFFERENCES:
                    found = STATUS.search(wine_verdict)
                    self.assertEqual(CATALOG_DIFFERENCES[key][0], int(found.group(1), 16) if found else 0,
                                     wine_verdict)
                    continue
                self.assertEqual(linux.stdout.decode("utf-8")[len(member):], wine_verdict)
                self.assertEqual(linux.returncode, wine.returncode)


if __name__ == "__main__":
    unittest.main()
