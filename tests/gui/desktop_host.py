#!/usr/bin/env python3
"""Stand-ins for pieces of a desktop that the tray test needs, each run as its own process with
its own GTK main loop:

  desktop_host.py drag-source X Y URI...   a small window at (X, Y) whose content can be dragged
                                           out as a text/uri-list of the URIs (XDND, as a file
                                           manager offers files)
  desktop_host.py tray-menu BUS ITEM X Y   what a tray host shows of the StatusNotifierItem at
                                           BUS ITEM: its icon (from its icon theme path) and label
                                           at (X, Y), and its com.canonical.dbusmenu menu, mirrored
                                           by libdbusmenu-gtk and popped up below; the menu follows
                                           the item's changes while open
"""
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gio, GLib, Gdk, Gtk  # noqa: E402


def window_at(x, y, title):
    window = Gtk.Window(title=title)
    window.set_decorated(False)
    window.set_default_size(120, 120)
    window.move(x, y)
    return window


def drag_source(x, y, uris):
    window = window_at(x, y, "vhbr-drag-source")
    box = Gtk.EventBox()
    box.add(Gtk.Label(label="files"))
    box.drag_source_set(Gdk.ModifierType.BUTTON1_MASK, [Gtk.TargetEntry.new("text/uri-list", 0, 0)],
                        Gdk.DragAction.COPY)
    box.connect("drag-data-get", lambda _w, _c, data, _i, _t: data.set_uris(uris))
    window.add(box)
    window.show_all()


def tray_menu(bus, path, x, y):
    gi.require_version("DbusmenuGtk3", "0.4")
    from gi.repository import DbusmenuGtk3

    item = Gio.DBusProxy.new_for_bus_sync(Gio.BusType.SESSION, Gio.DBusProxyFlags.NONE, None, bus, path,
                                          "org.kde.StatusNotifierItem", None)
    def prop(name):  # fresh: an item announces changes by signals of its own, not PropertiesChanged
        reply = item.get_connection().call_sync(bus, path, "org.freedesktop.DBus.Properties", "Get",
                                                GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", name)), None,
                                                Gio.DBusCallFlags.NONE, 5000, None)
        return reply.unpack()[0]

    Gtk.IconTheme.get_default().append_search_path(prop("IconThemePath"))
    anchor = window_at(x, y, "vhbr-tray-host")
    anchor.set_default_size(24, 24)
    row = Gtk.Box(spacing=4, border_width=4)
    icon, label = Gtk.Image(), Gtk.Label()
    row.add(icon)
    row.add(label)
    anchor.add(row)

    def show(*_):
        icon.set_from_icon_name(prop("IconName"), Gtk.IconSize.SMALL_TOOLBAR)
        label.set_text(prop("XAyatanaLabel"))

    show()
    item.connect("g-signal", show)
    anchor.show_all()
    menu = DbusmenuGtk3.Menu.new(bus, prop("Menu"))

    def pop_up():
        if not menu.get_children():
            return GLib.SOURCE_CONTINUE  # the layout has not arrived yet
        menu.popup_at_widget(anchor, Gdk.Gravity.SOUTH_WEST, Gdk.Gravity.NORTH_WEST, None)
        return GLib.SOURCE_REMOVE

    GLib.timeout_add(100, pop_up)
    return menu


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    keep = None
    if mode == "drag-source":
        drag_source(int(args[0]), int(args[1]), args[2:])
    elif mode == "tray-menu":
        keep = tray_menu(args[0], args[1], int(args[2]), int(args[3]))
    else:
        sys.exit(f"unknown mode {mode}")
    print("ready", flush=True)
    Gtk.main()
    del keep


if __name__ == "__main__":
    main()
