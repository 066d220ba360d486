"""Every signed and damaged fixture through the Linux build: the whole
report, byte for byte, ending in the verdict Windows gives for the file."""

import os
import unittest

import signed_fixtures
from harness import InstallationTestCase


@unittest.skipUnless(signed_fixtures.FIXTURE_DIR, "SIGREPORT_FIXTURES is not set")
class SignatureReportTest(InstallationTestCase):
    def test_every_fixture(self):
        env = dict(os.environ, SSL_CERT_FILE=signed_fixtures.ssl_cert_file(),
                   SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        for fixture in signed_fixtures.load():
            with self.subTest(fixture.name, what=fixture.what):
                run = self.install.run(fixture.path, env=env)
                self.assertReport(run, self.full_report_texts(fixture.path, fixture.content(), fixture.verdict()))

    def test_chain_to_a_root_outside_the_trust_anchors_cannot_be_completed(self):
        # Without the test roots in the anchors, and with the message carrying
        # only the leaf and the intermediate, no chain reaches a trusted root.
        env = dict(os.environ, SSL_CERT_FILE=os.path.join(self.tmp, "no-roots.pem"),
                   SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        fixture = next(f for f in signed_fixtures.load() if f.name == "pe64-rsa-sha256.exe")
        run = self.install.run(fixture.path, env=env)
        self.assertReport(run, self.full_report_texts(fixture.path, fixture.content(), fixture.verdict(0x800B010A)))


if __name__ == "__main__":
    unittest.main()
