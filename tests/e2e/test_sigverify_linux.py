"""The sigverify command of the Linux build on the generated fixtures: the
same verdict and key hash as the report program, the signer as OpenSSL
reads the certificate, the exact lines, JSON Lines, exit statuses, order
under parallel jobs, and folder walks past what cannot be read."""

import json
import os
import re
import shutil
import subprocess
import unittest

import signed_fixtures
from harness import BUILD_DIR, ROOT_INDEX_NAME, InstallationTestCase, LinuxInstallation, ordinary_user_options

REPORT_ERROR = re.compile(r"WinVerifyTrustEx Error hr=(\w+)")
REPORT_KEY = re.compile(r"PublicKeyHash: ([0-9a-f]{40})")
# Statuses given once the signature is read: the signer is named.
SIGNER_KNOWN = {0, 0x800B0101, 0x800B0109, 0x800B010A, 0x800B0110, 0x80096004, 0x80096010}
FORMATS = {".exe": "pe", ".cab": "cab", ".msi": "msi", ".msp": "msi", ".mst": "msi", ".ps1": "script", ".psm1": "script",
           ".appx": "appx", ".appxbundle": "appx", ".cat": "catalog"}


def openssl_field(cert_path, *options):
    return subprocess.run(["openssl", "x509", "-in", cert_path, "-noout", *options],
                          capture_output=True, text=True, check=True).stdout.strip()


def openssl_details(cert_path):
    """What sigverify must name for the certificate, read by OpenSSL."""
    def common_name(option):
        text = openssl_field(cert_path, option, "-nameopt", "multiline,utf8")
        return re.search(r"commonName\s*=\s*(.*)", text).group(1).strip()
    fingerprint = openssl_field(cert_path, "-fingerprint", "-sha1").split("=", 1)[1]
    serial = openssl_field(cert_path, "-serial").split("=", 1)[1]
    return {"subject": common_name("-subject"), "issuer": common_name("-issuer"),
            "serial": serial.lower(), "sha1": fingerprint.replace(":", "").lower()}


