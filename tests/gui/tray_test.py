#!/usr/bin/env python3
"""End-to-end test of the app's desktop integration beyond its window: the tray item with its
exported menu, launcher progress, the completion notification and files dropped on the window.

The test plays the desktop's side on the session bus: a StatusNotifierWatcher (the tray host's
registry), an org.gtk.Notifications server (as the shell offers) and a listener for LauncherEntry
signals (as a dock). Files are dragged over XDND from a small window of desktop_host.py with the
pointer moved by xdotool; the tray menu's screenshot shows it as libdbusmenu-gtk mirrors it for a
tray host. It reuses the session harness of desktop_app_test.py.
"""
import os
import re
import subprocess
import sys
import threading
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

import desktop_app_test as harness  # noqa: E402
from desktop_app_test import Failure, find, press, wait_for  # noqa: E402

APP_PATH = "/com/velvetharbor/Desktop"
HERE = os.path.dirname(os.path.abspath(__file__))

WATCHER_XML = """<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
</interface></node>"""

NOTIFICATIONS_XML = """<node><interface name="org.gtk.Notifications">
  <method name="AddNotification">
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="a{sv}" direction="in"/>
  </method>
  <method name="RemoveNotification"><arg type="s" direction="in"/><arg type="s" direction="in"/></method>
</interface></node>"""


class Desktop:
    """The desktop's services, answering on a connection of their own in a thread of their own."""

    def __init__(self):
        self.items = []          # (bus name, object path) of registered tray items
        self.notifications = []  # (app id, notification id, properties)
        self.launcher = []       # (app uri, properties) of LauncherEntry updates
        self.lock = threading.Lock()
        ready = threading.Event()
        self.thread = threading.Thread(target=self.serve, args=(ready,), daemon=True)
        self.thread.start()
        if not ready.wait(10):
            raise Failure("the test's desktop services did not start")

    def serve(self, ready):
        context = GLib.MainContext.new()
        context.push_thread_default()
        bus = harness.private_session_bus()
        watcher = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0]
        bus.register_object("/StatusNotifierWatcher", watcher, self.on_watcher_call, self.on_watcher_property, None)
        notifications = Gio.DBusNodeInfo.new_for_xml(NOTIFICATIONS_XML).interfaces[0]
        bus.register_object("/org/gtk/Notifications", notifications, self.on_notification_call, None, None)
        bus.signal_subscribe(None, "com.canonical.Unity.LauncherEntry", "Update", None, None,
                             Gio.DBusSignalFlags.NONE, self.on_launcher_update)
        for name in ("org.kde.StatusNotifierWatcher", "org.gtk.Notifications"):
            bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                          GLib.Variant("(su)", (name, 4)), None, Gio.DBusCallFlags.NONE, -1, None)
        ready.set()
        GLib.MainLoop(context).run()

    def on_watcher_call(self, bus, sender, path, interface, method, params, invocation):
        if method == "RegisterStatusNotifierItem":
            service = params.unpack()[0]
            # An item names its object path or its bus name; the sender is the bus name.
            item = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
            with self.lock:
                self.items.append(item)
            bus.emit_signal(None, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                            "StatusNotifierItemRegistered", GLib.Variant("(s)", (item[0] + item[1],)))
        invocation.return_value(None)

    def on_watcher_property(self, bus, sender, path, interface, name):
        with self.lock:
            return {"RegisteredStatusNotifierItems": GLib.Variant("as", [b + p for b, p in self.items]),
                    "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
                    "ProtocolVersion": GLib.Variant("i", 0)}[name]

    def on_notification_call(self, bus, sender, path, interface, method, params, invocation):
        if method == "AddNotification":
            with self.lock:
                self.notifications.append(params.unpack())
        invocation.return_value(None)

    def on_launcher_update(self, bus, sender, path, interface, signal, params):
        with self.lock:
            self.launcher.append(params.unpack())


class Tray:
    """The app's tray item as a host reads it."""

    def __init__(self, bus, name, path):
        self.bus, self.name, self.path = bus, name, path
        self.menu_path = self.property("Menu")

    def property(self, name):
        reply = self.bus.call_sync(self.name, self.path, "org.freedesktop.DBus.Properties", "Get",
                                   GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", name)), None,
                                   Gio.DBusCallFlags.NONE, 5000, None)
        return reply.unpack()[0]

    def children(self):
        reply = self.bus.call_sync(self.name, self.menu_path, "com.canonical.dbusmenu", "GetLayout",
                                   GLib.Variant("(iias)", (0, -1, [])), None, Gio.DBusCallFlags.NONE, 5000, None)
        _revision, (_id, _props, children) = reply.unpack()
        return children

    def layout(self):
        """The menu's top-level items as (label as shown, enabled, id); separators as "-"."""
        items = []
        for item_id, props, _sub in self.children():
            if props.get("visible", True) is False:
                continue
            if props.get("type") == "separator":
                items.append("-")
            else:
                items.append((shown_label(props.get("label", "")), props.get("enabled", True), item_id))
        return items

    def click(self, label):
        item_id = next(i for l, _e, i in (x for x in self.layout() if x != "-") if l == label)
        self.bus.call_sync(self.name, self.menu_path, "com.canonical.dbusmenu", "Event",
                           GLib.Variant("(isvu)", (item_id, "clicked", GLib.Variant("s", ""), 0)), None,
                           Gio.DBusCallFlags.NONE, 5000, None)


