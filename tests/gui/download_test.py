#!/usr/bin/env python3
"""End-to-end test of saving the web app's downloads in the desktop app.

The links of a task page are clicked through the page's accessible tree; the app's own save
dialog, progress window and alerts are driven as a person drives them (keyboard and buttons).
The test plays the file manager (org.freedesktop.FileManager1) on the session bus, so that
"Show in Files" can be seen to reach it. It reuses the session harness of desktop_app_test.py.
"""
import json
import os
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402
import pyatspi  # noqa: E402

import desktop_app_test as harness  # noqa: E402
from desktop_app_test import APP_ID, Failure, find, press, text_of, wait_for  # noqa: E402

FILE_MANAGER_XML = """<node><interface name="org.freedesktop.FileManager1">
  <method name="ShowItems"><arg type="as" direction="in"/><arg type="s" direction="in"/></method>
</interface></node>"""


class FileManager:
    """Records ShowItems calls, answering on a connection of its own in a thread of its own."""

    def __init__(self):
        self.shown = []
        ready = threading.Event()
        threading.Thread(target=self.serve, args=(ready,), daemon=True).start()
        if not ready.wait(10):
            raise Failure("the test's file manager did not start")

    def serve(self, ready):
        context = GLib.MainContext.new()
        context.push_thread_default()
        bus = harness.private_session_bus()
        interface = Gio.DBusNodeInfo.new_for_xml(FILE_MANAGER_XML).interfaces[0]
        bus.register_object("/org/freedesktop/FileManager1", interface, self.on_call, None, None)
        bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                      GLib.Variant("(su)", ("org.freedesktop.FileManager1", 4)), None, Gio.DBusCallFlags.NONE, -1,
                      None)
        ready.set()
        GLib.MainLoop(context).run()

    def on_call(self, bus, sender, path, interface, method, params, invocation):
        self.shown.append(params.unpack()[0])
        invocation.return_value(None)


