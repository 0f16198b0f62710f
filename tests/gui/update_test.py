#!/usr/bin/env python3
"""End-to-end test of "Check for Updates…" in the desktop app.

The app runs from a per-user tarball install made in the test's folder: the built program copied
to <install>/versions/1.0.0/bin with an Info.json beside it that names the local service's feed
and a public key made for this test by vhbr-sign-update (the same layout install.sh makes, so the
program reads its settings and finds its install as a released copy does; the build itself stays
without a feed). The service publishes version 9.9.0 signed with the test's key. A person opens
the window's menu, chooses "Check for Updates…", reads the offer, installs it and relaunches;
the new version's program (a stand-in that records its start) must run from the switched link.
The feed is handed out by a small server of the test that holds it until told, so that the tray
menu (read as a tray host reads it, with tray_test.py's stand-in desktop) can be seen to disable
"Check for Updates…" while the check runs and enable it when the check ends.
It reuses the session harness of desktop_app_test.py.
"""
import json
import os
import platform
import shutil
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio  # noqa: E402

import pyatspi  # noqa: E402

import desktop_app_test as harness  # noqa: E402
from desktop_app_test import Failure, click, find, press, wait_for  # noqa: E402
from tray_test import Desktop, Tray  # noqa: E402

NEW_VERSION = "9.9.0"
NOTES = ("<h2>What's new</h2><p>Uploads resume faster.</p><script>document.title='x'</script>"
         "<ul><li>Fish &amp; chips</li></ul>")


class HeldFeed:
    """Serves the feed file on loopback, each request only once release() was called."""

    def __init__(self, path):
        self.released = threading.Event()
        held = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                held.released.wait(30)
                with open(path, "rb") as f:
                    body = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/xml")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *_):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_port}/appcast.xml"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def release(self):
        self.released.set()


def check_item_enabled(tray):
    return any(item != "-" and item[0] == "Check for Updates…" and item[1] for item in tray.layout())


class UpdateSession(harness.Session):
    def make_key(self):
        out = subprocess.run([os.path.join(self.bin, "vhbr-sign-update"), "generate-key",
                              os.path.join(self.work, "private.key")], check=True, capture_output=True, text=True)
        self.public_key = out.stdout.strip()

    def write_tree(self, top, version, program):
        os.makedirs(os.path.join(top, "bin"))
        os.makedirs(os.path.join(top, "share", "velvetharbor"))
        program(os.path.join(top, "bin", "velvetharbor"))
        with open(os.path.join(self.bin, "..", "share", "velvetharbor", "Info.json")) as f:
            info = json.load(f)
        info.update({"CFBundleShortVersionString": version, "CFBundleVersion": version,
                     "SUFeedURL": self.feed.url, "SUPublicEDKey": self.public_key})
        with open(os.path.join(top, "share", "velvetharbor", "Info.json"), "w") as f:
            json.dump(info, f)

    def install_running_copy(self):
        """The built app as version 1.0.0 of a per-user install; returns the program's path."""
        self.install = os.path.join(self.work, "install")
        top = os.path.join(self.install, "versions", "1.0.0")
        self.write_tree(top, "1.0.0", lambda path: shutil.copy2(os.path.join(self.bin, "velvetharbor"), path))
        shutil.copytree(os.path.join(self.bin, "..", "share", "icons"), os.path.join(top, "share", "icons"))
        os.symlink("versions/1.0.0", os.path.join(self.install, "current"))
        return os.path.join(self.install, "current", "bin", "velvetharbor")

    def publish(self):
        """Version 9.9.0 whose program records where it was started from, signed, in the feed."""
        def stand_in(path):
            with open(path, "w") as f:
                f.write('#!/bin/sh\necho "$0" > "$VHBR_TEST_RELAUNCH_LOG"\n')
            os.chmod(path, 0o755)

        name = f"velvetharbor-{NEW_VERSION}-linux-{platform.machine()}"
        stage = os.path.join(self.work, "stage")
        self.write_tree(os.path.join(stage, name), NEW_VERSION, stand_in)
        updates = os.path.join(self.work, "service", "updates")
        os.makedirs(updates, exist_ok=True)
        package = os.path.join(updates, name + ".tar.gz")
        subprocess.run(["tar", "-czf", package, "-C", stage, name], check=True)
        attributes = subprocess.run([os.path.join(self.bin, "vhbr-sign-update"), "sign", package,
                                     os.path.join(self.work, "private.key")], check=True, capture_output=True,
                                    text=True).stdout.strip()
        with open(os.path.join(updates, "appcast.xml"), "w") as f:
            f.write(f"""<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
<item><title>Velvetharbor {NEW_VERSION}</title><sparkle:version>{NEW_VERSION}</sparkle:version>
<description><![CDATA[{NOTES}]]></description>
<enclosure url="{self.url}/updates/{name}.tar.gz" type="application/gzip"
  sparkle:os="linux-{platform.machine()}-tarball" {attributes}/></item></channel></rss>""")

    def launch_program(self, program):
        self.app_runs += 1
        err = os.path.join(self.work, f"app-{self.app_runs}.stderr")
        self.stderr_files.append(err)
        self.app = subprocess.Popen([program], env=self.env, stdout=subprocess.DEVNULL, stderr=open(err, "w"))

    def update_window(self, heading):
        """The "Software Update" window while it shows this heading."""
        window = self.frame("Software Update")
        return window if window is not None and find(window, name=heading, showing=True) else None


