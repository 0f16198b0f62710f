#!/usr/bin/env python3
"""End-to-end test of the window's Uploads list, driven through AT-SPI and the keyboard as a person
drives it: three files opened at once are confirmed in turn, and their finished rows are used by
keyboard (Tab, Return, Space, Escape) and open the task page or the file manager; a large upload against a slowed
storage shows in the list, where it is paused, resumed and cancelled; a failed upload is retried;
the quit question closes itself when the last upload ends; the resume question names the file.
Screenshots of the list while uploading, paused and failed are saved under the build folder.
It reuses the session harness of desktop_app_test.py.
"""
import os
import signal
import sys
import time

import pyatspi

import desktop_app_test as harness  # noqa: E402
from desktop_app_test import Failure, find, press, wait_for  # noqa: E402
from download_test import FileManager  # noqa: E402


def find_all(node, role, found=None, depth=0):
    found = [] if found is None else found
    if node is None or depth > 40:
        return found
    try:
        if node.getRoleName() == role and node.getState().contains(pyatspi.STATE_SHOWING):
            found.append(node)
        if node.getRoleName() in ("document web", "document frame"):
            return found
        for child in node:
            find_all(child, role, found, depth + 1)
    except Exception:
        pass
    return found


class UploadsSession(harness.Session):
    def popover(self):
        """The showing Uploads popover (a window of its own in the accessible tree)."""
        for node in self.application() or []:
            if node is None:
                continue
            hit = find(node, name="Clear Finished", role="push button", showing=True)
            if hit is not None:
                return node
        return None

    def open_list(self, window):
        if self.popover() is None:
            press(wait_for("the Uploads button", lambda: find(window, name="Uploads", role="toggle button",
                                                                   showing=True)))
        return wait_for("the Uploads list", self.popover)

    def row_button(self, name, file_name):
        popover = self.popover()
        if popover is None:
            return None
        for button in find_all(popover, "push button"):
            if button.name == name and button.description == file_name:
                return button
        return None

    def row_state(self, file_name):
        """The state words of the file's row ("Uploading", "Paused", …)."""
        popover = self.popover()
        for row in find_all(popover, "list item") if popover else []:
            if row.name.startswith(file_name + ", "):
                return row.name[len(file_name) + 2:]
        return None

    def row_progress(self, file_name):
        popover = self.popover()
        for bar in find_all(popover, "progress bar") if popover else []:
            if bar.name == file_name:
                return bar.queryValue().currentValue
        return None

    def focused(self):
        """The popover's node that has the keyboard focus."""
        popover = self.popover()
        for role in ("list item", "push button"):
            for node in find_all(popover, role) if popover else []:
                if node.getState().contains(pyatspi.STATE_FOCUSED):
                    return node
        return None

    def tab_to_row(self):
        """Presses Tab until a row of the list has the focus; returns the row's file name."""
        for _ in range(12):
            node = self.focused()
            if node is not None and node.getRoleName() == "list item":
                return node.name.split(", ")[0]
            self.key("Velvetharbor", "Tab")
            time.sleep(0.3)
        raise Failure("Tab does not reach the rows of the Uploads list")

    def part_puts(self):
        return sum(self.control("/__dev/stats")["partPuts"].values())


def sign_in(s):
    window = s.start_app()
    wait_for("the Sign in button", lambda: find(window, name="Sign in", role="push button", showing=True))
    s.key("Velvetharbor", "Return")
    wait_for("the overlay to go once signed in", lambda: not s.shows_text("Sign in to Velvetharbor"))
    return window


