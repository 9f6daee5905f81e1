#!/usr/bin/python3
"""The spooler service's systemd unit as the install tree holds it.

    test_unit.py BUILD_DIR

Installs the build tree into a temporary prefix and has systemd-analyze
verify the unit there: its syntax, and that ExecStart names the installed
mvnspoold below that prefix.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = os.path.realpath(sys.argv[1])


class UnitTest(unittest.TestCase):
    def setUp(self):
        self.prefix = tempfile.mkdtemp(prefix="mvn-unit-")

    def tearDown(self):
        shutil.rmtree(self.prefix, ignore_errors=True)

    def test_the_installed_unit_starts_the_installed_service_and_verifies(self):
        done = subprocess.run(["cmake", "--install", BUILD, "--prefix", self.prefix], capture_output=True,
                              text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        unit = os.path.join(self.prefix, "lib", "systemd", "system", "mvnspoold.service")
        self.assertTrue(os.path.isfile(unit), "the unit is installed below the prefix")
        with open(unit) as f:
            lines = f.read().splitlines()
        self.assertIn("ExecStart=" + os.path.join(self.prefix, "bin", "mvnspoold"), lines)
        self.assertIn("Environment=MVN_ROOT=/var/lib/mvn", lines)
        self.assertIn("WantedBy=multi-user.target", lines)
        analyze = shutil.which("systemd-analyze")
        if not analyze:
            self.skipTest("systemd-analyze is not installed")
        verified = subprocess.run([analyze, "verify", unit], capture_output=True, text=True, timeout=60)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        # A unit whose program is missing is refused: the check above is real.
        os.unlink(os.path.join(self.prefix, "bin", "mvnspoold"))
        refused = subprocess.run([analyze, "verify", unit], capture_output=True, text=True, timeout=60)
        self.assertNotEqual(refused.returncode, 0, refused.stdout + refused.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