class DownloadSession(harness.Session):
    def use_downloads_folder(self):
        self.downloads = os.path.join(self.work, "Downloads")
        self.desktop = os.path.join(self.work, "Desktop")
        os.makedirs(self.downloads)
        os.makedirs(self.desktop)
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "user-dirs.dirs"), "w") as f:
            f.write(f'XDG_DOWNLOAD_DIR="{self.downloads}"\nXDG_DESKTOP_DIR="{self.desktop}"\n')

    def make_task(self, file_name):
        token = self.control("/app-api/sign-in", {"email": "downloads@example.com"})["token"]
        body = {"clientRequestId": "mac-" + "0" * 24, "contract": {"surface": "newTask", "version": 2},
                "sourceKind": "file", "intent": "translate", "sourceLanguage": "en", "targetLanguage": "de",
                "media": {"fileName": file_name, "fileSize": 1000, "mimeType": "audio/wav"}}
        request = urllib.request.Request(self.url + "/api/new-task/v2/tasks", data=json.dumps(body).encode(),
                                         headers={"Content-Type": "application/json",
                                                  "Authorization": "Bearer " + token})
        with urllib.request.urlopen(request, timeout=10) as r:
            return json.load(r)["id"]

    def file_bytes(self, task_id, name):
        url = f"{self.url}/app-files/{urllib.parse.quote(task_id)}/{urllib.parse.quote(name)}"
        with urllib.request.urlopen(url, timeout=30) as r:
            return r.read()

    def click(self, link):
        press(wait_for(f"the link {link}", lambda: find(self.frame("Velvetharbor"), name=link, web=True)))

    def save_dialog(self):
        return wait_for("the save dialog", lambda: self.window_named("Save Download"))

    def window_named(self, title):
        app = self.application()
        for window in app or []:
            if window is not None and window.name == title and window.getState().contains(pyatspi.STATE_SHOWING):
                return window
        return None

    def folder(self):
        """What the Downloads folder holds, staging directories included."""
        return sorted(os.listdir(self.downloads))

    def expect_folder(self, names, what):
        time.sleep(0.5)  # a late write or a left staging directory would show by now
        if self.folder() != sorted(names):
            raise Failure(f"{what}: the Downloads folder holds {self.folder()}")

    def no_alert_for(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            for heading in ("Download saved", "Download could not be saved"):
                if self.dialog(heading):
                    raise Failure(f"an unexpected alert: {heading}")
            time.sleep(0.2)


def label_texts(node, depth=0):
    out = []
    try:
        if node.getRoleName() == "label":
            out.append(node.name)
        for child in node:
            out += label_texts(child, depth + 1) if depth < 20 else []
    except Exception:
        pass
    return out


def run(s, files):
    s.use_downloads_folder()
    s.start_server()
    s.env["VHBR_TEST_BROWSER_DELAY"] = "0"
    task = s.make_task("interview.wav")
    window = s.start_app()
    wait_for("the Sign in button", lambda: find(window, name="Sign in", role="push button", showing=True))
    s.key("Velvetharbor", "Return")
    wait_for("the overlay to go once signed in", lambda: not s.shows_text("Sign in to Velvetharbor"))
    subprocess.run(["gapplication", "action", APP_ID, "open-task", f"'{task}'"], env=s.env, check=True)
    wait_for("the task page", lambda: s.shows_text(task, web=True), 20)

    # The subtitles are an attachment: saved through the dialog, named as the server suggests, in
    # the Downloads folder; "Show in Files" hands the file to the file manager.
    srt = os.path.join(s.downloads, "interview.srt")
    s.click("Subtitles (interview.srt)")
    dialog = s.save_dialog()
    name_field = wait_for("the name field", lambda: find(dialog, role="text", showing=True))
    if text_of(name_field) != "interview.srt":
        raise Failure(f"the save dialog offers the name {text_of(name_field)!r}")
    s.screenshot("20-save-dialog")
    s.key("Save Download", "Return")
    alert = wait_for("the saved alert", lambda: s.dialog("Download saved"))
    if srt not in label_texts(alert):
        raise Failure(f"the saved alert reads {label_texts(alert)}")
    s.screenshot("21-download-saved")
    press(find(alert, name="Show in Files", role="push button"))
    wait_for("the file manager to show the file", lambda: files.shown == [[GLib.filename_to_uri(srt)]], 10)
    with open(srt, "rb") as f:
        if f.read() != s.file_bytes(task, "interview.srt"):
            raise Failure("the saved subtitles differ from the server's")
    s.expect_folder(["interview.srt"], "after the first download")

    # A link with the download attribute, saved over an existing file after the dialog asked.
    transcript = os.path.join(s.downloads, "interview.transcript.txt")
    with open(transcript, "w") as f:
        f.write("an older transcript")
    s.click("Download the transcript")
    s.save_dialog()
    s.key("Save Download", "Return")
    replace = wait_for("the replace question", lambda: find(s.application(), name="Replace", role="push button",
                                                            showing=True))
    press(replace)
    alert = wait_for("the saved alert", lambda: s.dialog("Download saved"))
    press(find(alert, name="Done", role="push button"))
    with open(transcript, "rb") as f:
        if f.read() != s.file_bytes(task, "interview.transcript.txt"):
            raise Failure("the transcript did not replace the older file")
    if len(files.shown) != 1:
        raise Failure("Done showed the file in the file manager")
    expected = ["interview.srt", "interview.transcript.txt"]

    # A cancelled dialog ends silently and leaves nothing.
    s.click("Subtitles (interview.srt)")
    s.save_dialog()
    s.key("Save Download", "Escape")
    wait_for("the dialog to close", lambda: s.window_named("Save Download") is None)
    s.no_alert_for(1)
    s.expect_folder(expected, "after a cancelled dialog")

    # The large video waits halfway: the progress shows, and "Cancel Download" ends it silently.
    s.control("/__dev/faults", {"route": "task-file", "delayMs": 30000})
    progress_title = "Downloading interview.subtitled.mp4"
    s.click("Subtitled video (interview.subtitled.mp4, 24 MiB)")
    s.save_dialog()
    s.key("Save Download", "Return")
    progress = wait_for("the progress window", lambda: s.window_named(progress_title))
    saving_to = "Saving to " + os.path.join(s.downloads, "interview.subtitled.mp4")
    wait_for("half the video", lambda: "50% downloaded" in label_texts(s.window_named(progress_title)), 20)
    if saving_to not in label_texts(progress):
        raise Failure(f"the progress window reads {label_texts(progress)}")
    if not any(n.startswith(".velvetharbor-download-") for n in s.folder()):
        raise Failure("the download is not staged beside its destination")
    s.screenshot("22-progress-window")
    press(find(progress, name="Cancel Download", role="push button"))
    wait_for("the progress window to close", lambda: s.window_named(progress_title) is None)
    s.no_alert_for(1)
    s.expect_folder(expected, "after Cancel Download")

    # A connection dropped halfway: the failure alert, and nothing left.
    s.control("/__dev/reset", {})
    s.control("/__dev/faults", {"route": "task-file", "drop": True})
    s.click("Subtitled video (interview.subtitled.mp4, 24 MiB)")
    s.save_dialog()
    s.key("Save Download", "Return")
    alert = wait_for("the failure alert", lambda: s.dialog("Download could not be saved"))
    if not any("connection" in t for t in label_texts(alert)):
        raise Failure(f"the failure alert reads {label_texts(alert)}")
    s.screenshot("23-download-failed")
    press(find(alert, name="OK", role="push button"))
    s.expect_folder(expected, "after a dropped connection")

    # Plain text that is no attachment is shown in the web view.
    s.click("Read the transcript")
    wait_for("the transcript in the web view", lambda: find(s.frame("Velvetharbor"), web=True,
                                                            name=s.file_bytes(task, "interview.transcript.txt")
                                                            .decode().strip()), 20)
    if s.window_named("Save Download"):
        raise Failure("the inline transcript was offered for saving")

    # A file input of the page: the app's own chooser picks a file from the Desktop folder and
    # the page reads it, also when the web content runs sandboxed (the chosen file is handed to it;
    # the folder itself stays out of its sight).
    with open(os.path.join(s.desktop, "import.srt"), "w") as f:
        f.write("1\n00:00:00,000 --> 00:00:01,000\nImported line\n")
    subprocess.run(["gapplication", "action", APP_ID, "open-task", f"'{task}'"], env=s.env, check=True)
    s.click("Import subtitles")
    chooser = wait_for("the file chooser", lambda: s.window_named("Choose Files"))
    # The file is picked as with the keyboard and the mouse: the Desktop folder, then the file's
    # row. (Typing a path races the location entry's completion popup, which GTK warns about.)
    wait_for("the chooser's Open button", lambda: find(chooser, name="Open", role="push button", showing=True))
    time.sleep(0.5)  # keys reach a dialog only once it is mapped and focused
    s.key("Choose Files", "alt+d")  # the Desktop folder, where the file is
    row = wait_for("the file's row", lambda: find(chooser, name="import.srt", role="table cell", showing=True))
    actions = row.queryAction()
    actions.doAction([actions.getName(i) for i in range(actions.nActions)].index("activate"))  # a double click
    wait_for("the page to read the chosen file", lambda: s.shows_text("Imported import.srt: 1", web=True), 20)
    s.screenshot("24-file-input")

    # Quitting while a download runs cancels it and removes its staged data.
    subprocess.run(["gapplication", "action", APP_ID, "open-task", f"'{task}'"], env=s.env, check=True)
    s.control("/__dev/faults", {"route": "task-file", "delayMs": 30000})
    s.click("Subtitled video (interview.subtitled.mp4, 24 MiB)")
    s.save_dialog()
    s.key("Save Download", "Return")
    wait_for("half the video", lambda: "50% downloaded" in label_texts(s.window_named(progress_title)), 20)
    subprocess.run(["gapplication", "action", APP_ID, "quit"], env=s.env, check=True)
    if s.app.wait(timeout=20) != 0:
        raise Failure("the app did not quit cleanly during a download")
    s.expect_folder(expected, "after quitting during a download")
    s.check_stderr()


if __name__ == "__main__":
    sys.exit(harness.run_scenario("web downloads end-to-end", DownloadSession, lambda s: run(s, FileManager()),
                                  "failure-downloads"))