def keyboard_and_finished_rows(s, window, files):
    """The list by keyboard alone: Tab reaches a row, Escape closes the list, Return and Space act
    on the focused row's main button ("Open Task" on a completed row, which opens the task page in
    the window). "Show in Files" hands the file to the file manager."""
    # The three files hold the same sound: their tasks are told apart by file name (a task found
    # by the sound's digest may be any of the three's).
    names = [os.path.basename(path) for path, _sha in files]

    def tasks_by_name():
        found = {t["request"]["media"]["fileName"]: t["id"] for t in s.control("/__dev/tasks")}
        return {name: found[name] for name in names} if all(name in found for name in names) else None

    tasks = wait_for("the tasks of the three files", tasks_by_name, 60)
    file_manager = FileManager()
    # The window shows the page of the upload that completed last; each key opens another row's.
    shown = {name for name, task in tasks.items() if s.shows_text(task, web=True)}
    for key in ("Return", "space"):
        s.open_list(window)
        wait_for("the completed rows", lambda: all(s.row_state(name) == "Completed" for name in tasks), 20)
        name = s.tab_to_row()
        if key == "Return":
            s.screenshot("27-uploads-list-row-focused")
            s.key("Velvetharbor", "Escape")
            wait_for("Escape to close the list", lambda: s.popover() is None)
            s.open_list(window)
            name = s.tab_to_row()
        while name in shown:  # Down moves to the next row
            s.key("Velvetharbor", "Down")
            name = wait_for("the next row to take the focus", lambda: (
                lambda node: node and node.getRoleName() == "list item" and node.name.split(", ")[0] != name
                and node.name.split(", ")[0])(s.focused()))
        s.key("Velvetharbor", key)
        wait_for(f"{key} to close the list", lambda: s.popover() is None)
        wait_for(f"the task page of {name} after {key}", lambda: s.shows_text(tasks[name], web=True), 20)
        shown.add(name)
    s.open_list(window)
    path = files[1][0]
    press(wait_for("Show in Files", lambda: s.row_button("Show in Files", os.path.basename(path))))
    wait_for("the file manager to show the file", lambda: file_manager.shown == [["file://" + path]])
    s.key("Velvetharbor", "Escape")


