"""Runs a built sigreport the way a user does and reads back what it leaves.

Every run gets an installation of its own in a fresh directory, because the
report is written beside the executable: tests can then run side by side,
and a test may make that directory unwritable without touching the build.
"""

import datetime
import hashlib
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import wine_run  # noqa: E402  (the Wine launcher lives beside the Wine helpers)

BUILD_DIR = os.environ.get("SIGREPORT_BUILD_DIR", "")
WINDOWS = os.environ.get("SIGREPORT_PLATFORM") == "windows"
LIBRARY_DIR = "lib/sigreport"
LIBRARY_NAME = "libwintrust.so"
# The index of the program's roots, which the library reads beside itself.
ROOT_INDEX_NAME = "root-program.idx"
TIMESTAMP = re.compile(rb"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d GMT$")
MASKED_TIMESTAMP = "YYYY/MM/DD hh:mm:ss GMT"
TRUST_FUNCTIONS = ("WinVerifyTrustEx", "WTHelperProvDataFromStateData",
                   "WTHelperGetProvSignerFromChain", "WTHelperGetProvCertFromChain")
NOT_PE_VERDICT = "WinVerifyTrustEx Error hr=TRUST_E_SUBJECT_FORM_UNKNOWN"
USAGE_EXAMPLE = '"C:\\Program Files (x86)\\Talvin\\Mirelo2.0\\MireloCore.dll"'


def sha1_hex(data):
    return hashlib.sha1(data).hexdigest()