@unittest.skipUnless(signed_fixtures.FIXTURE_DIR, "SIGREPORT_FIXTURES is not set")
class SigverifyTest(InstallationTestCase):
    def setUp(self):
        super().setUp()
        self.program = os.path.join(BUILD_DIR, "bin", "sigverify")
        self.env = dict(os.environ, SSL_CERT_FILE=signed_fixtures.ssl_cert_file(),
                        SSL_CERT_DIR=os.path.join(self.tmp, "no-cert-dir"))
        self.fixtures = signed_fixtures.load()

    def sigverify(self, *arguments, env=None, timeout=600, **options):
        command = [self.program] + [os.fsencode(a) for a in arguments]
        if "stderr" not in options:
            options["stderr"] = subprocess.PIPE
        return subprocess.run(command, stdout=subprocess.PIPE, timeout=timeout, env=env or self.env, **options)

    def json_lines(self, run):
        return [json.loads(line.decode("utf-8")) for line in run.stdout.splitlines()]

    def report_verdict(self, path):
        """The report program's status and key hash for `path`."""
        run = self.install.run(path, env=self.env)
        text = run.report.decode("utf-16")
        key = REPORT_KEY.search(text)
        if key and "CHECK SUCCESS" in text:
            return 0, key.group(1)
        name = REPORT_ERROR.search(text).group(1)
        named = {v: k for k, v in signed_fixtures.NAMED_STATUSES.items()}
        return (named[name] if name in named else int(name, 16)), None

    def test_every_fixture_has_the_reports_status_and_key_hash(self):
        run = self.sigverify("--json", "-j", "2", *[f.path for f in self.fixtures])
        verdicts = self.json_lines(run)
        self.assertEqual([f.path for f in self.fixtures], [v["path"] for v in verdicts])
        for fixture, verdict in zip(self.fixtures, verdicts):
            with self.subTest(fixture.name, what=fixture.what):
                status, key = self.report_verdict(fixture.path)
                self.assertEqual(status, fixture.status)
                self.assertEqual(f"{status:08x}", verdict["status"])
                self.assertEqual(status == 0, verdict["trusted"])
                if key:
                    self.assertEqual(key, verdict["signer"]["key_hash"])
                if status != 0x800B0003:
                    self.assertEqual(FORMATS[os.path.splitext(fixture.name)[1]], verdict["format"])

    def test_catalog_members_judged_by_the_catalog(self):
        for catalog, member, status, key, what in signed_fixtures.catalog_members():
            with self.subTest(os.path.basename(member), catalog=os.path.basename(catalog), what=what):
                run = self.sigverify("--json", "--catalog", catalog, member)
                verdict = self.json_lines(run)[0]
                self.assertEqual((f"{status:08x}", status == 0), (verdict["status"], verdict["trusted"]))
                self.assertEqual(key, verdict["signer"] and verdict["signer"]["key_hash"])
                self.assertEqual("catalog" if key else None, verdict["format"])
                self.assertEqual(0 if status == 0 else 1 if status > 0xFFFF else 2, run.returncode)

    def test_signer_and_chain_as_openssl_reads_them(self):
        rows = [f for f in self.fixtures if f.status in SIGNER_KNOWN and f.signer_key_sha1]
        verdicts = self.json_lines(self.sigverify("--json", *[f.path for f in rows]))
        with open(os.path.join(signed_fixtures.FIXTURE_DIR, "manifest.json")) as file:
            manifest = {os.path.basename(e["file"]): e for e in json.load(file)["fixtures"]}
        for fixture, verdict in zip(rows, verdicts):
            with self.subTest(fixture.name):
                entry = manifest[fixture.name]
                signer_path = os.path.join(signed_fixtures.FIXTURE_DIR, entry["signer"])
                expected = dict(openssl_details(signer_path), key_hash=fixture.signer_key_sha1)
                self.assertEqual(expected, verdict["signer"])
                self.assertEqual(expected["subject"], verdict["chain"][0])
                if entry.get("digest"):
                    self.assertEqual(entry["digest"], verdict["digest_algorithm"])
                if fixture.status == 0:
                    root = os.path.join(signed_fixtures.FIXTURE_DIR, manifest[fixture.name]["root"])
                    self.assertEqual(openssl_details(root)["subject"], verdict["chain"][-1])

    def test_exact_lines_and_exit_statuses(self):
        by_name = {f.name: f.path for f in self.fixtures}
        good, unsigned, untrusted = (by_name["pe64-rsa-sha256.exe"], by_name["pe64-unsigned.exe"],
                                     by_name["pe64-untrusted-sha1-root.exe"])
        missing = os.path.join(self.scratch, "missing.exe")
        catalog, unlisted = (os.path.join(signed_fixtures.FIXTURE_DIR, "driver", name)
                             for name in ("driver.cat", "unlisted.sys"))
        good_line = (f'{good}: trusted, signed by "sigreport SHA-256 RSA code signing" '
                     f'(issuer "sigreport SHA-256 intermediate")\n')
        rows = [
            ([good], 0, good_line, "1 trusted, 0 not trusted, 0 unreadable\n"),
            ([good, unsigned], 1, good_line +
             f"{unsigned}: NOT TRUSTED: TRUST_E_NOSIGNATURE (0x800b0100): the file is not signed\n",
             "1 trusted, 1 not trusted, 0 unreadable\n"),
            (["-q", good, untrusted], 1, f"{untrusted}: NOT TRUSTED: CERT_E_UNTRUSTEDROOT (0x800b0109): "
             "the chain ends at a root that is not trusted\n", "1 trusted, 1 not trusted, 0 unreadable\n"),
            ([unsigned, missing], 2, f"{unsigned}: NOT TRUSTED: TRUST_E_NOSIGNATURE (0x800b0100): the file is "
             f"not signed\n{missing}: NOT TRUSTED: ERROR_FILE_NOT_FOUND (0x00000002): the file does not exist\n",
             "0 trusted, 1 not trusted, 1 unreadable\n"),
            (["--catalog", catalog, unlisted], 1, f"{unlisted}: NOT TRUSTED: TRUST_E_NOSIGNATURE (0x800b0100): "
             "the catalog does not vouch for the file\n", "0 trusted, 1 not trusted, 0 unreadable\n"),
            ([self.scratch], 2, f"{self.scratch}: NOT TRUSTED: ERROR_ACCESS_DENIED (0x00000005): a folder "
             "(use -r to verify the files in it)\n", "0 trusted, 0 not trusted, 1 unreadable\n"),
            (["--frobnicate", good], 2, "", "sigverify: unrecognized option '--frobnicate'\n"
             "Try 'sigverify --help' for more information.\n"),
            ([], 2, "", "sigverify: no file given\nTry 'sigverify --help' for more information.\n"),
        ]
        for arguments, status, stdout, stderr in rows:
            with self.subTest(arguments):
                run = self.sigverify(*arguments)
                self.assertEqual((status, stdout, stderr), (run.returncode, run.stdout.decode(), run.stderr.decode()))

    def test_timestamp_named_with_its_time_and_authority(self):
        by_name = {f.name: f.path for f in self.fixtures}
        rows = [("pe64-timestamped.exe", "2024-01-02T00:00:00Z"),
                ("pe64-sha256-expired-timestamped.exe", "2020-06-01T00:00:00Z"),
                ("pe64-expired-legacy-timestamp.exe", "2020-06-01T00:00:00Z"), ("pe64-rsa-sha256.exe", None)]
        verdicts = self.json_lines(self.sigverify("--json", *[by_name[name] for name, _ in rows]))
        for (name, time), verdict in zip(rows, verdicts):
            with self.subTest(name):
                expected = {"time": time, "signer": "sigreport SHA-256 time stamping"} if time else None
                self.assertEqual(expected, verdict["timestamp"])
        line = self.sigverify(by_name["pe64-timestamped.exe"]).stdout.decode()
        self.assertTrue(line.endswith(', timestamp 2024-01-02T00:00:00Z by "sigreport SHA-256 time stamping"\n'),
                        line)

    def test_help_and_version(self):
        run = self.sigverify("--help")
        self.assertEqual(0, run.returncode)
        self.assertTrue(run.stdout.startswith(b"Usage: sigverify [OPTION]... PATH...\n"))
        run = self.sigverify("--version")
        self.assertEqual((0, b""), (run.returncode, run.stderr))
        self.assertRegex(run.stdout.decode(), r"^sigverify \d+\.\d+\.\d+\n$")

    def test_parallel_output_is_identical_to_one_job(self):
        paths = [f.path for f in self.fixtures]
        for form in ([], ["--json"]):
            one = self.sigverify(*form, "-j", "1", *paths)
            two = self.sigverify(*form, "-j", "2", *paths)
            self.assertEqual(len(paths), len(one.stdout.splitlines()))
            self.assertEqual((one.returncode, one.stdout, one.stderr), (two.returncode, two.stdout, two.stderr))

    def test_every_file_is_a_system_error_without_a_sound_root_index(self):
        # The index is opened once for the whole run: each worker's files
        # must still see that it is missing or damaged.
        paths = [f.path for f in self.fixtures[:12]]

        def cut_short(index):
            os.truncate(index, 100)

        for what, damage in (("missing", os.remove), ("cut short", cut_short)):
            with self.subTest(what):
                installed = LinuxInstallation(os.path.join(self.tmp, what.replace(" ", "-")))
                shutil.copy2(self.program, installed.bin_dir)
                damage(os.path.join(installed.library_dir, ROOT_INDEX_NAME))
                run = subprocess.run([os.path.join(installed.bin_dir, "sigverify"), "--json", "-j", "2"] + paths,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120, env=self.env)
                self.assertEqual(1, run.returncode, run.stderr)
                self.assertEqual([(p, "80096001") for p in paths],
                                 [(v["path"], v["status"]) for v in self.json_lines(run)])

    def test_walk_sorts_and_passes_fifo_unreadable_file_and_linked_folder(self):
        by_name = {f.name: f for f in self.fixtures}
        folder = os.path.join(self.scratch, "tree")
        os.makedirs(os.path.join(folder, "sub"))
        for name, source in (("b.exe", "pe64-rsa-sha256.exe"), ("sub/a.exe", "pe64-unsigned.exe"),
                             ("locked.exe", "pe64-rsa-sha256.exe")):
            with open(os.path.join(folder, name), "wb") as file:
                file.write(by_name[source].content())
        os.chmod(os.path.join(folder, "locked.exe"), 0)
        os.mkfifo(os.path.join(folder, "a-fifo"))
        os.symlink(folder, os.path.join(folder, "loop"))
        os.symlink(os.path.join(folder, "b.exe"), os.path.join(folder, "c-link.exe"))
        options = ordinary_user_options(self.tmp, self.scratch, folder, os.path.join(folder, "sub"))
        env = dict(self.env, SSL_CERT_FILE=os.path.join(self.tmp, "roots.pem"))
        with open(env["SSL_CERT_FILE"], "wb") as roots, open(signed_fixtures.ssl_cert_file(), "rb") as given:
            roots.write(given.read())
        os.chmod(env["SSL_CERT_FILE"], 0o644)
        # The build tree may lie where that user cannot reach it: a copy of
        # the installation beside the tree is run instead.
        installed = LinuxInstallation(os.path.join(self.tmp, "installed"))
        shutil.copy2(self.program, installed.bin_dir)
        command = [os.path.join(installed.bin_dir, "sigverify"), "-r", "--json", folder]
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, env=env, **options)
        self.assertEqual(2, run.returncode)
        verdicts = self.json_lines(run)
        self.assertEqual([os.path.join(folder, n) for n in ("a-fifo", "b.exe", "c-link.exe", "locked.exe",
                                                             "sub/a.exe")], [v["path"] for v in verdicts])
        self.assertEqual([("00000005", False), ("00000000", True), ("00000000", True), ("00000005", False),
                          ("800b0100", False)], [(v["status"], v["trusted"]) for v in verdicts])
        self.assertEqual("not a regular file, skipped", verdicts[0]["error"])
        self.assertIsNotNone(verdicts[3]["error"])
        self.assertIsNone(verdicts[4]["error"])
        self.assertEqual(b"2 trusted, 1 not trusted, 2 unreadable\n", run.stderr)

    def test_undecodable_path_gives_valid_json(self):
        path = os.path.join(os.fsencode(self.scratch), b"caf\xe9.exe")
        with open(path, "wb") as file:
            file.write(next(f for f in self.fixtures if f.name == "pe64-rsa-sha256.exe").content())
        run = self.sigverify(os.fsdecode(path), "--json")
        self.assertEqual(0, run.returncode)
        verdict = json.loads(run.stdout.decode("utf-8"))
        self.assertEqual(os.path.join(self.scratch, "caf\ufffd.exe"), verdict["path"])
        run = self.sigverify(os.fsdecode(path))
        self.assertTrue(run.stdout.startswith(path + b": trusted, signed by "))

    def test_roots_option_adds_to_the_environments_roots(self):
        good = next(f.path for f in self.fixtures if f.name == "pe64-rsa-sha256.exe")
        empty = os.path.join(self.tmp, "empty.pem")
        open(empty, "w").close()
        env = dict(self.env, SSL_CERT_FILE=empty)
        rows = [([good], env, 1), (["--roots", signed_fixtures.ssl_cert_file(), good], env, 0),
                (["--roots", empty, good], self.env, 0),
                (["--roots", os.path.join(self.tmp, "absent.pem"), good], env, 2)]
        for arguments, environment, status in rows:
            with self.subTest(arguments, env=environment["SSL_CERT_FILE"]):
                self.assertEqual(status, self.sigverify(*arguments, env=environment).returncode)

    def test_progress_line_only_on_a_terminal_with_many_files(self):
        paths = [f.path for f in self.fixtures[:25]]
        piped = self.sigverify(*paths)
        self.assertNotIn(b"files/s", piped.stderr)
        primary, secondary = os.openpty()
        try:
            run = self.sigverify(*paths, stderr=secondary)
            os.close(secondary)
            secondary = None
            shown = b""
            try:
                while chunk := os.read(primary, 65536):
                    shown += chunk
            except OSError:
                pass
        finally:
            os.close(primary)
            if secondary is not None:
                os.close(secondary)
        self.assertEqual(25, len(run.stdout.splitlines()))
        self.assertRegex(shown, rb"\d+/25 files, \d+ files/s")
        self.assertTrue(shown.endswith(b"\r\x1b[K" + piped.stderr.replace(b"\n", b"\r\n")), shown[-80:])


if __name__ == "__main__":
    unittest.main()
