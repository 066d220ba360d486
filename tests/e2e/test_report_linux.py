"""Whole reports of the Linux build, compared byte for byte."""

import hashlib
import os
import shutil
import stat
import subprocess
import unittest

from harness import (LIBRARY_DIR, LIBRARY_NAME, MASKED_TIMESTAMP, ROOT_INDEX_NAME, InstallationTestCase,
                     NOT_PE_VERDICT, TRUST_FUNCTIONS, USAGE_EXAMPLE, encode_report, make_home, mask_timestamp,
                     ordinary_user_options,
                     run_and_read_report)


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
        """Moves the trust library out of its installed place, with a copy of
        the index of roots it reads beside itself; the loader still finds it
        through LD_LIBRARY_PATH."""
        elsewhere = os.path.join(self.tmp, "elsewhere")
        os.makedirs(elsewhere)
        moved = os.path.join(elsewhere, os.path.basename(self.install.library))
        os.rename(self.install.library, moved)
        shutil.copy2(os.path.join(os.path.dirname(self.install.library), ROOT_INDEX_NAME), elsewhere)
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

    def test_trust_library_path_too_long_is_shown_cut_and_not_opened(self):
        # The library's directory fits the 4096-unit path buffer, the file
        # name after it does not: the path cut at the buffer's end names
        # another file, which must not be read as the library. The program
        # alone is installed there; the loader finds the library elsewhere.
        # The staged report, "result.txt.<process id>-0.tmp" beside the
        # program, must still fit: 4067 units of prefix leave room for process
        # ids of up to six digits and cut the library's name by one unit.
        with open("/proc/sys/kernel/pid_max") as file:
            if len(file.read().strip()) > 6:
                self.skipTest("process ids may be too long for the staged report to fit")
        _, env = self.moved_library_environment()
        root = self.tmp
        while len(root) < 4067:
            root = os.path.join(root, "p" * min(200, 4067 - len(root) - 1))
        library_dir = os.path.join(root, LIBRARY_DIR)
        self.assertEqual(4081, len(library_dir))
        os.makedirs(library_dir)
        os.makedirs(os.path.join(root, "bin"))
        executable = os.path.join(root, "bin", "sigreport")
        shutil.copy2(self.install.executable, executable)
        cut_path = (library_dir + "/" + LIBRARY_NAME)[:4095]
        with open(cut_path, "wb") as file:
            file.write(b"an unrelated file")
        path = self.write_file("t.bin", b"abc")
        report_path = os.path.join(root, "bin", "result.txt")
        run = run_and_read_report([executable, path], report_path, env=env)
        self.assertEqual(0, run.returncode)
        self.assertEqual(f"Outputted {report_path}\r\n".encode(), run.stdout)
        self.assertEqual(encode_report([MASKED_TIMESTAMP + "\r\n",
            f"File: {path}\r\n", "Size: 3\r\n", "SHA1: a9993e364706816aba3e25717850c26c9cd0d89d\r\n",
            self.install.os_version_line(),
            f"Fail open Wintrust.dll. {cut_path}\r\n\r\n",
        ]), mask_timestamp(run.report))

    def test_an_earlier_report_is_replaced(self):
        with open(self.install.report_path, "wb") as file:
            file.write(b"old report " * 1000)
        run = self.install.run(os.path.join(self.scratch, "missing"))
        self.assertReport(run, [f"Fail open target file. {self.scratch}/missing\r\n\r\n"])


