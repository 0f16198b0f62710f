#!/usr/bin/env python3
"""End-to-end test of the desktop app, driven as a person drives it.

It starts the local service and the app in a private session (see run-in-session), then works
through the window by its widgets (AT-SPI), the keyboard (xdotool) and the app's actions over
D-Bus (gapplication): sign in through the "browser", open a file with the app from a second
process, confirm with Return, ask to quit during an upload and cancel, force-quit, relaunch and
resume; and through /proc, that the web content runs sandboxed where bubblewrap runs and is shown
unsandboxed where it cannot. Each step saves a screenshot of the screen under the build folder. The app's stderr must
hold no GTK, GLib or WebKit warning or critical.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, Gio, Gtk  # noqa: E402
import pyatspi  # noqa: E402

APP_ID = "com.velvetharbor.Desktop"
STEP_TIMEOUT = 30.0


class Failure(Exception):
    pass


def wait_for(what, predicate, timeout=STEP_TIMEOUT, interval=0.2):
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = predicate()
        except Exception:  # the accessible tree changes under us while the app works
            value = None
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(interval)


class Session:
    def __init__(self, args):
        self.bin = args.bin
        self.shots = args.shots
        os.makedirs(self.shots, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="vhbr-gui-")
        self.env = dict(os.environ)
        for name in ("DATA", "CONFIG", "CACHE"):
            path = os.path.join(self.work, name.lower())
            os.makedirs(path)
            self.env[f"XDG_{name}_HOME"] = path
        self.browser_log = os.path.join(self.work, "browser.log")
        self.env["VHBR_TEST_BROWSER_LOG"] = self.browser_log
        self.env["VHBR_TEST_BROWSER_DELAY"] = "3"
        self.install_test_browser(args.browser)
        self.server = None
        self.app = None
        self.app_runs = 0
        self.stderr_files = []
        self.secrets = []  # files a check put outside the test's folder

    # The desktop's default web browser in this session is the test browser.
    def install_test_browser(self, browser):
        apps = os.path.join(self.env["XDG_DATA_HOME"], "applications")
        os.makedirs(apps)
        with open(os.path.join(apps, "vhbr-test-browser.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Test Browser\n"
                    f"Exec={sys.executable} {browser} %u\n"
                    "MimeType=x-scheme-handler/http;x-scheme-handler/https;\n")
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/http=vhbr-test-browser.desktop\n"
                    "x-scheme-handler/https=vhbr-test-browser.desktop\n")

    def start_server(self):
        log = open(os.path.join(self.work, "service.log"), "w")
        self.server = subprocess.Popen(
            [os.path.join(self.bin, "vhbr-devserver"), "--port", "0", "--data-dir",
             os.path.join(self.work, "service")], stdout=log, stderr=subprocess.STDOUT)

        def url():
            with open(log.name) as f:
                m = re.search(r"^listening on (\S+)", f.read(), re.M)
                return m and m.group(1)

        self.url = wait_for("the local service", url, 10)
        self.env["VHBR_API_URL"] = self.url
        self.env["VHBR_WEB_URL"] = self.url + "/app"

    def control(self, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.url + path, data=data, method="GET" if body is None else "POST",
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as r:
            return json.load(r)

    def media(self, name, seconds):
        path = os.path.join(self.work, name)
        subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", f"sine=frequency=330:duration={seconds}",
                        "-ac", "2", "-ar", "44100", path], check=True)
        with open(path, "rb") as f:
            return path, hashlib.sha256(f.read()).hexdigest()

    def launch(self, *args, wrapper=()):
        self.app_runs += 1
        err = os.path.join(self.work, f"app-{self.app_runs}.stderr")
        self.stderr_files.append(err)
        return subprocess.Popen([*wrapper, os.path.join(self.bin, "velvetharbor"), *args], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=open(err, "w"))

    def launch_where_bubblewrap_fails(self):
        """The app on a machine where bubblewrap cannot run: a bubblewrap that fails as it does in
        a restricted container is mounted over the real one, for the app's processes alone (a
        mount namespace of their own). None when this machine cannot make one."""
        fake = os.path.join(self.work, "bwrap")
        with open(fake, "w") as f:
            f.write("#!/bin/sh\necho 'bwrap: No permissions to create new namespace' >&2\nexit 1\n")
        os.chmod(fake, 0o755)
        if subprocess.run(["unshare", "--mount", "mount", "--bind", fake, "/usr/bin/bwrap"],
                          stderr=subprocess.DEVNULL).returncode != 0:
            return None
        return self.launch(wrapper=["unshare", "--mount", "sh", "-c",
                                    f'mount --bind "{fake}" /usr/bin/bwrap && exec "$0" "$@"'])

    def web_processes(self):
        """The app's web content processes (under bubblewrap when sandboxed), by walking /proc."""
        children = {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except OSError:
                continue
            name = stat[stat.index("(") + 1:stat.rindex(")")]
            parent = int(stat[stat.rindex(")") + 2:].split()[1])
            children.setdefault(parent, []).append((int(entry), name))
        found, todo = [], [self.app.pid]
        while todo:
            for pid, name in children.get(todo.pop(), []):
                todo.append(pid)
                if name.startswith("WebKitWebProces"):  # the kernel keeps 15 characters
                    found.append(pid)
        return found

    def web_content_sees(self, path):
        """Whether the web content processes see path in their own root (one answer each)."""
        pids = wait_for("the web content process", self.web_processes)
        return [os.path.exists(f"/proc/{pid}/root{path}") for pid in pids]

    def unsandboxed_notes(self):
        with open(self.stderr_files[-1]) as f:
            return f.read().count("The web content runs without a sandbox")

    def start_app(self):
        self.app = self.launch()
        return wait_for("the main window", lambda: self.frame("Velvetharbor"))

    def application(self):
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == APP_ID:
                return app
        return None

    def frame(self, title):
        app = self.application()
        if app is None:
            return None
        for window in app:
            if window is not None and window.name == title and window.getState().contains(pyatspi.STATE_SHOWING):
                return window
        return None

    def dialog(self, heading):
        """A showing dialog of the app that contains a label with the heading."""
        app = self.application()
        for window in app or []:
            if window is None or window.getRoleName() not in ("dialog", "alert"):
                continue
            if window.getState().contains(pyatspi.STATE_SHOWING) and find(window, name=heading):
                return window
        return None

    def screenshot(self, name):
        time.sleep(0.7)  # what AT-SPI reports as showing may not be painted yet
        root = Gdk.get_default_root_window()
        pixbuf = Gdk.pixbuf_get_from_window(root, 0, 0, root.get_width(), root.get_height())
        path = os.path.join(self.shots, name + ".png")
        pixbuf.savev(path, "png", [], [])
        print(f"screenshot {path}", flush=True)

    @staticmethod
    def window_id(window_name):
        """The shown X window with this title (not GTK's hidden client leader, which has it too)."""
        return subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(window_name)}$"],
                              check=True, capture_output=True, text=True).stdout.split()[-1]

    def window_class(self, window_name):
        return subprocess.run(["xprop", "-id", self.window_id(window_name), "WM_CLASS"], check=True,
                              capture_output=True, text=True).stdout.strip()

    def key(self, window_name, key):
        """Focuses the X window with this title and presses key, as typing does."""
        wid = self.window_id(window_name)
        subprocess.run(["xdotool", "windowfocus", "--sync", wid], check=True)
        subprocess.run(["xdotool", "key", "--clearmodifiers", key], check=True)

    def task(self, sha256):
        for t in self.control("/__dev/tasks"):
            if t.get("uploadComplete") and t.get("sha256") == sha256:
                return t
        return None

    def opened_task(self, sha256, what="the upload", timeout=60):
        """Waits for the upload of this content to end as a task, then for the window to show it."""
        task = wait_for(f"{what} to complete", lambda: self.task(sha256), timeout)
        wait_for(f"the task page of {what}", lambda: self.shows_text(task["id"], web=True), 20)
        return task

    def shows_text(self, text, web=False):
        window = self.frame("Velvetharbor")
        return window is not None and find(window, name=text, showing=True, web=web) is not None

    def check_stderr(self):
        bad = re.compile(r"(Gtk|Gdk|GLib|GLib-GObject|Gio|WebKit|atk|Atk)[-\w]*-(WARNING|CRITICAL)|CRITICAL \*\*")
        for path in self.stderr_files:
            with open(path) as f:
                lines = [line for line in f if bad.search(line)]
            if lines:
                raise Failure(f"the app printed warnings ({path}):\n" + "".join(lines[:20]))

    def stop(self):
        for process in (self.app, self.server):
            if process and process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(self.work, ignore_errors=True)
        for path in self.secrets:
            if os.path.exists(path):
                os.remove(path)


