#!/usr/bin/python3
"""What the programs tell their user: usage, and why they stopped.

    test_programs.py name=path ...   (mvnfuial, mvncuial, mvnspoold, mvnprint,
                                      mvnreg, mvncsend, mvnmon, prnsetup, mvnport)

Every program runs as a real process on a machine root of its own.
"""

import os
import pwd
import signal
import subprocess
import sys
import tempfile
import time
import unittest

PATHS = dict(arg.split("=", 1) for arg in sys.argv[1:] if "=" in arg)
USAGE_PROGRAMS = ["mvnfuial", "mvncuial", "mvnspoold", "mvnprint", "mvnreg", "prnsetup", "mvnport"]


def unused_uid():
    used = {entry.pw_uid for entry in pwd.getpwall()}
    return next(uid for uid in range(64100, 65000) if uid not in used)


class Root:
    """A private machine root; the environment of the programs run on it."""

    def __init__(self):
        self.dir = tempfile.TemporaryDirectory(prefix="mvn-programs-")
        os.chmod(self.dir.name, 0o755)
        self.path = os.path.join(self.dir.name, "root")
        os.mkdir(self.path)
        self.env = dict(os.environ, MVN_ROOT=self.path, MVN_DIALOGS="headless")

    def run(self, program, *args, user=None, stdin=None, timeout=30):
        command = [PATHS[program], *args]
        if user is not None:
            command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *command]
        return subprocess.run(command, env=self.env, stdin=stdin or subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=timeout)

    def start(self, program, *args):
        return subprocess.Popen([PATHS[program], *args], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def wait_for(self, relative, timeout=10):
        deadline = time.monotonic() + timeout
        path = os.path.join(self.path, relative)
        while not os.path.exists(path):
            if time.monotonic() > deadline:
                raise AssertionError(f"{path} did not appear")
            time.sleep(0.02)

    def close(self):
        self.dir.cleanup()


def stop(process):
    process.send_signal(signal.SIGTERM)
    try:
        return process.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.communicate()


class UsageTest(unittest.TestCase):
    def setUp(self):
        self.root = Root()

    def tearDown(self):
        self.root.close()

    def test_help_goes_to_stdout_with_0_and_an_unknown_switch_to_stderr_with_2(self):
        for program in USAGE_PROGRAMS:
            for switch in ("-h", "--help"):
                with self.subTest(program=program, switch=switch):
                    result = self.root.run(program, switch, timeout=10)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertTrue(result.stdout.startswith("usage: " + program), result.stdout)
                    self.assertEqual(result.stderr, "")
                    # After other arguments too: prnsetup --help never installs
                    # a printer named "--help".
                    if program in ("prnsetup", "mvnport", "mvnprint"):
                        first = {"prnsetup": "Fax", "mvnport": "add", "mvnprint": "-"}[program]
                        later = self.root.run(program, first, switch, timeout=10)
                        self.assertEqual((later.returncode, later.stdout), (0, result.stdout), later.stderr)
            with self.subTest(program=program, switch="--no-such-switch"):
                result = self.root.run(program, "--no-such-switch", timeout=10)
                if program == "prnsetup":
                    # The installer reports on standard output, and a bad
                    # argument ends it with 1; it is never taken as a printer.
                    self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                    self.assertEqual(result.stdout, "BAD command argument (--no-such-switch)\n")
                    continue
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertTrue(result.stderr.startswith("usage: " + program), result.stderr)
                self.assertEqual(result.stdout, "")
        # Nothing was started: no launcher or service left a trace.
        self.assertFalse(os.path.exists(os.path.join(self.root.path, "mailslot")))
        self.assertFalse(os.path.exists(os.path.join(self.root.path, "spool")))

    def test_a_second_launcher_says_one_is_already_running(self):
        user = pwd.getpwuid(os.geteuid()).pw_name
        cases = [("mvnfuial", f"mailslot/mvnfuial/{user}/launcher.LOCK", 0, f"already running for user {user}"),
                 ("mvncuial", "mailslot/mvncuial.LOCK", 1, "a console launcher is already running")]
        for program, lock, code, text in cases:
            with self.subTest(program=program):
                first = self.root.start(program)
                try:
                    self.root.wait_for(lock)
                    time.sleep(0.2)  # the lock file is made just before it is taken
                    second = self.root.run(program, timeout=10)
                    self.assertEqual(second.returncode, code, second.stderr)
                    self.assertIn(text, second.stderr)
                    self.assertEqual(second.stdout, "")
                    self.assertIsNone(first.poll(), "the first launcher keeps running")
                finally:
                    _, errors = stop(first)
                self.assertEqual(first.returncode, 0, errors)

    def test_mvnreg_tells_a_dword_out_of_range_from_no_number(self):
        key = "HKCU\\SOFTWARE\\Test"
        cases = [("4294967295", 0, ""), ("0xFFFFFFFF", 0, ""),
                 ("4294967296", 1, "out of range for dword"), ("99999999999", 1, "out of range for dword"),
                 ("0x100000000", 1, "out of range for dword"), ("99999999999x", 1, "not a number"),
                 ("12x", 1, "not a number"), ("-1", 1, "not a number")]
        for text, code, message in cases:
            with self.subTest(text=text):
                result = self.root.run("mvnreg", "set", key, "v", "dword", text)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(message, result.stderr)
        self.assertEqual(self.root.run("mvnreg", "get", key, "v").stdout, "4294967295\n")


class UnwritableRootTest(unittest.TestCase):
    """A user who cannot write the machine root is told which directory and why."""

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run as another user")
        self.root = Root()
        self.uid = unused_uid()
        for directory in (self.root.dir.name, self.root.path):
            os.chmod(directory, 0o755)  # root's, readable by all, writable by root only
        config = os.path.join(self.root.dir.name, "mvncsend.INI")
        with open(config, "w") as f:
            f.write(f"[mvncsend]\nDeliveryModule={PATHS['dlvlocal']}\n"
                    f"OutputLocation={self.root.dir.name}/intake\n")
        self.input = os.path.join(self.root.dir.name, "note.txt")
        with open(self.input, "w") as f:
            f.write("hello\n")
        os.chmod(self.input, 0o666)
        self.config = config

    def tearDown(self):
        self.root.close()

    def test_every_program_names_the_directory_and_the_reason_and_fails(self):
        cases = [("mvncsend", ["CONFIG=" + self.config, self.input]),
                 ("mvnfuial", []), ("mvncuial", []), ("mvnspoold", []),
                 ("mvnreg", ["set", "HKCU\\SOFTWARE\\Test", "v", "sz", "x"]),
                 ("mvnreg", ["list", "HKLM\\SOFTWARE"])]
        for program, args in cases:
            with self.subTest(program=program, args=args):
                result = self.root.run(program, *args, user=self.uid, timeout=20)
                # A per-user launcher that cannot serve its slot ends with 0
                # (its session goes on without it); every other program fails.
                if program == "mvnfuial":
                    self.assertEqual(result.returncode, 0, result.stderr)
                else:
                    self.assertNotEqual(result.returncode, 0, result.stderr)
                self.assertRegex(result.stderr, f"(^|\\n){program}: cannot create the directory "
                                 f"{self.root.path}/[a-z/]+: Permission denied\\n")
        self.assertEqual(os.listdir(self.root.path), [])
        self.assertTrue(os.path.exists(self.input), "the input is not lost")


class EmptyJobTest(unittest.TestCase):
    def setUp(self):
        self.root = Root()
        self.out = os.path.join(self.root.dir.name, "faxout")
        os.mkdir(self.out)
        monitor = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\MVNMON"
        printers = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers"
        for args in ([monitor, "Driver", "sz", PATHS["mvnmon"]],
                     [monitor + "\\FAX1:", "OutputDirectory", "sz", self.out],
                     [printers + "\\Fax", "Port", "sz", "FAX1:"]):
            result = self.root.run("mvnreg", "set", *args)
            self.assertEqual(result.returncode, 0, result.stderr)
        self.service = self.root.start("mvnspoold")
        self.root.wait_for("spool/mvnspoold.ready")

    def tearDown(self):
        stop(self.service)
        self.root.close()

    def test_an_empty_job_is_said_to_spool_nothing(self):
        empty = os.path.join(self.root.dir.name, "empty.ps")
        open(empty, "w").close()
        result = self.root.run("mvnprint", "-P", "Fax", empty)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^mvnprint: job \d+ on Fax was empty: an empty job spools nothing\n$")
        self.assertEqual(os.listdir(self.out), [])

        page = os.path.join(self.root.dir.name, "page.ps")
        with open(page, "w") as f:
            f.write("%!PS-Adobe-3.0\nshowpage\n")
        result = self.root.run("mvnprint", "-P", "Fax", page)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^mvnprint: job \d+ printed on Fax \(24 bytes\)\n$")
        self.assertEqual(len(os.listdir(self.out)), 1)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