class HostileInputTest(InstallationTestCase):
    def test_device_target_cannot_be_opened(self):
        run = self.install.run("/dev/zero")
        self.assertReport(run, ["Fail open target file. /dev/zero\r\n\r\n"])

    def test_dangling_symlink_target_cannot_be_opened(self):
        path = os.path.join(self.scratch, "dangling")
        os.symlink(os.path.join(self.scratch, "nowhere"), path)
        run = self.install.run(path)
        self.assertReport(run, [f"Fail open target file. {path}\r\n\r\n"])

    def test_target_path_of_4000_characters(self):
        directory = self.scratch
        while len(directory) < 3800:
            directory = os.path.join(directory, "d" * 200)
        os.makedirs(directory)
        path = os.path.join(directory, "f" * (4000 - len(directory) - 1))
        self.assertEqual(4000, len(path))
        with open(path, "wb") as file:
            file.write(b"deep")
        run = self.install.run(path)
        self.assertReport(run, self.full_report_texts(path, b"deep"))

    def test_path_beyond_the_line_bound_is_cut_there(self):
        # "Fail open target file. %s\r\n" is 27 units long: the formatted
        # text may hold 27 + 4095 units, which the path's head fills after the
        # 23 units of the text before it; the format's own line end is lost.
        path = "/" + "x" * 5000
        run = self.install.run(path)
        self.assertReport(run, ["Fail open target file. " + path[:27 + 4095 - 23] + "\r\n"])

    def test_file_past_4_gib_is_streamed_and_hashed_whole(self):
        path = os.path.join(self.scratch, "five-gib.bin")
        size = 5 << 30
        with open(path, "wb") as file:
            file.truncate(size)
            file.seek(size - 3)
            file.write(b"end")
        digest = hashlib.sha1()
        zeros = bytes(1 << 24)
        remaining = size - 3
        while remaining:
            digest.update(zeros[:min(remaining, len(zeros))])
            remaining -= min(remaining, len(zeros))
        digest.update(b"end")
        run = self.install.run(path)
        self.assertReport(run, [f"File: {path}\r\n", f"Size: {size}\r\n", f"SHA1: {digest.hexdigest()}\r\n",
                                self.install.os_version_line(), self.install.library_line()]
                          + self.trust_stage_texts())


class ReportPlacementTest(InstallationTestCase):
    def test_report_that_is_a_symlink_is_replaced_not_written_through(self):
        victim = os.path.join(self.scratch, "victim.txt")
        with open(victim, "wb") as file:
            file.write(b"must stay")
        os.symlink(victim, self.install.report_path)
        path = self.write_file("t.bin", b"abc")
        run = self.install.run(path)
        self.assertReport(run, self.full_report_texts(path, b"abc"))
        self.assertFalse(os.path.islink(self.install.report_path))
        with open(victim, "rb") as file:
            self.assertEqual(b"must stay", file.read())

    def test_runs_at_once_each_leave_a_whole_report(self):
        first = self.write_file("first.bin", b"1" * (48 << 20))
        second = self.write_file("second.bin", b"2" * (48 << 20))
        expected = {}
        for path in (first, second):
            with open(path, "rb") as file:
                expected[path] = encode_report([MASKED_TIMESTAMP + "\r\n"]
                                               + self.full_report_texts(path, file.read()))
        for _ in range(3):
            runs = [subprocess.Popen([self.install.executable, path], stdout=subprocess.PIPE)
                    for path in (first, second)]
            for process in runs:
                self.assertEqual(0, process.wait(timeout=300))
                process.stdout.close()
            with open(self.install.report_path, "rb") as file:
                report = mask_timestamp(file.read())
            self.assertIn(report, expected.values(), "the report must be one run's, whole")
        leftovers = sorted(name for name in os.listdir(self.install.bin_dir) if name.startswith("result"))
        self.assertEqual(["result.txt"], leftovers, "no staged report may be left behind")


class ConsoleOnlyTest(InstallationTestCase):
    def test_no_argument_prints_usage_and_leaves_the_report_alone(self):
        with open(self.install.report_path, "wb") as file:
            file.write(b"earlier")
        run = self.install.run()
        self.assertEqual(0, run.returncode)
        self.assertEqual(f"Example:\r\n{self.install.executable} {USAGE_EXAMPLE}\r\n".encode(), run.stdout)
        self.assertEqual(b"earlier", run.report)

    def run_into_closed_pipe(self, *arguments):
        """Runs with standard output a pipe whose reader has gone."""
        reader, writer = os.pipe()
        os.close(reader)
        try:
            completed = subprocess.run([self.install.executable, *arguments], stdout=writer, timeout=300)
        finally:
            os.close(writer)
        return completed.returncode

    def test_usage_into_a_closed_pipe_ends_with_zero(self):
        self.assertEqual(0, self.run_into_closed_pipe())

    def test_check_into_a_closed_pipe_ends_with_zero_and_writes_the_report(self):
        path = self.write_file("t.bin", b"abc")
        self.assertEqual(0, self.run_into_closed_pipe(path))
        with open(self.install.report_path, "rb") as file:
            report = file.read()
        self.assertEqual(encode_report([MASKED_TIMESTAMP + "\r\n"] + self.full_report_texts(path, b"abc")),
                         mask_timestamp(report))


