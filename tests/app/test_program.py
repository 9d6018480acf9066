#!/usr/bin/env python3
"""End-to-end checks of the program: its command line, ./run without a display, and that it
writes nothing from its start on."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

PROGRAM = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.abspath(sys.argv.pop(1))


def without_display(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env.update(extra)
    return env


class CommandLine(unittest.TestCase):
    def test_answers_without_opening_a_window(self):
        # With xcb asked for and no display, opening a window would fail the program.
        env = without_display(QT_QPA_PLATFORM="xcb")
        for args, status, out, err in [
                (["--help"], 0, r"^usage: hakomi \[FOLDER\]", r"^$"),
                (["-h"], 0, r"^usage: hakomi \[FOLDER\]", r"^$"),
                (["--version"], 0, r"^hakomi \d+\.\d+(\.\d+)?\n$", r"^$"),
                (["--bogus"], 2, r"^$", r"^hakomi: unknown option --bogus\nusage: hakomi"),
                (["a", "b"], 2, r"^$", r"^hakomi: one folder only\nusage: hakomi")]:
            with self.subTest(args=args):
                r = subprocess.run([PROGRAM] + args, capture_output=True, text=True, env=env,
                                   timeout=60)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertRegex(r.stdout, out)
                self.assertRegex(r.stderr, err)

    def test_run_says_there_is_no_display_before_it_builds(self):
        r = subprocess.run([os.path.join(SOURCE, "run")], capture_output=True, text=True,
                           env=without_display(), timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertIn("no display", r.stderr)
        self.assertEqual(r.stdout, "")


@unittest.skipUnless(shutil.which("strace"), "strace not installed")
class WritesNothing(unittest.TestCase):
    def test_nothing_is_written_from_the_start_on(self):
        # A folder on the command line is listed at once; Qt gets no runtime folder.
        with tempfile.TemporaryDirectory() as d:
            folder, tmp = os.path.join(d, "folder"), os.path.join(d, "tmp")
            os.makedirs(folder)
            os.makedirs(tmp)
            with zipfile.ZipFile(os.path.join(folder, "a.zip"), "w") as z:
                z.writestr("x", b"x")
            log = os.path.join(d, "strace.log")
            env = without_display(QT_QPA_PLATFORM="offscreen", TMPDIR=tmp,
                                  ASAN_OPTIONS="detect_leaks=0")
            env.pop("XDG_RUNTIME_DIR", None)
            tracer = subprocess.Popen(
                ["strace", "-f", "-qq", "-o", log, "-e",
                 "trace=open,openat,openat2,creat,rename,renameat,renameat2,unlink,unlinkat,"
                 "mkdir,mkdirat,rmdir,link,linkat,symlink,symlinkat,truncate,ftruncate,chmod,"
                 "fchmod,fchmodat,chown,fchown,fchownat", PROGRAM, folder],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            calls = []
            try:
                deadline = time.monotonic() + 120
                while time.monotonic() < deadline:
                    time.sleep(0.2)
                    with open(log) as f:
                        calls = f.read().splitlines()
                    if any("a.zip" in c and "= -1" not in c for c in calls):
                        break
                time.sleep(1)  # the run's end, and what a paint after it does
            finally:
                with open(log) as f:
                    calls = f.read().splitlines()
                os.kill(int(calls[0].split()[0]), signal.SIGTERM)
                tracer.wait(timeout=60)
            self.assertTrue(any("a.zip" in c for c in calls), "the archive was read")
            self.assertEqual(os.listdir(tmp), [])
            for c in calls:
                if re.search(r"= -1 E", c) or "+++" in c or "---" in c:
                    continue  # refused: nothing was written
                if re.search(r"\b(open|openat|openat2)\(", c):
                    self.assertNotRegex(c, r"O_(WRONLY|RDWR|CREAT|TRUNC|APPEND)", c)
                else:
                    name = re.match(r"(\d+\s+)?(\w+)\(", c)
                    self.assertIsNone(name and name.group(2), c)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
