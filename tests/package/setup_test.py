"""The set-up's failure path, with a stand-in for apt-get: nothing is installed and the network is never
asked. A package name that cannot exist (KESTREL_SETUP_EXTRA_PACKAGES) makes the install step run;
the stand-in (KESTREL_APT_GET) answers as a mirror in the middle of a sync does. Then every command
that calls the set-up stops with its own line. Run as root only: as another user the set-up and the
commands' calls of it do not run.
    python3 setup_test.py REPO WORK_DIR
"""
import os
import shutil
import subprocess
import sys
import unittest

REPO, WORK = sys.argv[1:3]
del sys.argv[1:3]

STAND_IN = r"""#!/bin/sh
# apt-get as a mirror mid-sync answers: the lists fail until $STAND_IN_UPDATES_FAIL tries have failed,
# an install fails unless it is the -t bookworm one and $STAND_IN_BOOKWORM_WORKS is set.
echo "$*" >>"$STAND_IN_CALLS"
case "$1" in
    update)
        tries=$(grep -c '^update' "$STAND_IN_CALLS")
        if [ "$tries" -le "${STAND_IN_UPDATES_FAIL:-99}" ]; then
            echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (1234 != 5678). Mirror sync in progress?"
            exit 100
        fi ;;
    install)
        case "$*" in *"-t bookworm"*) [ -n "${STAND_IN_BOOKWORM_WORKS:-}" ] && exit 0 ;; esac
        echo "E: Unable to locate package kestrel-no-such-package"
        exit 100 ;;
esac
exit 0
"""


