"""Whole reports of the Windows build under Wine, compared byte for byte.
Wine supplies the real WinTrust, kernel and PSAPI calls."""

import os
import subprocess
import unittest

from harness import BUILD_DIR, InstallationTestCase, NOT_PE_VERDICT, USAGE_EXAMPLE, WineInstallation, wine_run


class WindowsReportTest(InstallationTestCase):
    def check_file(self, content, name="target.txt", verdict=NOT_PE_VERDICT):
        path = self.install.platform_path(self.write_file(name, content))
        run = self.install.run(path)
        self.assertReport(run, self.full_report_texts(path, content, [verdict]))

    def test_plain_text_file(self):
        self.check_file(b"This is a plain text file.\r\n" * 20)

    def test_empty_file(self):
        self.check_file(b"")

    def test_three_byte_file_differs_from_windows_under_wine(self):
        # Windows answers TRUST_E_SUBJECT_FORM_UNKNOWN for any file that is
        # not a signable format; Wine 8 fails files shorter than four bytes
        # with ERROR_INVALID_PARAMETER, which the report shows in hex.
        self.check_file(b"abc", verdict="WinVerifyTrustEx Error hr=00000057\r\n")

    def test_non_ascii_path(self):
        self.check_file(b"text file content", name="caf\u00e9 \u4e2d \U0001f600.txt")

    def test_relative_path_is_shown_as_given(self):
        content = b"relative content"
        self.write_file("rel.txt", content)
        run = self.install.run("rel.txt", cwd=self.scratch)
        self.assertReport(run, self.full_report_texts("rel.txt", content))

    def test_extra_arguments_are_ignored(self):
        path = self.install.platform_path(self.write_file("first.txt", b"first file"))
        run = self.install.run(path, "Z:\\nonexistent\\second", "third")
        self.assertReport(run, self.full_report_texts(path, b"first file"))

    def test_missing_target(self):
        path = self.install.platform_path(os.path.join(self.scratch, "missing.bin"))
        run = self.install.run(path)
        self.assertReport(run, [f"Fail open target file. {path}\r\n\r\n"])

    def test_directory_target_cannot_be_opened(self):
        path = self.install.platform_path(self.scratch)
        run = self.install.run(path)
        self.assertReport(run, [f"Fail open target file. {path}\r\n\r\n"])

    def run_while_report_held(self, *sharing):
        """Runs on a small text file while hold_open.exe holds the report
        open with the given sharing."""
        holder = subprocess.Popen(WineInstallation.command(os.path.join(BUILD_DIR, "bin", "hold_open.exe"),
                                                           self.install.shown_report_path(), *sharing),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=wine_run.environment())
        try:
            self.assertEqual(b"held", holder.stdout.readline().strip())
            path = self.install.platform_path(self.write_file("t.txt", b"text file content"))
            run = self.install.run(path)
        finally:
            holder.stdin.close()
            holder.wait(timeout=120)
            holder.stdout.close()
        return path, run

    def test_report_held_sharing_reading_and_writing_is_written_in_place(self):
        # A viewer's way: reading and writing shared, deletion not, so the
        # staged report cannot be moved over it but can be written into it.
        with open(self.install.report_path, "wb") as file:
            file.write(b"an earlier report, longer than the new one will be" * 100)
        path, run = self.run_while_report_held("read-write")
        self.assertReport(run, self.full_report_texts(path, b"text file content"))
        self.assertEqual(["result.txt", "sigreport.exe"], sorted(os.listdir(self.install.bin_dir)))

    def test_report_locked_by_another_program_is_left_alone(self):
        with open(self.install.report_path, "wb") as file:
            file.write(b"earlier report")
        _, run = self.run_while_report_held()
        self.assertEqual(0, run.returncode)
        self.assertEqual(b"Fail create log file\r\n", run.stdout)
        self.assertEqual(b"earlier report", run.report)
        self.assertEqual(["result.txt", "sigreport.exe"], sorted(os.listdir(self.install.bin_dir)))

    def test_no_argument_prints_usage(self):
        run = self.install.run()
        executable = self.install.platform_path(self.install.executable)
        self.assertEqual(f"Example:\r\n{executable} {USAGE_EXAMPLE}\r\n".encode(), run.stdout)
        self.assertIsNone(run.report)


if __name__ == "__main__":
    unittest.main()