def sha1_of_file(path):
    digest = hashlib.sha1()
    with open(path, "rb") as file:
        for chunk in iter(lambda: file.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def encode_report(texts):
    """The bytes of a report made of `texts`, written back to back."""
    return b"\xff\xfe" + "".join(texts).encode("utf-16-le", "surrogatepass")


def mask_timestamp(report):
    """Replaces the timestamp line by a fixed text after checking that it is
    well formed and close to now."""
    body = report[2:].decode("utf-16-le", "surrogatepass")
    line, sep, rest = body.partition("\r\n")
    assert report[:2] == b"\xff\xfe", "report must start with FF FE"
    assert sep and TIMESTAMP.match(line.encode()), f"bad timestamp line {line!r}"
    stamp = datetime.datetime.strptime(line, "%Y/%m/%d %H:%M:%S GMT").replace(tzinfo=datetime.timezone.utc)
    drift = abs((datetime.datetime.now(datetime.timezone.utc) - stamp).total_seconds())
    assert drift < 600, f"timestamp {line} is {drift} s away from now (UTC)"
    return b"\xff\xfe" + (MASKED_TIMESTAMP + "\r\n" + rest).encode("utf-16-le", "surrogatepass")


class Run:
    def __init__(self, stdout, report, returncode):
        self.stdout = stdout
        self.report = report
        self.returncode = returncode


def run_and_read_report(command, report_path, **options):
    """Runs a native program and reads back what it left."""
    return read_report(subprocess.run(command, capture_output=True, timeout=300, **options), report_path)


def read_report(completed, report_path):
    """The run that `completed` was, with the report it left, if any."""
    report = None
    if os.path.exists(report_path):
        with open(report_path, "rb") as file:
            report = file.read()
    return Run(completed.stdout, report, completed.returncode)


def ordinary_user_options(*directories):
    """subprocess.run options that run the program as a user whom a directory
    without write permission refuses: nobody when the tests run as root (who
    may write anywhere), else the test user itself. The `directories` on the
    way to the program and its files are opened to that user, since mkdtemp
    makes them private."""
    if os.geteuid() != 0:
        return {}
    for directory in directories:
        os.chmod(directory, 0o755)
    nobody = pwd.getpwnam("nobody")
    return {"user": nobody.pw_uid, "group": nobody.pw_gid, "extra_groups": []}


def make_home(path, options):
    """A directory at `path` that belongs to the user `options` run as."""
    os.makedirs(path)
    if "user" in options:
        os.chown(path, options["user"], options["group"])
    return path


class LinuxInstallation:
    """bin/sigreport and lib/sigreport/libwintrust.so with its index of roots,
    copied from the build."""

    def __init__(self, root, build_dir=None):
        build_dir = build_dir or BUILD_DIR
        self.root = root
        self.bin_dir = os.path.join(root, "bin")
        self.executable = os.path.join(self.bin_dir, "sigreport")
        self.library_dir = os.path.join(root, LIBRARY_DIR)
        self.library = os.path.join(self.library_dir, LIBRARY_NAME)
        os.makedirs(self.bin_dir)
        shutil.copy2(os.path.join(build_dir, "bin", "sigreport"), self.executable)
        built_library = os.path.join(build_dir, LIBRARY_DIR, LIBRARY_NAME)
        if os.path.exists(built_library):
            os.makedirs(self.library_dir)
            shutil.copy2(built_library, self.library)
            shutil.copy2(os.path.join(build_dir, LIBRARY_DIR, ROOT_INDEX_NAME), self.library_dir)
        self.report_path = os.path.join(self.bin_dir, "result.txt")

    @staticmethod
    def platform_path(path):
        return os.fsdecode(path)

    def shown_report_path(self):
        return self.report_path

    def run(self, *arguments, report_path=None, **options):
        """Runs the program and reads the report back from `report_path`,
        beside the program unless given; `options` go to subprocess.run."""
        command = [os.fsencode(self.executable)] + [os.fsencode(a) for a in arguments]
        return run_and_read_report(command, report_path or self.report_path, **options)

    def os_version_line(self):
        release = os.uname().release
        numbers = re.match(r"(\d+)\.(\d+)", release)
        return f"OSVer: {int(numbers.group(1))}.{int(numbers.group(2))}\r\n"

    def origin_lines(self):
        # The loader maps the library under its real path.
        path = os.path.realpath(self.library)
        return [f"{name} Path: {path}\r\n" for name in TRUST_FUNCTIONS]

    def library_line(self):
        with open(self.library, "rb") as file:
            content = file.read()
        return f"Wintrust.dll Size: {len(content)} SHA1: {sha1_hex(content)}\r\n"


class WineInstallation:
    """sigreport.exe copied from the build, run under Wine in the tests' own
    prefix, which claims to be Windows 10. A 32-bit build runs as a 32-bit
    process on the 64-bit system: its system directory is the 32-bit one."""

    _prefix_ready = False

    def __init__(self, root):
        self.root = root
        self.bin_dir = root
        os.makedirs(root)
        self.executable = os.path.join(root, "sigreport.exe")
        shutil.copy2(os.path.join(BUILD_DIR, "bin", "sigreport.exe"), self.executable)
        self.report_path = os.path.join(root, "result.txt")
        self.system_directory = self.system_directory_of(self.executable)
        self.prepare_prefix()

    @staticmethod
    def system_directory_of(executable):
        """Where the system's libraries of `executable`'s kind lie."""
        return "system32" if wine_run.machine_of(executable) == wine_run.MACHINE_AMD64 else "syswow64"

    @staticmethod
    def command(executable, *arguments):
        return wine_run.command(executable, *arguments)

    @classmethod
    def prepare_prefix(cls):
        if cls._prefix_ready:
            return
        # Creates the prefix on first use and sets the version it reports.
        # The prefix is a 64-bit one for either build, and its 64-bit winecfg
        # runs natively even where 32-bit programs are emulated.
        program = os.path.join(BUILD_DIR, "bin", "sigreport.exe")
        subprocess.run([wine_run.loader(wine_run.MACHINE_AMD64), "winecfg", "/v", "win10"],
                       env=wine_run.environment(), check=True, capture_output=True,
                       timeout=wine_run.timeout_for(program))
        cls._prefix_ready = True

    @staticmethod
    def platform_path(path):
        return "Z:" + os.fsdecode(path).replace("/", "\\")

    def shown_report_path(self):
        return self.platform_path(self.report_path)

    def run(self, *arguments, cwd=None, env=None):
        completed = wine_run.run(self.executable, *arguments, cwd=cwd, env=env, capture_output=True,
                                 timeout=wine_run.timeout_for(self.executable))
        return read_report(completed, self.report_path)

    def os_version_line(self):
        return "OSVer: 10.0\r\n"

    def library_line(self):
        # The program opens <system directory>\Wintrust.dll; a 32-bit process
        # is redirected from system32 to syswow64, and hashes that file.
        path = os.path.join(wine_run.prefix(), "drive_c", "windows", self.system_directory, "wintrust.dll")
        with open(path, "rb") as file:
            content = file.read()
        return f"Wintrust.dll Size: {len(content)} SHA1: {sha1_hex(content)}\r\n"

    def origin_lines(self):
        # Wine names the mapping of a system library this way; Windows would
        # give a \Device\HarddiskVolumeN\... path.
        mapped = f"\\??\\C:\\windows\\{self.system_directory}\\WINTRUST.dll"
        return [f"{name} Path: {mapped}\r\n" for name in TRUST_FUNCTIONS]


class InstallationTestCase(unittest.TestCase):
    """A test with a fresh installation in `self.install` and a scratch
    directory `self.scratch` for target files."""

    def setUp(self):
        if not BUILD_DIR:
            self.skipTest("SIGREPORT_BUILD_DIR is not set")
        self.tmp = tempfile.mkdtemp(prefix="sigreport-e2e-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        installation = WineInstallation if WINDOWS else LinuxInstallation
        self.install = installation(os.path.join(self.tmp, "install"))
        self.scratch = os.path.join(self.tmp, "files")
        os.makedirs(self.scratch)

    def write_file(self, name, content):
        path = os.path.join(os.fsencode(self.scratch), os.fsencode(name))
        with open(path, "wb") as file:
            file.write(content)
        return os.fsdecode(path)

    def file_texts(self, shown_path, content):
        """The lines from the target's path to the trust library's."""
        return [
            f"File: {shown_path}\r\n",
            f"Size: {len(content)}\r\n",
            f"SHA1: {sha1_hex(content)}\r\n",
            self.install.os_version_line(),
            self.install.library_line(),
        ]

    def trust_stage_texts(self, verdict=(NOT_PE_VERDICT,)):
        """What the trust stage writes after the trust library's line: the
        four origin lines, then the verification's texts."""
        return self.install.origin_lines() + list(verdict)

    def full_report_texts(self, shown_path, content, verdict=(NOT_PE_VERDICT,)):
        return self.file_texts(shown_path, content) + self.trust_stage_texts(verdict)

    def assertReport(self, run, texts):
        self.assertEqual(0, run.returncode)
        self.assertIsNotNone(run.report, "no report was written")
        self.assertEqual(encode_report([MASKED_TIMESTAMP + "\r\n"] + texts), mask_timestamp(run.report))
        self.assertEqual(("Outputted " + self.install.shown_report_path() + "\r\n").encode(), run.stdout)


if __name__ == "__main__":
    # The wine_prefix test: creates the prefix once, before the tests that
    # share it start side by side.
    WineInstallation.prepare_prefix()
