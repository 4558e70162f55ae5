#!/usr/bin/python3
"""The desktop while calculators are updated, against real D-Bus services:
private system and session buses, python-dbusmock's logind (which hands out
a real descriptor and lists only live inhibitors) and notification daemon,
and the launcher's signals as dbus-monitor sees them.

usage: desktop_test.py NORZA_UPDATER NORZA_LINK NORZA_EMU
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import dbus
import dbusmock

UPDATER, LINK, EMU = sys.argv[1:4]
del sys.argv[1:4]
WHAT = "sleep:idle:handle-lid-switch"


class Desktop(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()
        cls.start_session_bus()
        cls.logind, cls.logind_object = cls.spawn_server_template(
            "logind", {}, stdout=subprocess.DEVNULL)
        cls.daemon, cls.daemon_object = cls.spawn_server_template(
            "notification_daemon", {}, stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        for process in (cls.logind, cls.daemon):
            process.terminate()
            process.wait()
        super().tearDownClass()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="norza-desktop-")
        self.env = dict(os.environ)
        for key in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_STATE_HOME", "XDG_CONFIG_HOME"):
            self.env.pop(key, None)
        for name in ("home", "tmp", "run"):
            os.makedirs(os.path.join(self.work, name), mode=0o700)
        self.env.update(QT_QPA_PLATFORM="offscreen", HOME=self.path("home"), TMPDIR=self.path("tmp"),
                        XDG_RUNTIME_DIR=self.path("run"), NORZA_EMULATOR_DIR=self.path("calcs"),
                        NORZA_PACE_SCALE="0.2")
        os.makedirs(self.path("fw"))
        for name, size in (("APPSDISK.DAT", 70000), ("KORVAARM.ROM", 50000), ("MASTER.DAT", 90000)):
            with open(self.path("fw", name), "wb") as f:
                f.write(os.urandom(size))
        dbus.Interface(self.daemon_object, dbusmock.MOCK_IFACE).ClearCalls()

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, *names):
        return os.path.join(self.work, *names)

    def plug(self, name, *faults):
        subprocess.run([EMU, "plug", self.path("calcs"), name, "--size", "8M", *faults],
                       check=True, stdout=subprocess.DEVNULL)

    def inhibitors(self):
        manager = dbus.Interface(self.logind_object, "org.freedesktop.login1.Manager")
        return [(str(what), str(who), str(why), str(mode))
                for what, who, why, mode, _, _ in manager.ListInhibitors()]

    def wait_for(self, condition, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.02)
        return False

    def held_by(self, who):
        return [i for i in self.inhibitors() if i[1] == who and i[0] == WHAT and i[3] == "block"]

    def log(self):
        try:
            with open(self.path("home", ".local", "state", "norza-updater", "updater.log"),
                      encoding="utf-8") as f:
                return f.read()
        except OSError:
            return ""

    # The command holds off sleep while it writes, lets go at the end, tells
    # the desktop's launcher its progress, and notifies when asked to.
    def test_the_command_holds_the_inhibitor_and_notifies_at_the_end(self):
        self.plug("alpha")
        monitor = subprocess.Popen(
            ["dbus-monitor", "--session", "interface='com.canonical.Unity.LauncherEntry'"],
            stdout=open(self.path("monitor"), "w"), stderr=subprocess.DEVNULL)
        try:
            command = subprocess.Popen([LINK, "update", self.path("fw"), "--notify", "--quiet"],
                                       env=self.env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            self.assertTrue(self.wait_for(lambda: self.held_by("norza-link")),
                            "no inhibitor while the calculator was written")
            self.assertEqual(command.wait(timeout=60), 0)
            self.assertEqual(self.held_by("norza-link"), [], "the hold outlived the update")
        finally:
            time.sleep(0.2)  # the last signal on its way to the monitor
            monitor.terminate()
            monitor.wait()
        calls = dbus.Interface(self.daemon_object, dbusmock.MOCK_IFACE).GetCalls()
        notes = [call for call in calls if call[1] == "Notify"]
        self.assertEqual(len(notes), 1)
        self.assertEqual(str(notes[0][2][3]), "Calculators updated")
        self.assertIn("Calculators updated: 1.", str(notes[0][2][4]))
        with open(self.path("monitor")) as f:
            seen = f.read()
        self.assertIn("application://com.zk.NorzaUpdater.desktop", seen)
        self.assertIn("progress-visible", seen)
        last = seen.split("progress-visible")[-1]
        self.assertIn("boolean false", last, "the progress is cleared at the end")

    # The window lets go once its update is done, not when it closes.
    def test_the_window_lets_go_at_done(self):
        self.plug("alpha")
        self.env["NORZA_PACE_SCALE"] = "0.05"
        window = subprocess.Popen([UPDATER, self.path("fw"), "1"], env=self.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(self.wait_for(lambda: self.held_by("norza-updater")),
                            "no inhibitor while the calculator was written")
            self.assertTrue(self.wait_for(lambda: "end: Done" in self.log(), 60), self.log())
            self.assertTrue(self.wait_for(lambda: not self.held_by("norza-updater"), 10))
        finally:
            self.assertEqual(window.wait(timeout=60), 0)

    # A killed updater's hold goes with it.
    def test_the_window_holds_the_inhibitor_and_a_kill_releases_it(self):
        self.plug("alpha")
        window = subprocess.Popen([UPDATER, self.path("fw"), "1"], env=self.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(self.wait_for(lambda: self.held_by("norza-updater")),
                            "no inhibitor during the countdown and transfer")
        finally:
            window.send_signal(signal.SIGKILL)
            window.wait()
        self.assertTrue(self.wait_for(lambda: not self.held_by("norza-updater"), 10))

    # After the final failure the window stays open; the hold does not.
    def test_the_hold_ends_with_the_update_not_with_the_window(self):
        self.plug("alpha", "--fail-writes", "1000")
        self.env["NORZA_PACE_SCALE"] = "0.01"
        window = subprocess.Popen([UPDATER, self.path("fw"), "1"], env=self.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(self.wait_for(lambda: "update failed (112)" in self.log(), 60),
                            self.log())
            self.assertIsNone(window.poll(), "the window stays open after a failure")
            self.assertEqual(self.held_by("norza-updater"), [])
        finally:
            window.kill()
            window.wait()


if __name__ == "__main__":
    unittest.main(verbosity=2)
