"""sigverify.exe under Wine, whose WinTrust and CryptoAPI are real, on every
fixture in one run, line for line against the Linux build's sigverify on
the same files: the same lines wherever Wine is known to answer as Windows
does, and where it is not, the status recorded for the report program."""

import os
import re
import subprocess
import unittest

import signed_fixtures
from harness import BUILD_DIR, InstallationTestCase, WineInstallation, wine_run
from test_signatures_windows import LINUX_BUILD_DIR, WineSignatureTest

STATUS = re.compile(r": NOT TRUSTED: \w+ \(0x([0-9a-f]{8})\)")
# Where Wine's lines differ from Windows' though the status is the same:
# fixture: (the part of the Linux line Wine leaves out, why).
WINE_LINE_DIFFERENCES = {}


@unittest.skipUnless(signed_fixtures.FIXTURE_DIR, "SIGREPORT_FIXTURES is not set")
@unittest.skipUnless(LINUX_BUILD_DIR, "SIGREPORT_LINUX_BUILD_DIR is not set")
class WineSigverifyTest(InstallationTestCase):
    def test_every_fixture_gives_the_linux_line_or_the_recorded_wine_status(self):
        WineSignatureTest.trust_test_roots()
        differences = WineSignatureTest.wine_differences(self)
        fixtures = signed_fixtures.load()
        program = os.path.join(BUILD_DIR, "bin", "sigverify.exe")
        wine = wine_run.run(program, "-j", "1", *[WineInstallation.platform_path(f.path) for f in fixtures],
                            capture_output=True, timeout=wine_run.timeout_for(program) * 4)
        env = dict(os.environ, SSL_CERT_FILE=signed_fixtures.ssl_cert_file(),
                   SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        linux = subprocess.run([os.path.join(LINUX_BUILD_DIR, "bin", "sigverify"), "-j", "1"] +
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
                if fixture.name in WINE_LINE_DIFFERENCES:
                    linux_verdict = linux_verdict.replace(WINE_LINE_DIFFERENCES[fixture.name][0], "")
                self.assertEqual(linux_verdict, wine_verdict)


if __name__ == "__main__":
    unittest.main()
