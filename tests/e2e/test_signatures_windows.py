"""The signed and damaged fixtures through the Windows build under Wine,
whose WinTrust is real, and the same files through the Linux build: both
must reach the verdict Windows gives wherever Wine is known to be right.

Where Wine 8 is known to differ from Windows, the table below records what
Wine answers instead, and the test holds Wine to exactly that, so a change
in either shows up here."""

import os
import subprocess
import unittest

import signed_fixtures
from harness import BUILD_DIR, InstallationTestCase, LinuxInstallation, WineInstallation, wine_run

LINUX_BUILD_DIR = os.environ.get("SIGREPORT_LINUX_BUILD_DIR", "")

# fixture: (what Wine answers, why it differs from Windows)
WINE_DIFFERENCES = {
    "pe64-ecdsa-sha256.exe": (0x80096004, "Wine cannot verify ECDSA signers"),
    "pe32-ecdsa-sha1.exe": (0x80096004, "Wine cannot verify ECDSA signers"),
    "pe64-missing-intermediate.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-untrusted-sha256-root.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-sha256-expired.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-expired-late-timestamp.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-expired-late-legacy-timestamp.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-expired-legacy-timestamp-bare-sha1-long.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-serverauth.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-bad-cert-signature.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-lifetime-expired-timestamped.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-untrusted-nested-valid.exe": (0, "no chain policy for SHA-256-signed certificates"),
    "pe64-sha1-expired-timestamped.exe": (0x800B0101, "Wine ignores RFC 3161 timestamps"),
    "pe64-tampered-signature.exe": (0x80096004, "Wine reports a bad signer signature as a certificate signature"),
    "pe64-signer-bare-digest.exe": (0, "Wine's RSA provider takes a signature over the bare digest for any signer"),
    "pe64-truncated-table.exe": (0x7A, "Wine fails a cut certificate table with ERROR_INSUFFICIENT_BUFFER"),
    "pe64-truncated-headers.exe": (0x800B0100, "Wine takes a PE cut inside its headers as unsigned"),
    "cab-tampered-data.cab": (0, "Wine does not check a cabinet's digest"),
    "cab-truncated-header.cab": (0x800B0100, "Wine takes a cabinet cut inside its header reserve as unsigned"),
    "cab-folder-reserve-changed.cab": (0, "Wine does not check a signed cabinet's unsigned header fields"),
    "cab-data-reserve-changed.cab": (0, "Wine does not check a signed cabinet's unsigned header fields"),
    "cab-reserved-nonzero.cab": (0, "Wine does not check a signed cabinet's unsigned header fields"),
    "cab-folder-past-end.cab": (0, "Wine does not check a cabinet's digest"),
    "msi-rsa-tampered-stream.msi": (0, "Wine does not check an MSI package's digest"),
    "msi-ex-tampered-stream.msi": (0, "Wine does not check an MSI package's digest"),
    "msp-tampered-stream.msp": (0, "Wine does not check an MSI package's digest"),
    "mst-tampered-stream.mst": (0, "Wine does not check an MSI package's digest"),
    "pe64-rsa-pss.exe": (0x80096004, "Wine cannot verify RSA-PSS signatures"),
    "pe64-cms-v3.exe": (0x8009310B, "Wine reads SignedData content only as a SEQUENCE, not an OCTET STRING eContent"),
    "pe64-cms-v3-ber.exe": (0x8009310B, "Wine reads SignedData content only as a SEQUENCE, not an OCTET STRING eContent"),
    "cat-pkcs7-tampered.cat": (0, "Wine does not check a catalog's digest"),
    "cat-cms-sha256.cat": (0x8009310B, "Wine reads SignedData content only as a SEQUENCE, not an OCTET STRING eContent"),
    "cat-cms-tampered.cat": (0x8009310B, "Wine reads SignedData content only as a SEQUENCE, not an OCTET STRING eContent"),
}
# Where every Wine start is costly (a 32-bit Wine emulated), these alone run
# (tests/CMakeLists.txt, the e2e_core_* tests): the whole reports of either PE
# form signed, of an unsigned and a tampered program and of a file that is
# not a program, each with the origin and trust-library lines of the build.
# The verdicts on the unsigned ones do not depend on the test roots, so they
# need no start to trust them and run beside the signed ones.
SIGNED_CORE_FIXTURES = ("pe32-rsa-sha1.exe", "pe64-rsa-sha256.exe")
UNSIGNED_CORE_FIXTURES = ("pe32-unsigned.exe", "pe64-tampered-code.exe", "plain.txt")
CORE_FIXTURES = SIGNED_CORE_FIXTURES + UNSIGNED_CORE_FIXTURES
# Wine has no subject for PowerShell scripts.
WINE_DIFFERENCES.update(
    (name, (0x800B0003, "Wine has no PowerShell script subject"))
    for name in ("ps1-utf8-sha256.ps1", "ps1-utf8bom-sha1.ps1", "ps1-utf16-sha256.ps1", "psm1-ascii-sha256.psm1",
                 "ps1-late-utf8-signed-as-utf8.ps1", "ps1-late-utf8-signed-as-ansi.ps1", "ps1-unsigned.ps1",
                 "ps1-tampered.ps1", "ps1-truncated-block.ps1"))