def find(node, name=None, role=None, showing=False, web=False, depth=0):
    """Depth-first search of the accessible tree for a node with this name and role; the web
    page's own tree only when web is true (the page has buttons of the same names)."""
    if node is None or depth > 40:
        return None
    try:
        matches = (name is None or node.name == name or (web and text_of(node) == name)) and (
            role is None or node.getRoleName() == role)
        if matches and (not showing or node.getState().contains(pyatspi.STATE_SHOWING)):
            return node
        if not web and node.getRoleName() in ("document web", "document frame"):
            return None
        for child in node:
            hit = find(child, name, role, showing, web, depth + 1)
            if hit is not None:
                return hit
    except Exception:
        return None
    return None


def find_named(node, test, depth=0):
    """The first node of the window's own widgets whose name passes test."""
    if node is None or depth > 40:
        return None
    try:
        if node.name and test(node.name):
            return node
        if node.getRoleName() in ("document web", "document frame"):
            return None
        for child in node:
            hit = find_named(child, test, depth + 1)
            if hit is not None:
                return hit
    except Exception:
        return None
    return None


def clipboard_text():
    return Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD).wait_for_text()


def closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def text_of(node):
    """The text a web page's node shows (WebKit puts it in the Text interface, not the name)."""
    try:
        text = node.queryText()
        return text.getText(0, text.characterCount).strip()
    except NotImplementedError:
        return None


