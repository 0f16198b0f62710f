#pragma once
// Dropping files on the main window, which stands in for the tray icon (a tray icon cannot take
// drops here): while a drag of files is over the window a drop zone covers the web view, and a
// drop hands the files the app layer's drop rule accepts (local files and folders, in drag order)
// on. A drag of web links alone is refused and shows no zone. The web view itself takes no drops.
//
// Threads: main thread only.

#include <gtkmm.h>

#include <filesystem>
#include <functional>
#include <vector>

namespace vhbr::gtk {

class DropZone : public Gtk::EventBox {
public:
    using FilesDropped = std::function<void(const std::vector<std::filesystem::path>&)>;

    // Adds itself above area's other overlays and makes area the window's drop target in place of
    // webView. onFiles runs from the main loop after the drop has been answered.
    DropZone(Gtk::Overlay& area, Gtk::Widget& webView, FilesDropped onFiles);
    ~DropZone() override;

private:
    bool onMotion(const Glib::RefPtr<Gdk::DragContext>& context, int x, int y, guint time);
    void onLeave(const Glib::RefPtr<Gdk::DragContext>& context, guint time);
    bool onDrop(const Glib::RefPtr<Gdk::DragContext>& context, int x, int y, guint time);
    void onData(const Glib::RefPtr<Gdk::DragContext>& context, int x, int y, const Gtk::SelectionData& data,
                guint info, guint time);
    void deliver(const std::vector<std::filesystem::path>& files);

    Gtk::Overlay& area_;
    FilesDropped onFiles_;
    Gtk::Frame frame_;
    Gtk::Box column_{Gtk::ORIENTATION_VERTICAL, 12};
    Gtk::Image icon_;
    Gtk::Label label_;
    // What the drag over the window holds, asked once per drag (motion cannot read the data).
    GdkDragContext* probed_ = nullptr;
    bool accepts_ = false;
    bool dropping_ = false;
};

}  // namespace vhbr::gtk