def run(s):
    s.start_server()
    files = [s.media(name, 3) for name in ("one.wav", "two.wav", "three.wav")]
    large, large_sha = s.media("lecture.wav", 1800)  # about 300 MiB: 30 parts
    broken, broken_sha = s.media("broken.wav", 10)
    seminar, seminar_sha = s.media("seminar.wav", 360)  # about 60 MiB: 6 parts
    window = sign_in(s)
    if find(window, name="Uploads", role="toggle button", showing=True):
        raise Failure("the Uploads button shows with nothing to list")

    # Three files opened at once: three confirmations in turn, each saying where it stands.
    s.launch(*[path for path, _ in files]).wait(timeout=20)
    for index in range(3):
        dialog = wait_for(f"confirmation {index + 1}", lambda: next(
            (d for d in (s.dialog(f"{name}.wav") for name in ("one", "two", "three")) if d), None))
        wait_for(f"“{index + 1} of 3”", lambda: find(dialog, name=f"{index + 1} of 3", showing=True))
        if index == 0:
            s.screenshot("20-confirmation-1-of-3")
        s.key("Upload", "Return")
        wait_for("the confirmation to go", lambda: not find(dialog, name=f"{index + 1} of 3", showing=True))
    for path, sha in files:
        wait_for(f"the task of {os.path.basename(path)}", lambda: s.task(sha), 60)
    keyboard_and_finished_rows(s, window, files)

    # A large upload against a storage that holds every part a while.
    s.control("/__dev/faults", {"route": "part-put", "times": 200, "delayMs": 1500})
    s.launch(large).wait(timeout=20)
    wait_for("the large file's confirmation", lambda: s.dialog("lecture.wav"))
    s.key("Upload", "Return")
    s.open_list(window)
    wait_for("the large upload's row", lambda: s.row_state("lecture.wav") == "Uploading", 30)
    first = wait_for("progress", lambda: s.row_progress("lecture.wav"), 60)
    wait_for("the progress to rise", lambda: s.row_progress("lecture.wav") > first, 60)
    time.sleep(1.5)  # a speed and a time left to show
    s.screenshot("21-uploads-list-uploading")

    press(wait_for("Pause Upload", lambda: s.row_button("Pause Upload", "lecture.wav")))
    wait_for("the row to show Paused", lambda: s.row_state("lecture.wav") == "Paused", 20)
    time.sleep(1.6)  # parts abandoned by the pause end at the storage
    before = s.part_puts()
    time.sleep(2)
    if s.part_puts() != before:
        raise Failure("a paused upload kept sending parts")
    s.screenshot("22-uploads-list-paused")

    press(wait_for("Resume Upload", lambda: s.row_button("Resume Upload", "lecture.wav")))
    wait_for("the row to upload again", lambda: s.row_state("lecture.wav") == "Uploading", 20)
    wait_for("parts sent again", lambda: s.part_puts() > before, 20)

    press(wait_for("Cancel Upload", lambda: s.row_button("Cancel Upload", "lecture.wav")))
    question = wait_for("the cancel question", lambda: s.dialog("Cancel the upload of “lecture.wav”?"))
    press(find(question, name="Cancel Upload", role="push button"))
    wait_for("the row to show Cancelled", lambda: s.open_list(window) and s.row_state("lecture.wav") == "Cancelled",
             30)
    wait_for("the clean-up request", lambda: s.control("/__dev/stats")["requests"].get("staged-upload-cleanup"))

    # A failed upload shows its error, and Retry uploads it.
    s.control("/__dev/faults", {"route": "object-put", "times": 1, "status": 500})
    s.launch(broken).wait(timeout=20)
    wait_for("the broken file's confirmation", lambda: s.dialog("broken.wav"))
    s.key("Upload", "Return")
    alert = wait_for("the failure alert", lambda: s.dialog("Upload failed"), 60)
    press(find(alert, name="OK", role="push button"))
    s.open_list(window)
    wait_for("the row to show the failure", lambda: (s.row_state("broken.wav") or "").startswith("Failed: "))
    s.screenshot("23-uploads-list-failed")
    press(wait_for("Retry Upload", lambda: s.row_button("Retry Upload", "broken.wav")))
    wait_for("the retried upload's task", lambda: s.task(broken_sha), 60)

    # Quitting during an upload asks; when the upload ends meanwhile the question goes and the
    # app quits, as asked.
    s.key("Velvetharbor", "Escape")
    s.control("/__dev/faults", {"route": "part-put", "times": 200, "delayMs": 200})
    s.control("/__dev/faults", {"route": "upload-complete", "times": 1, "delayMs": 3000})
    s.launch(large).wait(timeout=20)
    wait_for("the large file's confirmation", lambda: s.dialog("lecture.wav"))
    s.key("Upload", "Return")
    wait_for("parts under way", lambda: s.part_puts() > before + 3, 30)
    s.key("Velvetharbor", "ctrl+q")
    wait_for("the quit question", lambda: s.dialog("Quit while uploads are active?"))
    s.screenshot("24-quit-question-during-upload")
    if s.app.wait(timeout=90) != 0:
        raise Failure("the app did not quit cleanly once the upload ended")
    wait_for("the upload's task", lambda: s.task(large_sha), 10)

    # A forced quit during an upload: the next launch names the file it offers to resume, and
    # "Not Now" leaves it in the list to resume from there.
    s.control("/__dev/reset", {})
    s.control("/__dev/faults", {"route": "part-put", "times": 200, "delayMs": 1500})
    window = s.start_app()
    s.launch(seminar).wait(timeout=20)
    wait_for("the seminar's confirmation", lambda: s.dialog("seminar.wav"))
    s.key("Upload", "Return")
    wait_for("parts under way", lambda: s.part_puts() > 0, 30)
    s.app.kill()
    s.app.wait()
    s.control("/__dev/reset", {})
    window = s.start_app()
    question = wait_for("the resume question", lambda: s.dialog("Resume incomplete uploads?"))
    if not find(question, name="Velvetharbor found 1 upload that did not finish: seminar.wav."):
        raise Failure("the resume question does not name the file")
    press(find(question, name="Not Now", role="push button"))
    s.open_list(window)
    wait_for("the interrupted row", lambda: s.row_state("seminar.wav") == "Interrupted")
    s.screenshot("25-uploads-list-interrupted")
    press(wait_for("Resume Upload", lambda: s.open_list(window) and s.row_button("Resume Upload", "seminar.wav")))
    wait_for("the resumed upload's task", lambda: s.task(seminar_sha), 120)

    # Preferences (Ctrl+comma): the speed limit's switch enables its value, and is kept.
    s.key("Velvetharbor", "ctrl+comma")
    prefs = wait_for("Preferences", lambda: s.frame("Preferences"))
    switch = wait_for("the limit switch", lambda: find(prefs, name="Limit upload speed", showing=True))
    rate = find(prefs, name="Limit (MB/s)", role="spin button")
    if rate.getState().contains(pyatspi.STATE_SENSITIVE):
        raise Failure("the limit's value is editable while the limit is off")
    press(switch)
    wait_for("the limit's value to be editable", lambda: rate.getState().contains(pyatspi.STATE_SENSITIVE))
    s.screenshot("26-preferences-speed-limit")
    s.key("Preferences", "Escape")
    wait_for("Preferences to close", lambda: s.frame("Preferences") is None)
    settings = open(os.path.join(s.env["XDG_CONFIG_HOME"], "velvetharbor", "defaults.json")).read()
    if '"VHBR_UPLOAD_LIMIT_ENABLED":"true"' not in settings.replace(" ", ""):
        raise Failure(f"the speed limit was not saved: {settings}")
    s.app.send_signal(signal.SIGTERM)
    s.app.wait(timeout=20)
    s.check_stderr()


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(harness.run_scenario("uploads list end-to-end", UploadsSession, run, "uploads-failure"))