def press(node):
    node.queryAction().doAction(0)


def click(node):
    """Clicks the middle of the node with the mouse, as a person does."""
    box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", "--sync", str(box.x + box.width // 2), str(box.y + box.height // 2),
                    "click", "1"], check=True)


def run(session):
    s = session
    s.start_server()
    small, small_sha = s.media("interview.wav", 20)
    long_name = "Quarterly all-hands meeting recording with questions from every regional office.wav"
    long_path, _ = s.media(long_name, 1)
    large, large_sha = s.media("lecture.wav", 400)  # above 50 MiB: a multipart upload

    # A data folder that other users may change is refused: the app says why and quits.
    uploads = os.path.join(s.env["XDG_DATA_HOME"], "Velvetharbor", "Uploads")
    os.makedirs(uploads, mode=0o700)
    os.chmod(uploads, 0o777)
    s.app = s.launch()
    alert = wait_for("the start-up error", lambda: s.dialog("Velvetharbor cannot start"))
    s.screenshot("00-startup-error")
    press(find(alert, name="Quit", role="push button"))
    s.app.wait(timeout=20)
    os.chmod(uploads, 0o700)

    # A web app that cannot be reached: the error overlay.
    s.env["VHBR_WEB_URL"] = f"http://127.0.0.1:{closed_port()}/app"
    s.start_app()
    wait_for("the error overlay", lambda: s.shows_text("Velvetharbor could not load"))
    s.screenshot("00-load-error-overlay")
    s.app.send_signal(signal.SIGTERM)
    s.app.wait(timeout=20)

    framed_site_and_no_browser(s)
    s.env["VHBR_WEB_URL"] = s.url + "/app"

    window = s.start_app()
    wait_for("the sign-in overlay", lambda: s.shows_text("Sign in to Velvetharbor"))
    s.screenshot("01-sign-in-overlay")
    # Window managers and docks match the window to its launcher entry (StartupWMClass) by its
    # class, some by the instance name and some by the class name: both are the app id.
    wm_class = s.window_class("Velvetharbor")
    if wm_class != f'WM_CLASS(STRING) = "{APP_ID}", "{APP_ID}"':
        raise Failure(f"the window's class is {wm_class}")

    # The header bar's menu: this build has no update channel, so no "Check for Updates…", and
    # no "Open Velvetharbor" inside the window it would open.
    click(find(window, name="Main Menu", role="toggle button"))
    wait_for("the menu", lambda: find(s.application(), name="Reload", showing=True))
    for absent in ("Check for Updates…", "Open Velvetharbor"):
        if find(s.application(), name=absent, showing=True):
            raise Failure(f"the window's menu offers {absent}")
    s.screenshot("01a-menu")
    s.key("Velvetharbor", "Escape")
    wait_for("the menu to close", lambda: find(s.application(), name="Reload", showing=True) is None)

    # Return presses the overlay's default button.
    wait_for("the Sign in button", lambda: find(window, name="Sign in", role="push button", showing=True))
    s.key("Velvetharbor", "Return")
    # While the browser is open the button waits, disabled, beside a spinner.
    waiting = wait_for("the waiting button", lambda: find(window, name="Waiting for Browser", role="push button",
                                                          showing=True))
    if waiting.getState().contains(pyatspi.STATE_SENSITIVE):
        raise Failure("the button is enabled while the sign-in runs")
    # The page's link shows meanwhile, for a browser that did not come up.
    wait_for("the sign-in link", lambda: find_named(window, lambda n: n.startswith(s.url + "/desktop-login?nonce=")))
    s.screenshot("01b-waiting-for-browser")
    wait_for("the browser to be opened", lambda: os.path.exists(s.browser_log))
    wait_for("the overlay to go once signed in", lambda: not s.shows_text("Sign in to Velvetharbor"))
    with open(s.browser_log) as f:
        assert "/desktop-login?nonce=" in f.read(), "the approval page was not opened"
    time.sleep(1)  # let the web app draw its task list
    s.screenshot("02-signed-in")

    # The web content runs in bubblewrap where bubblewrap works: a file in the user's home is not
    # in the web process's file system, while the system's files are; sign-in worked through it.
    secret = os.path.join(os.path.expanduser("~"), f".vhbr-sandbox-check-{os.getpid()}")
    with open(secret, "w") as f:
        f.write("private")
    s.secrets.append(secret)
    if not all(s.web_content_sees("/usr/share")):
        raise Failure("the web content's root cannot be examined")
    if bubblewrap_runs():
        if any(s.web_content_sees(secret)) or s.unsandboxed_notes():
            raise Failure("the web content is not sandboxed although bubblewrap runs here")
    elif s.unsandboxed_notes() != 1:
        raise Failure("bubblewrap cannot run here, and the app did not say so once")

    # Closing the window keeps the app running; the app's link, or starting it again, brings the
    # window back.
    for again in (["velvetharbor-desktop://open"], []):
        press(find(window, name="Close", role="push button"))
        wait_for("the window to close", lambda: s.frame("Velvetharbor") is None)
        if s.app.poll() is not None:
            raise Failure("closing the window quit the app")
        if again:  # a link the app does not take leaves the window closed
            s.launch("VELVETHARBOR-DESKTOP://open").wait(timeout=20)
            time.sleep(1.5)
            if s.frame("Velvetharbor") is not None:
                raise Failure("a link in capitals brought the window back")
        if s.launch(*again).wait(timeout=20) != 0:
            raise Failure(f"velvetharbor {' '.join(again)} failed")
        window = wait_for("the window again", lambda: s.frame("Velvetharbor"))

    # A second `velvetharbor FILE` hands the file to the running app. A long name wraps in the
    # dialog; Escape cancels and nothing is uploaded.
    s.launch(long_path).wait(timeout=20)
    wait_for("the confirmation of the long name", lambda: s.dialog(long_name))
    s.screenshot("03a-confirmation-long-name")
    s.key("Upload", "Escape")
    wait_for("the cancelled confirmation to close", lambda: s.dialog(long_name) is None)

    opener = s.launch(small)
    if opener.wait(timeout=20) != 0:
        raise Failure("the second velvetharbor process failed")
    dialog = wait_for("the confirmation dialog", lambda: s.dialog("interview.wav"))
    if dialog.name != "Upload":
        raise Failure(f"the confirmation is titled {dialog.name!r}")
    if s.window_class("Upload") != wm_class:
        raise Failure(f"the dialog's class is {s.window_class('Upload')}, the window's {wm_class}")
    # A language chosen with the mouse leaves the keyboard on its list; Return still starts.
    # The target list (it shows English; the source list shows Auto).
    click(wait_for("the target list", lambda: find(dialog, name="English", role="combo box", showing=True)))
    click(wait_for("the list's French", lambda: find(s.application(), name="French", role="menu item", showing=True)))
    wait_for("the list to close", lambda: find(s.application(), name="French", role="menu item", showing=True) is None)
    s.screenshot("03-confirmation")
    s.key("Upload", "Return")
    task = s.opened_task(small_sha)
    if task["request"]["targetLanguage"] != "fr":
        raise Failure(f"the task's target language is {task['request']['targetLanguage']}, not fr")
    # The app loads its media library only now, to read the file's length.
    if abs(task["request"]["media"].get("durationHint", 0) - 20) > 0.5:
        raise Failure(f"the task's duration is {task['request']['media'].get('durationHint')}, not 20 s")
    s.screenshot("04-task-page")

    # A multipart upload whose last part is slow: quitting asks, and Cancel keeps it going.
    s.control("/__dev/faults", {"route": "part-put", "partNumber": 6, "delayMs": 60000})
    s.launch(large).wait(timeout=20)
    wait_for("the second confirmation", lambda: s.dialog("lecture.wav"))
    s.key("Upload", "Return")
    wait_for("the large upload's first parts", lambda: len(s.control("/__dev/stats")["partPuts"]) >= 6, 60)
    s.key("Velvetharbor", "ctrl+q")
    question = wait_for("the quit question", lambda: s.dialog("Quit while uploads are active?"))
    # Titled, as task lists and window switchers show it.
    if subprocess.run(["xdotool", "search", "--name", "^" + re.escape("Quit while uploads are active?") + "$"],
                      capture_output=True).returncode != 0:
        raise Failure("the quit question has no title")
    s.screenshot("05-quit-question")
    press(find(question, name="Cancel", role="push button"))
    wait_for("the quit question to close", lambda: s.dialog("Quit while uploads are active?") is None)
    time.sleep(1)
    if s.app.poll() is not None:
        raise Failure("the app quit although Cancel was chosen")

    # A forced quit, then the next launch offers the unfinished upload.
    s.app.kill()
    s.app.wait()
    window = s.start_app()
    question = wait_for("the resume question", lambda: s.dialog("Resume incomplete uploads?"))
    s.screenshot("06-resume-question")
    press(find(question, name="Resume", role="push button"))
    s.opened_task(large_sha, "the resumed upload", 90)
    s.screenshot("07-resumed-task-page")

    # The quit action over D-Bus (as the menu item sends it) quits at once with nothing active.
    subprocess.run(["gapplication", "action", APP_ID, "quit"], env=s.env, check=True)
    if s.app.wait(timeout=20) != 0:
        raise Failure("the app did not quit cleanly")
    if any(t["fileName"] == long_name for t in s.control("/__dev/tasks")):
        raise Failure("the cancelled upload was started")
    # Where bubblewrap cannot run, the app says so once and shows the web app unsandboxed instead
    # of a blank window. SIGTERM quits as well.
    s.app = s.launch_where_bubblewrap_fails()
    if s.app is None:
        print("no mount namespace here: the unsandboxed start is not checked")
        s.app = s.launch()
    else:
        wait_for("the web app without a sandbox", lambda: s.shows_text("Sign out", web=True))
        s.screenshot("08-without-sandbox")
        if s.unsandboxed_notes() != 1 or not all(s.web_content_sees(secret)):
            raise Failure(f"not unsandboxed, or not said once: {s.unsandboxed_notes()} notes, "
                          f"home visible {s.web_content_sees(secret)}")
    wait_for("the main window again", lambda: s.frame("Velvetharbor"))
    s.app.send_signal(signal.SIGTERM)
    if s.app.wait(timeout=20) != 0:
        raise Failure("the app did not quit on SIGTERM")
    s.check_stderr()