def run(s):
    s.start_server()
    s.feed = HeldFeed(os.path.join(s.work, "service", "updates", "appcast.xml"))
    desktop = Desktop()
    s.make_key()
    program = s.install_running_copy()
    s.publish()
    relaunch_log = os.path.join(s.work, "relaunched")
    s.env["VHBR_TEST_RELAUNCH_LOG"] = relaunch_log

    s.launch_program(program)
    window = wait_for("the main window", lambda: s.frame("Velvetharbor"))
    wait_for("the sign-in overlay", lambda: s.shows_text("Sign in to Velvetharbor"))
    tray = Tray(Gio.bus_get_sync(Gio.BusType.SESSION, None),
                *wait_for("the tray item to register", lambda: desktop.items and desktop.items[0]))
    wait_for("Check for Updates… enabled in the tray", lambda: check_item_enabled(tray))
    click(wait_for("the menu button", lambda: find(window, name="Main Menu", role="toggle button", showing=True)))
    item = wait_for("the menu", lambda: find(s.application(), name="Check for Updates…", showing=True))
    if not item.getState().contains(pyatspi.STATE_SENSITIVE):
        raise Failure("Check for Updates… is disabled although this copy has a feed and a key")
    press(item)
    wait_for("Check for Updates… disabled in the tray during the check", lambda: not check_item_enabled(tray))
    s.feed.release()

    offer = wait_for("the offer", lambda: s.update_window("A new version of Velvetharbor is available!"))
    for text in (f"Velvetharbor {NEW_VERSION} is now available — you have 1.0.0. Would you like to install it now?",
                 "What's new\n\nUploads resume faster.\n\n• Fish & chips"):
        if find(offer, name=text) is None:
            raise Failure(f"the offer does not show {text!r}")
    for button in ("Skip This Version", "Remind Me Later"):
        if find(offer, name=button, role="push button") is None:
            raise Failure(f"the offer has no {button} button")
    s.screenshot("update-01-available")
    wait_for("Check for Updates… enabled in the tray once the check ended", lambda: check_item_enabled(tray))
    press(find(offer, name="Install Update", role="push button"))

    installed = wait_for("the installed update", lambda: s.update_window(f"Velvetharbor {NEW_VERSION} is installed."))
    if os.readlink(os.path.join(s.install, "current")) != f"versions/{NEW_VERSION}":
        raise Failure("the install's link was not switched")
    s.screenshot("update-02-installed")
    s.check_stderr()

    # Relaunch: the app quits and the new version starts from the switched link.
    press(find(installed, name="Relaunch", role="push button"))
    if s.app.wait(timeout=20) != 0:
        raise Failure("the relaunch did not end cleanly")
    with open(relaunch_log) as f:
        started = f.read().strip()
    if started != program:
        raise Failure(f"the relaunch started {started!r}, not {program!r}")
    if not os.path.isdir(os.path.join(s.install, "versions", "1.0.0")):
        raise Failure("the running version was removed before the new one started")


if __name__ == "__main__":
    sys.exit(harness.run_scenario("check for updates end-to-end", UpdateSession, run, "failure-update"))
