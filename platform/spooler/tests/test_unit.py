#!/usr/bin/python3
"""The spooler service's systemd unit as the install tree holds it.

    test_unit.py BUILD_DIR

Installs the build tree into a temporary prefix and has systemd-analyze
verify the unit there: its syntax, and that ExecStart names the installed
mvnspoold below that prefix; and rate what the unit leaves the service
(systemd-analyze security): below 5, the service keeps only what it uses.
"""

import os
import re
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

    def test_the_installed_unit_leaves_the_service_only_what_it_uses(self):
        analyze = shutil.which("systemd-analyze")
        if not analyze:
            self.skipTest("systemd-analyze is not installed: the unit's exposure cannot be rated")
        done = subprocess.run(["cmake", "--install", BUILD, "--prefix", self.prefix], capture_output=True,
                              text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        unit = os.path.join(self.prefix, "lib", "systemd", "system", "mvnspoold.service")
        with open(unit) as f:
            lines = f.read().splitlines()
        # What the service must not have, named, so a lower rating cannot
        # come from elsewhere.
        for setting in ("NoNewPrivileges=yes", "RestrictAddressFamilies=AF_UNIX", "PrivateNetwork=yes",
                        "SystemCallFilter=@system-service", "UMask=0077", "ProtectKernelTunables=yes",
                        "ProtectKernelModules=yes", "ProtectKernelLogs=yes"):
            self.assertIn(setting, lines)
        bounding = [line for line in lines if line.startswith("CapabilityBoundingSet=")]
        self.assertEqual(len(bounding), 1, lines)
        self.assertEqual(sorted(bounding[0].split("=", 1)[1].split()),
                         ["CAP_CHOWN", "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH", "CAP_FOWNER", "CAP_SETGID",
                          "CAP_SETUID"])
        rated = subprocess.run([analyze, "security", "--offline=true", unit], capture_output=True, text=True,
                               timeout=120)
        found = re.search(r"Overall exposure level for mvnspoold\.service: ([0-9.]+)", rated.stdout + rated.stderr)
        self.assertIsNotNone(found, rated.stdout + rated.stderr)
        self.assertLess(float(found.group(1)), 5.0, rated.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
