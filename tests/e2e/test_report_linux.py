"""Whole reports of the Linux build, compared byte for byte."""

import hashlib
import os
import pwd
import shutil
import stat
import unittest

from harness import InstallationTestCase, NOT_PE_VERDICT, TRUST_FUNCTIONS, USAGE_EXAMPLE


class FileLinesTest(InstallationTestCase):
    def check_file(self, content, name="target.bin"):
        path = self.write_file(name, content)
        run = self.install.run(path)
        self.assertReport(run, self.full_report_texts(path, content))

    def test_empty_file(self):
        self.check_file(b"")

    def test_abc(self):
        self.check_file(b"abc")

    def test_binary_content_across_many_blocks(self):
        self.check_file(bytes(range(256)) * 1001 + b"tail")

    def test_relative_path_is_shown_as_given(self):
        content = b"relative"
        self.write_file("rel.bin", content)
        run = self.install.run("rel.bin", cwd=self.scratch)
        self.assertReport(run, self.full_report_texts("rel.bin", content))

    def test_non_ascii_path_reaches_the_report_as_utf16(self):
        self.check_file(b"x", name="caf\u00e9 \u4e2d \U0001f600.bin")

    def test_undecodable_name_is_opened_and_shown_as_its_bytes(self):
        # 0xFF can start no UTF-8 sequence: it travels as a lone surrogate.
        self.check_file(b"y", name=os.fsdecode(b"raw\xff\xfe.bin"))

    def test_extra_arguments_are_ignored(self):
        path = self.write_file("first.bin", b"first")
        run = self.install.run(path, "/nonexistent/second", "third")
        self.assertReport(run, self.full_report_texts(path, b"first"))

    def test_size_past_two_gib_is_shown_unsigned(self):
        path = os.path.join(self.scratch, "sparse.bin")
        size = (1 << 31) + 3
        with open(path, "wb") as file:
            file.truncate(size)
        run = self.install.run(path)
        zeros_digest = self.sha1_of_zeros(size)
        texts = [f"File: {path}\r\n", f"Size: {size}\r\n", f"SHA1: {zeros_digest}\r\n",
                 self.install.os_version_line(), self.install.library_line()]
        self.assertReport(run, texts + self.trust_stage_texts())

    @staticmethod
    def sha1_of_zeros(size):
        digest = hashlib.sha1()
        block = bytes(1 << 24)
        while size > 0:
            digest.update(block[:min(size, len(block))])
            size -= min(size, len(block))
        return digest.hexdigest()


class EarlyEndTest(InstallationTestCase):
    def test_missing_target(self):
        path = os.path.join(self.scratch, "missing.bin")
        run = self.install.run(path)
        self.assertReport(run, [f"Fail open target file. {path}\r\n\r\n"])

    def test_directory_target_cannot_be_opened(self):
        run = self.install.run(self.scratch)
        self.assertReport(run, [f"Fail open target file. {self.scratch}\r\n\r\n"])

    def test_fifo_target_is_refused_without_blocking(self):
        path = os.path.join(self.scratch, "pipe")
        os.mkfifo(path)
        run = self.install.run(path)
        self.assertReport(run, [f"Fail open target file. {path}\r\n\r\n"])

    def test_empty_argument_cannot_be_opened(self):
        run = self.install.run("")
        self.assertReport(run, ["Fail open target file. \r\n\r\n"])

    def moved_library_environment(self):
        """Moves the trust library out of its installed place; the loader
        still finds it through LD_LIBRARY_PATH."""
        elsewhere = os.path.join(self.tmp, "elsewhere")
        os.makedirs(elsewhere)
        moved = os.path.join(elsewhere, os.path.basename(self.install.library))
        os.rename(self.install.library, moved)
        return moved, dict(os.environ, LD_LIBRARY_PATH=elsewhere)

    def test_trust_library_missing_from_its_directory(self):
        _, env = self.moved_library_environment()
        path = self.write_file("t.bin", b"abc")
        run = self.install.run(path, env=env)
        self.assertReport(run, [
            f"File: {path}\r\n", "Size: 3\r\n", "SHA1: a9993e364706816aba3e25717850c26c9cd0d89d\r\n",
            self.install.os_version_line(),
            f"Fail open Wintrust.dll. {self.install.library}\r\n\r\n",
        ])

    def test_library_loaded_from_elsewhere_shows_in_the_origin_lines(self):
        moved, env = self.moved_library_environment()
        shutil.copy2(moved, self.install.library)
        path = self.write_file("t.bin", b"abc")
        run = self.install.run(path, env=env)
        origins = [f"{name} Path: {moved}\r\n" for name in TRUST_FUNCTIONS]
        self.assertReport(run, [
            f"File: {path}\r\n", "Size: 3\r\n", "SHA1: a9993e364706816aba3e25717850c26c9cd0d89d\r\n",
            self.install.os_version_line(), self.install.library_line(),
        ] + origins + [NOT_PE_VERDICT])

    def test_an_earlier_report_is_replaced(self):
        with open(self.install.report_path, "wb") as file:
            file.write(b"old report " * 1000)
        run = self.install.run(os.path.join(self.scratch, "missing"))
        self.assertReport(run, [f"Fail open target file. {self.scratch}/missing\r\n\r\n"])


class ConsoleOnlyTest(InstallationTestCase):
    def test_no_argument_prints_usage_and_leaves_the_report_alone(self):
        with open(self.install.report_path, "wb") as file:
            file.write(b"earlier")
        run = self.install.run()
        self.assertEqual(0, run.returncode)
        self.assertEqual(f"Example:\r\n{self.install.executable} {USAGE_EXAMPLE}\r\n".encode(), run.stdout)
        self.assertEqual(b"earlier", run.report)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run as another user")
    def test_unwritable_report_directory(self):
        nobody = pwd.getpwnam("nobody")
        for directory in (self.tmp, self.install.root, self.install.library_dir,
                          os.path.dirname(self.install.library_dir), self.scratch):
            os.chmod(directory, 0o755)
        os.chmod(self.install.bin_dir, 0o555)
        path = self.write_file("t.bin", b"abc")
        os.chmod(path, 0o644)
        run = self.install.run(path, user=nobody.pw_uid)
        self.assertEqual(0, run.returncode)
        self.assertEqual(b"Fail create log file\r\n", run.stdout)
        self.assertIsNone(run.report)
        self.assertTrue(stat.S_ISDIR(os.stat(self.install.bin_dir).st_mode))


if __name__ == "__main__":
    unittest.main()