class ReportPlaceTest(InstallationTestCase):
    """Where the report goes when the program's directory refuses the user
    who runs it, as a program installed under /usr does."""

    def setUp(self):
        super().setUp()
        self.options = ordinary_user_options(self.tmp, self.install.root, os.path.dirname(self.install.library_dir),
                                             self.install.library_dir, self.scratch)
        self.target = self.write_file("t.bin", b"abc")
        os.chmod(self.target, 0o644)
        os.chmod(self.install.bin_dir, 0o555)
        self.addCleanup(os.chmod, self.install.bin_dir, 0o755)

    def run_with(self, environment, report_path=None):
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "XDG_STATE_HOME")}
        env.update(environment)
        return self.install.run(self.target, report_path=report_path, env=env, **self.options)

    def assertWholeReport(self, run, report_path):
        self.assertEqual(0, run.returncode)
        self.assertEqual(f"Outputted {report_path}\r\n".encode(), run.stdout)
        self.assertIsNotNone(run.report, "no report was written")
        self.assertEqual(encode_report([MASKED_TIMESTAMP + "\r\n"] + self.full_report_texts(self.target, b"abc")),
                         mask_timestamp(run.report))

    def test_refused_report_goes_to_the_users_state_directory(self):
        # (environment, state directory, directories the run must create):
        # the XDG rules, a relative XDG_STATE_HOME ignored.
        cases = [
            (lambda home: {"HOME": home}, ".local/state", [".local", ".local/state"]),
            (lambda home: {"HOME": home, "XDG_STATE_HOME": home + "/st/"}, "st", ["st"]),
            (lambda home: {"HOME": home, "XDG_STATE_HOME": "st"}, ".local/state", [".local", ".local/state"]),
            (lambda home: {"HOME": home, "XDG_STATE_HOME": ""}, ".local/state", [".local", ".local/state"]),
        ]
        for number, (environment, state, created) in enumerate(cases):
            home = make_home(os.path.join(self.tmp, f"home{number}"), self.options)
            with self.subTest(environment=environment(home)):
                report_path = os.path.join(home, state, "sigreport", "result.txt")
                self.assertWholeReport(self.run_with(environment(home), report_path), report_path)
                self.assertEqual(["result.txt"], os.listdir(os.path.dirname(report_path)))
                for directory in created + [os.path.join(state, "sigreport")]:
                    mode = stat.S_IMODE(os.stat(os.path.join(home, directory)).st_mode)
                    self.assertEqual(0o700, mode, f"{directory} must be the user's alone")
                self.assertEqual(["sigreport"], os.listdir(self.install.bin_dir))

    def test_state_directory_that_exists_keeps_its_permissions(self):
        home = make_home(os.path.join(self.tmp, "home"), self.options)
        state = make_home(os.path.join(home, "state"), self.options)
        os.chmod(state, 0o755)
        report_path = os.path.join(state, "sigreport", "result.txt")
        self.assertWholeReport(self.run_with({"HOME": home, "XDG_STATE_HOME": state}, report_path), report_path)
        self.assertEqual(0o755, stat.S_IMODE(os.stat(state).st_mode))

    def test_writable_program_directory_keeps_the_report_beside_the_program(self):
        os.chmod(self.install.bin_dir, 0o777)
        home = make_home(os.path.join(self.tmp, "home"), self.options)
        run = self.run_with({"HOME": home})
        self.assertWholeReport(run, self.install.report_path)
        self.assertEqual([], os.listdir(home), "no state directory is made when none is needed")

    def test_without_a_usable_state_directory_no_report_is_written(self):
        unwritable = os.path.join(self.tmp, "unwritable")
        os.makedirs(unwritable)
        os.chmod(unwritable, 0o555)
        # A usable home beside an unusable XDG_STATE_HOME is not tried either.
        home = make_home(os.path.join(self.tmp, "home"), self.options)
        for environment in ({}, {"XDG_STATE_HOME": "relative"}, {"HOME": "relative"}, {"HOME": unwritable},
                            {"HOME": home, "XDG_STATE_HOME": unwritable}):
            with self.subTest(environment=environment):
                run = self.run_with(environment)
                self.assertEqual(0, run.returncode)
                self.assertEqual(b"Fail create log file\r\n", run.stdout)
                self.assertIsNone(run.report)
                self.assertEqual(["sigreport"], os.listdir(self.install.bin_dir))
                self.assertEqual([], os.listdir(unwritable))
                self.assertEqual([], os.listdir(home))


if __name__ == "__main__":
    unittest.main()