def bubblewrap_runs():
    """Whether bubblewrap can make the namespaces of WebKit's sandbox on this machine."""
    return subprocess.run(["bwrap", "--unshare-pid", "--unshare-uts", "--unshare-ipc", "--unshare-net",
                           "--ro-bind", "/", "/", "--proc", "/proc", "--dev", "/dev", "true"],
                          stderr=subprocess.DEVNULL).returncode == 0


def framed_site_and_no_browser(s):
    """A web app that frames a page of another site, on a desktop without a browser."""
    saved = dict(s.env)
    for name in ("DATA", "CONFIG"):  # no default browser, no sign-in kept from before
        s.env[f"XDG_{name}_HOME"] = tempfile.mkdtemp(prefix=f"no-browser-{name.lower()}-", dir=s.work)
    port = s.url.rsplit(":", 1)[1]
    elsewhere = f"http://localhost:{port}/elsewhere/frame"  # another origin: another host name
    s.env["VHBR_WEB_URL"] = s.url + "/app?embed=" + urllib.parse.quote(elsewhere, safe="")
    window = s.start_app()
    wait_for("the sign-in overlay", lambda: s.shows_text("Sign in to Velvetharbor"))
    # The framed page ran past its alert and confirm (answered "cancel", nothing shown) ...
    wait_for("the framed page", lambda: s.shows_text("Elsewhere ran; confirm answered false", web=True))
    # ... and keeps posting that someone signed in, which the app does not take from it.
    time.sleep(2)
    s.screenshot("00b-framed-site")
    if not s.shows_text("Sign in to Velvetharbor"):
        raise Failure("a framed page of another site signed the app in")
    for text in ("A dialog of another site", "Allow another site?", "Authentication Required"):
        if find(s.application(), name=text) or find(window, name=text, web=True):
            raise Failure(f"the web view showed a dialog of its own: {text}")

    # No browser opens: the overlay says so and offers the link, to copy; Cancel stops.
    press(find(window, name="Sign in", role="push button", showing=True))
    wait_for("the link fallback", lambda: s.shows_text("Could not open a web browser. Open this link to sign in:"))
    link = wait_for("the sign-in link",
                    lambda: find_named(window, lambda n: n.startswith(s.url + "/desktop-login?nonce=")))
    s.screenshot("01-sign-in-link-fallback")
    press(find(window, name="Copy Link", role="push button", showing=True))
    wait_for("the link on the clipboard", lambda: clipboard_text() == link.name)
    press(find(window, name="Cancel", role="push button", showing=True))
    wait_for("Sign in again", lambda: find(window, name="Sign in", role="push button", showing=True))
    if s.shows_text("Could not open a web browser. Open this link to sign in:"):
        raise Failure("the cancelled sign-in still shows its link")
    s.app.send_signal(signal.SIGTERM)
    s.app.wait(timeout=20)
    s.env = saved


def private_session_bus():
    """A session-bus connection of the calling thread's own, for services a test plays: the
    shared connection is driven by the main thread's context."""
    address = Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None)
    return Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)


def run_scenario(title, make_session, scenario, failure_shot="failure"):
    """Runs scenario(session) with the common arguments; on failure saves a screenshot and the
    app's stderr. Returns the exit status."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("--browser", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "test-browser"))
    session = make_session(parser.parse_args())
    try:
        scenario(session)
        print(f"{title}: passed")
        return 0
    except Exception as e:
        try:
            session.screenshot(failure_shot)
        except Exception:
            pass
        for path in session.stderr_files:
            with open(path) as f:
                sys.stderr.write(f"--- {path}\n" + f.read()[-4000:])
        print(f"{title}: FAILED: {e!r}", file=sys.stderr)
        return 1
    finally:
        session.stop()


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(run_scenario("desktop app end-to-end", Session, run))
