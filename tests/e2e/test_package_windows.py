"""The zip that `cpack -G ZIP` makes in a Windows build tree: sigreport.exe
and the README, and the program from it writes a whole report under Wine."""

import glob
import os
import subprocess
import unittest
import zipfile

from harness import BUILD_DIR, InstallationTestCase, WineInstallation


class ZipPackageTest(InstallationTestCase):
    def test_zip_holds_the_program_and_the_readme_and_the_program_runs(self):
        output = os.path.join(self.tmp, "package")
        subprocess.run(["cpack", "-G", "ZIP", "-B", output], cwd=BUILD_DIR, check=True, capture_output=True,
                       timeout=600)
        packages = glob.glob(os.path.join(output, "*.zip"))
        self.assertEqual(1, len(packages), packages)
        with zipfile.ZipFile(packages[0]) as archive:
            names = sorted(name for name in archive.namelist() if not name.endswith("/"))
            top = names[0].split("/")[0]
            self.assertEqual([f"{top}/README.md", f"{top}/sigreport.exe", f"{top}/sigverify.exe"], names)
            archive.extractall(os.path.join(self.tmp, "unzipped"))
        unzipped = os.path.join(self.tmp, "unzipped", top, "sigreport.exe")
        with open(os.path.join(BUILD_DIR, "bin", "sigreport.exe"), "rb") as built, open(unzipped, "rb") as packed:
            self.assertEqual(built.read(), packed.read())
        # The program from the zip, run where the tests run installed copies.
        os.replace(unzipped, self.install.executable)
        content = b"text file content"
        path = self.install.platform_path(self.write_file("t.txt", content))
        self.assertIsInstance(self.install, WineInstallation)
        run = self.install.run(path)
        self.assertReport(run, self.full_report_texts(path, content))


if __name__ == "__main__":
    unittest.main()