@unittest.skipUnless(os.geteuid() == 0, "the set-up runs as root only")
class SetUpFailure(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(WORK, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        stand_in = os.path.join(self.dir, "apt-get")
        with open(stand_in, "w") as f:
            f.write(STAND_IN)
        os.chmod(stand_in, 0o755)
        self.calls = os.path.join(self.dir, "calls")
        self.log = os.path.join(self.dir, "setup.log")
        self.env = dict(os.environ, KESTREL_APT_GET=stand_in, KESTREL_APT_TRIES="3", KESTREL_APT_PAUSE="0",
                        KESTREL_SETUP_LOG=self.log, KESTREL_SETUP_EXTRA_PACKAGES="kestrel-no-such-package",
                        STAND_IN_CALLS=self.calls)

    def run_script(self, script, *args, **env):
        return subprocess.run(["bash", os.path.join(REPO, "scripts", script), *args], env=dict(self.env, **env),
                              capture_output=True, text=True, timeout=120)

    def called(self):
        with open(self.calls) as f:
            return f.read().splitlines()

    def test_a_mirror_mid_sync_ends_with_the_step_the_log_and_what_to_try(self):
        run = self.run_script("setup.sh")
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("setup.sh: installing the toolchain: a first run takes minutes", run.stdout)
        # The lists retried with pauses, the install tried again with the release's suite, then one
        # ending that names the step, the log and what to try.
        self.assertIn("fetching the package lists failed (try 1 of 3)", run.stderr)
        self.assertIn("fetching the package lists failed (try 2 of 3)", run.stderr)
        self.assertIn("could not be fetched after 3 tries", run.stderr)
        self.assertIn("trying again with the release's own suite (bookworm)", run.stderr)
        self.assertIn("setup.sh: installing kestrel-no-such-package failed; apt's output is in " + self.log, run.stderr)
        self.assertIn("the package mirror may be mid-sync or out of reach: run the same command again later",
                      run.stderr.splitlines()[-1])
        # apt's own lines go to the log, not to the console.
        self.assertNotIn("unexpected size", run.stdout + run.stderr)
        with open(self.log) as f:
            self.assertIn("File has unexpected size", f.read())
        calls = self.called()
        self.assertEqual([c.split()[0] for c in calls], ["update"] * 3 + ["install", "install"])
        self.assertIn("kestrel-no-such-package", calls[3])
        self.assertIn("-t bookworm", calls[4])

    def test_lists_fetched_on_a_later_try_and_the_bookworm_install_go_on(self):
        # The lists come on the third try; the plain install fails, and without a missing list the
        # set-up does not try the release's suite: it ends there.
        run = self.run_script("setup.sh", STAND_IN_UPDATES_FAIL="2")
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertEqual([c.split()[0] for c in self.called()], ["update"] * 3 + ["install"])
        self.assertNotIn("after 3 tries", run.stderr)
        # With the lists still missing after every try, the -t bookworm install that works lets the
        # set-up go on to its end (the rest is done on this machine already).
        os.remove(self.calls)
        run = self.run_script("setup.sh", STAND_IN_BOOKWORM_WORKS="1")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("are ready", run.stdout)
        self.assertEqual([c.split()[0] for c in self.called()], ["update"] * 3 + ["install", "install"])

    def test_every_command_that_calls_it_stops_with_its_own_line(self):
        app = os.path.join(self.dir, "app")
        os.makedirs(app)
        out = os.path.join(self.dir, "out.exe")
        commands = {"package.sh": [app, out], "test.sh": ["-R", "nothing-at-all"], "demo.sh": [], "fuzz.sh": ["1"]}
        for script, args in commands.items():
            with self.subTest(script=script):
                run = self.run_script(script, *args, KESTREL_BUILD=os.path.join(self.dir, "build-" + script),
                                      KESTREL_PACKAGE_BUILD=os.path.join(self.dir, "package-build"))
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                # The set-up's own lines are shown (package.sh hid them once), then the command's.
                self.assertIn("setup.sh: installing kestrel-no-such-package failed", run.stderr)
                self.assertIn(script + ": the set-up failed", run.stderr.splitlines()[-1])
                self.assertNotIn("Building", run.stdout)
        self.assertFalse(os.path.exists(out))


    def test_packaging_alone_needs_no_root_once_installed_and_says_what_is_missing(self):
        # As another user the packaging set-up installs nothing and asks apt nothing: with all there it
        # says so and succeeds; with a package missing it names it and the one command that installs it.
        user = os.environ.get("KESTREL_TEST_USER", "kestrel")
        as_user = ["runuser", "-u", user, "--", "env", "KESTREL_APT_GET=" + self.env["KESTREL_APT_GET"],
                   "STAND_IN_CALLS=" + self.calls, "bash", os.path.join(REPO, "scripts", "setup.sh"), "--packaging"]
        ready = subprocess.run(as_user, capture_output=True, text=True, timeout=120)
        self.assertEqual(ready.returncode, 0, ready.stdout + ready.stderr)
        self.assertIn("setup.sh: the packaging toolchain is ready (nothing to install)", ready.stdout)
        missing = subprocess.run(as_user[:5] + ["KESTREL_SETUP_EXTRA_PACKAGES=kestrel-no-such-package"] + as_user[5:],
                                 capture_output=True, text=True, timeout=120)
        self.assertEqual(missing.returncode, 1, missing.stdout + missing.stderr)
        self.assertIn("setup.sh: missing packages: kestrel-no-such-package; install them with: "
                      "sudo apt-get install kestrel-no-such-package", missing.stderr)
        self.assertFalse(os.path.exists(self.calls), "apt-get was called without root")
        # As root it installs what is missing of what packaging needs.
        run = self.run_script("setup.sh", "--packaging")
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("setup.sh: installing the packaging toolchain", run.stdout)
        install = [c for c in self.called() if c.startswith("install")][0].split()
        self.assertIn("kestrel-no-such-package", install)
        wrong = self.run_script("setup.sh", "--tests")
        self.assertEqual(wrong.returncode, 2, wrong.stdout + wrong.stderr)
        self.assertIn("setup.sh: unknown option '--tests'", wrong.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