def shown_label(label):
    """A dbusmenu label as the host shows it: "__" is an underscore, a single "_" marks the access key."""
    return re.sub(r"_(_?)", lambda m: m.group(1), label)


def idle_menu(tasks=()):
    """The menu with no active upload and these recent tasks, as (label, enabled) and "-"."""
    menu = [("No Active Uploads", False)]
    if tasks:
        menu += ["-"] + [(f"Open Task {t}", True) for t in tasks]
    return menu + ["-", ("Open Velvetharbor", True), ("Check for Updates…", False), "-", ("Quit Velvetharbor", True)]


def without_ids(layout):
    return [x if x == "-" else x[:2] for x in layout]


class TraySession(harness.Session):
    def __init__(self, args):
        super().__init__(args)
        self.hosts = []

    def stop(self):
        for process in self.hosts:
            if process.poll() is None:
                process.kill()
        super().stop()

    def host(self, *args):
        process = subprocess.Popen([sys.executable, os.path.join(HERE, "desktop_host.py"), *args], env=self.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if process.stdout.readline().strip() != "ready":
            raise Failure(f"desktop_host.py {args[0]} did not start")
        self.hosts.append(process)
        return process

    def window_centre(self, title):
        def centre():
            out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(title)}$",
                                  "getwindowgeometry", "--shell", "%@"], capture_output=True, text=True).stdout
            windows = [dict(field.split("=") for field in ("WINDOW=" + block).split())
                       for block in out.split("WINDOW=")[1:]]
            # The main window, not one of GTK's 1x1 off-screen windows of the same title.
            windows = [w for w in windows if int(w["WIDTH"]) > 100]
            return windows and (int(windows[0]["X"]) + int(windows[0]["WIDTH"]) // 2,
                                int(windows[0]["Y"]) + int(windows[0]["HEIGHT"]) // 2)

        return wait_for(f"the window {title}", centre, 10)

    def drag(self, uris, hovering, shot=None):
        """Drags the URIs from a source window onto the main window's middle and drops them;
        hovering() checks the window while they are over it."""
        source = self.host("drag-source", "1150", "100", *uris)
        wait_for("the drag source", lambda: subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", "^vhbr-drag-source$"],
            capture_output=True).returncode == 0)
        x, y = self.window_centre("Velvetharbor")
        mouse = lambda *a: subprocess.run(["xdotool", *a], check=True)  # noqa: E731
        mouse("mousemove", "--sync", "1210", "160")
        mouse("mousedown", "1")
        for step in range(1, 21):  # past GTK's drag threshold, then across in steps as a hand does
            mouse("mousemove", str(1210 + (x - 1210) * step // 20), str(160 + (y - 160) * step // 20))
            time.sleep(0.03)
        time.sleep(0.5)
        mouse("mousemove", str(x + 5), str(y + 5))
        hovering()
        if shot:
            self.screenshot(shot)
        mouse("mouseup", "1")
        time.sleep(0.3)
        source.kill()
        source.wait()


def run(s, desktop):
    s.start_server()
    dropped_name = "team_talk.wav"  # an underscore, which menus take for an access key
    dropped, dropped_sha = s.media(dropped_name, 400)  # above 50 MiB: several parts, visible progress
    s.env["VHBR_TEST_BROWSER_DELAY"] = "0"
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)

    window = s.start_app()
    name, path = wait_for("the tray item to register", lambda: desktop.items and desktop.items[0])
    tray = Tray(bus, name, path)
    shown = (tray.property("Title"), tray.property("IconName"))
    if shown != ("Velvetharbor", "com.velvetharbor.Desktop-tray-symbolic"):
        raise Failure(f"tray item: {shown}")
    wait_for("the idle tray menu", lambda: without_ids(tray.layout()) == idle_menu())
    quit_item = next(p for _i, p, _s in tray.children() if p.get("label") == "Quit Velvetharbor")
    if quit_item.get("shortcut") != [["Control", "q"]]:
        raise Failure(f"the tray's Quit item shows the shortcut {quit_item.get('shortcut')}")

    wait_for("the Sign in button", lambda: find(window, name="Sign in", role="push button", showing=True))
    s.key("Velvetharbor", "Return")
    wait_for("the overlay to go once signed in", lambda: not s.shows_text("Sign in to Velvetharbor"))

    zone = "Drop media files to upload"

    def no_zone():
        time.sleep(0.5)
        if s.shows_text(zone):
            raise Failure("a dragged web link shows the drop zone")

    # A web link is refused: no drop zone, nothing enqueued.
    s.drag(["https://example.com/talk.mp4"], no_zone)
    time.sleep(1)
    if s.dialog("talk.mp4") or s.dialog("Cannot start upload"):
        raise Failure("a dragged web link was taken")
    drop_zone = lambda: wait_for("the drop zone", lambda: s.shows_text(zone), 5)  # noqa: E731

    # A folder is handed on, and validation explains why it cannot be uploaded.
    s.drag([GLib.filename_to_uri(s.work)], drop_zone)
    alert = wait_for("the alert about the folder", lambda: s.dialog("Cannot start upload"))
    press(find(alert, name="OK", role="push button"))
    wait_for("the alert to close", lambda: s.dialog("Cannot start upload") is None)

    # The last part waits, so that the upload is seen in progress.
    s.control("/__dev/faults", {"route": "part-put", "partNumber": 7, "delayMs": 6000})
    s.drag([GLib.filename_to_uri(dropped)], drop_zone, shot="10-drop-zone")
    wait_for("the confirmation of the dropped file", lambda: s.dialog(dropped_name))
    s.screenshot("11-dropped-file-confirmation")
    s.key("Upload", "Return")

    running = re.compile(re.escape(dropped_name) + r" — ([1-9]\d?)%$")
    seen = []

    def progress_menu():
        seen.append(tray.layout())
        return seen[-1] if running.match(str(seen[-1][0][0])) else None

    try:
        menu = wait_for("the tray menu with the upload's progress", progress_menu, 60)
    except Failure:
        raise Failure(f"no progress in the tray menu; it read {sorted(set(str(m[0]) for m in seen))}")
    if without_ids(menu)[1:] != idle_menu()[1:] or menu[0][1]:
        raise Failure(f"tray menu during the upload: {without_ids(menu)}")
    if tray.property("IconName") != "com.velvetharbor.Desktop-tray-active-symbolic":
        raise Failure("the tray icon shows no dot during the upload")
    host = s.host("tray-menu", name, path, "900", "0")
    time.sleep(1)
    s.screenshot("12-tray-menu-during-upload")
    host.kill()
    with desktop.lock:
        during = [p for _u, p in desktop.launcher if p.get("progress-visible")]
    if not during or not all(p["count"] == 1 and p["count-visible"] and 0 <= p["progress"] < 1 for p in during) \
            or max(p["progress"] for p in during) <= 0:
        raise Failure(f"launcher progress during the upload: {during}")

    task = s.opened_task(dropped_sha)
    wait_for("the tray menu with the task", lambda: without_ids(tray.layout()) == idle_menu([task["id"]]), 10)
    if tray.property("IconName") != "com.velvetharbor.Desktop-tray-symbolic":
        raise Failure("the tray icon keeps its dot after the upload")
    host = s.host("tray-menu", name, path, "900", "0")
    time.sleep(1)
    s.screenshot("13-tray-menu-after-upload")
    host.kill()
    uri, last = wait_for("the launcher to be cleared", lambda: desktop.launcher and not desktop.launcher[-1][1].get(
        "progress-visible") and desktop.launcher[-1])
    if uri != "application://com.velvetharbor.Desktop.desktop" or last.get("count-visible"):
        raise Failure(f"launcher at the end: {uri} {last}")

    app_id, note_id, note = wait_for("the notification", lambda: desktop.notifications and desktop.notifications[-1])
    expected = {"title": "Velvetharbor upload complete", "body": f"{dropped_name} is processing.",
                "default-action": "app.open-task", "default-action-target": task["id"]}
    if (app_id, note_id) != ("com.velvetharbor.Desktop", "upload-" + task["id"]) or \
            any(note.get(k) != v for k, v in expected.items()):
        raise Failure(f"notification: {app_id} {note_id} {note}")

    # Clicking the notification, as the shell does it, opens the task again after leaving it.
    press(wait_for("the All tasks link", lambda: find(s.frame("Velvetharbor"), name="All tasks", web=True)))
    wait_for("the task list", lambda: not s.shows_text(task["id"], web=True), 20)
    bus.call_sync("com.velvetharbor.Desktop", APP_PATH, "org.freedesktop.Application", "ActivateAction",
                  GLib.Variant("(sava{sv})", ("open-task", [GLib.Variant("s", task["id"])], {})), None,
                  Gio.DBusCallFlags.NONE, 5000, None)
    wait_for("the task page from the notification", lambda: s.shows_text(task["id"], web=True), 20)

    # The tray's quit: nothing is active, so the app quits without asking.
    tray.click("Quit Velvetharbor")
    if s.app.wait(timeout=20) != 0:
        raise Failure("the tray's Quit did not quit cleanly")
    s.check_stderr()


if __name__ == "__main__":
    sys.exit(harness.run_scenario("desktop integration end-to-end", TraySession, lambda s: run(s, Desktop()),
                                  "failure-tray"))