# Nor for MSIX/APPX packages and bundles: it answers every one as an unknown form.
WINE_DIFFERENCES.update(
    (name, (0x800B0003, "Wine has no APPX subject"))
    for name in ("appx-unsigned.appx", "appx-rsa-sha256.appx", "appx-zip64-rsa-sha256.appx",
                 "appx-tampered-file.appx", "appx-tampered-payload.appx", "appx-tampered-block-map.appx",
                 "appx-tampered-content-types.appx", "appx-bundle-unsigned.appxbundle",
                 "appx-bundle-rsa-sha256.appxbundle", "appx-bundle-tampered-package.appxbundle"))

# Where Wine's 32-bit half answers otherwise than its 64-bit one.
WINE_32_BIT_DIFFERENCES = {
    "pe64-ber-outer.exe": (0x80093103, "Wine's 32-bit half takes BER indefinite lengths in a signature's outer "
                           "layers as corrupt (CRYPT_E_ASN1_CORRUPT)"),
}


@unittest.skipUnless(signed_fixtures.FIXTURE_DIR, "SIGREPORT_FIXTURES is not set")
class WineSignatureTest(InstallationTestCase):
    _roots_trusted = False

    @classmethod
    def trust_test_roots(cls):
        """Adds the fixtures' roots to the prefix's Root store, one start for all."""
        if cls._roots_trusted:
            return
        trust_root = os.path.join(BUILD_DIR, "bin", "trust_root.exe")
        ders = []
        for pem in signed_fixtures.trusted_roots():
            ders.append(pem[:-len(".crt")] + ".der")
            subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER", "-out", ders[-1]], check=True)
        wine_run.run(trust_root, *map(WineInstallation.platform_path, ders), check=True,
                     timeout=wine_run.timeout_for(trust_root))
        cls._roots_trusted = True

    def wine_differences(self):
        """The recorded differences of the Wine half the build under test runs in."""
        if self.install.system_directory == "syswow64":
            return {**WINE_DIFFERENCES, **WINE_32_BIT_DIFFERENCES}
        return WINE_DIFFERENCES

    def check_fixtures(self, fixtures):
        """Each fixture's whole report: Windows' verdict or the recorded Wine difference."""
        differences = self.wine_differences()
        for fixture in fixtures:
            with self.subTest(fixture.name, what=fixture.what):
                status = differences.get(fixture.name, (fixture.status, ""))[0]
                path = self.install.platform_path(fixture.path)
                run = self.install.run(path)
                self.assertReport(run, self.full_report_texts(path, fixture.content(), fixture.verdict(status)))

    def core_fixtures(self, names):
        fixtures = [fixture for fixture in signed_fixtures.load() if fixture.name in names]
        self.assertEqual(sorted(names), sorted(fixture.name for fixture in fixtures))
        return fixtures

    def test_core_signed_fixtures_match_windows(self):
        self.trust_test_roots()
        self.check_fixtures(self.core_fixtures(SIGNED_CORE_FIXTURES))

    def test_core_unsigned_fixtures_match_windows(self):
        self.check_fixtures(self.core_fixtures(UNSIGNED_CORE_FIXTURES))

    def test_every_other_fixture_matches_windows_or_the_recorded_wine_difference(self):
        self.trust_test_roots()
        fixtures = signed_fixtures.load()
        self.assertTrue(set(self.wine_differences()) <= {f.name for f in fixtures}, "the tables name unknown fixtures")
        self.check_fixtures([fixture for fixture in fixtures if fixture.name not in CORE_FIXTURES])

    @unittest.skipUnless(LINUX_BUILD_DIR, "SIGREPORT_LINUX_BUILD_DIR is not set")
    def test_linux_build_reaches_the_same_verdict_on_the_same_files(self):
        self.trust_test_roots()
        linux = LinuxInstallation(os.path.join(self.tmp, "linux"), LINUX_BUILD_DIR)
        env = dict(os.environ, SSL_CERT_FILE=signed_fixtures.ssl_cert_file(),
                   SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        differences = self.wine_differences()
        for fixture in signed_fixtures.load():
            if fixture.name in differences:
                continue
            with self.subTest(fixture.name, what=fixture.what):
                wine_report = self.install.run(self.install.platform_path(fixture.path)).report
                linux_report = linux.run(fixture.path, env=env).report
                self.assertEqual(verdict_of(wine_report), verdict_of(linux_report))
                self.assertEqual("".join(fixture.verdict()), verdict_of(linux_report))


def verdict_of(report):
    """The report's texts after its four origin lines."""
    lines = report[2:].decode("utf-16-le").split("\r\n")
    return "\r\n".join(lines[10:])


if __name__ == "__main__":
    unittest.main()
