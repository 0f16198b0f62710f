#!/usr/bin/env python3
"""The main road of the desktop app on Wayland (run-in-wayland-session): sign in through the
"browser", open a file with the app from a second process, confirm, and the upload arrives intact.
The compositor has no input devices, so everything is driven through AT-SPI. Its protocol record
shows what the app told it: every window's app id must be the launcher entry's name."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import desktop_app_test as harness
from desktop_app_test import APP_ID, Failure, find, press, wait_for


class WaylandSession(harness.Session):
    def screenshot(self, name):
        time.sleep(0.7)
        folder = tempfile.mkdtemp(dir=self.work)
        subprocess.run(["weston-screenshooter"], cwd=folder, env=self.env, check=True, timeout=10)
        shot = os.listdir(folder)[0]
        path = os.path.join(self.shots, name + ".png")
        shutil.move(os.path.join(folder, shot), path)
        print(f"screenshot {path}", flush=True)

    def check_stderr(self):
        # A compositor without input devices offers no seat, which GTK reports once per window, and
        # again whenever it asks where the pointer is (as it may while the window updates). In its
        # sandbox the web process's GTK reads the desktop's settings through the settings portal,
        # which this bare test session does not run (a desktop session does).
        expected = ("gdk_seat_get_keyboard", "gdk_seat_get_pointer", "gdk_device_get_window_at_position",
                    "Failed to read portal settings")
        for path in self.stderr_files:
            with open(path) as f:
                kept = [line for line in f if not any(text in line for text in expected)]
            with open(path, "w") as f:
                f.writelines(kept)
        super().check_stderr()


def app_ids():
    with open(os.environ["VHBR_WAYLAND_PROTOCOL_LOG"]) as f:
        return set(re.findall(r'xdg_toplevel@\d+\.set_app_id\("([^"]*)"\)', f.read()))


def run(s):
    if os.environ.get("GDK_BACKEND") != "wayland" or "DISPLAY" in os.environ:
        raise Failure("not in a Wayland session (run-in-wayland-session)")
    s.start_server()
    small, small_sha = s.media("interview.wav", 20)

    window = s.start_app()
    sign_in = wait_for("the Sign in button", lambda: find(window, name="Sign in", role="push button", showing=True))
    s.screenshot("wayland-01-sign-in")
    press(sign_in)
    wait_for("the overlay to go once signed in", lambda: not s.shows_text("Sign in to Velvetharbor"))

    if s.launch(small).wait(timeout=20) != 0:
        raise Failure("the second velvetharbor process failed")
    dialog = wait_for("the confirmation dialog", lambda: s.dialog("interview.wav"))
    s.screenshot("wayland-02-confirmation")
    press(find(dialog, name="Start", role="push button"))
    s.opened_task(small_sha)
    s.screenshot("wayland-03-task-page")

    # The main window and the dialog both told the compositor the launcher entry's name.
    ids = app_ids()
    if ids != {APP_ID}:
        raise Failure(f"the app's windows carry the app ids {sorted(ids)}, not only {APP_ID}")
    subprocess.run(["gapplication", "action", APP_ID, "quit"], env=s.env, check=True)
    if s.app.wait(timeout=20) != 0:
        raise Failure("the app did not quit cleanly")
    s.check_stderr()


if __name__ == "__main__":
    sys.exit(harness.run_scenario("desktop app on Wayland", WaylandSession, run, "wayland-failure"))
