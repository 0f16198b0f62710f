#include "DropZone.hpp"

#include "I18n.hpp"
#include "StatusDropRule.hpp"

namespace vhbr::gtk {

namespace {

constexpr const char* kUriList = "text/uri-list";

}  // namespace

DropZone::DropZone(Gtk::Overlay& area, Gtk::Widget& webView, FilesDropped onFiles)
    : area_(area), onFiles_(std::move(onFiles)) {
    get_style_context()->add_class("vhbr-drop-zone");
    column_.set_halign(Gtk::ALIGN_CENTER);
    column_.set_valign(Gtk::ALIGN_CENTER);
    icon_.set_from_icon_name("document-send-symbolic", Gtk::ICON_SIZE_DIALOG);
    icon_.set_pixel_size(64);
    label_.set_text(_("Drop media files to upload"));
    label_.get_style_context()->add_class("vhbr-overlay-title");
    column_.pack_start(icon_, Gtk::PACK_SHRINK);
    column_.pack_start(label_, Gtk::PACK_SHRINK);
    frame_.set_shadow_type(Gtk::SHADOW_IN);
    frame_.set_border_width(24);
    frame_.add(column_);
    add(frame_);
    show_all_children();
    set_no_show_all(true);
    area_.add_overlay(*this);
    hide();

    // Only files are wanted here; the page's own drags of text and links stay inside the page.
    gtk_drag_dest_unset(webView.gobj());
    area_.drag_dest_set({Gtk::TargetEntry(kUriList)}, Gtk::DestDefaults(0), Gdk::ACTION_COPY);
    area_.signal_drag_motion().connect(sigc::mem_fun(*this, &DropZone::onMotion), false);
    area_.signal_drag_leave().connect(sigc::mem_fun(*this, &DropZone::onLeave), false);
    area_.signal_drag_drop().connect(sigc::mem_fun(*this, &DropZone::onDrop), false);
    area_.signal_drag_data_received().connect(sigc::mem_fun(*this, &DropZone::onData), false);
}

DropZone::~DropZone() { area_.drag_dest_unset(); }

bool DropZone::onMotion(const Glib::RefPtr<Gdk::DragContext>& context, int, int, guint time) {
    if (area_.drag_dest_find_target(context) != kUriList) return false;
    if (probed_ != context->gobj()) {
        // The answer comes with the data.
        probed_ = context->gobj();
        accepts_ = false;
        area_.drag_get_data(context, kUriList, time);
        return true;
    }
    context->drag_status(accepts_ ? Gdk::ACTION_COPY : Gdk::DragAction(0), time);
    return true;
}

void DropZone::onLeave(const Glib::RefPtr<Gdk::DragContext>&, guint) {
    // Also sent just before a drop, which asks for the data anew.
    hide();
    probed_ = nullptr;
}

bool DropZone::onDrop(const Glib::RefPtr<Gdk::DragContext>& context, int, int, guint time) {
    if (area_.drag_dest_find_target(context) != kUriList) return false;
    dropping_ = true;
    area_.drag_get_data(context, kUriList, time);
    return true;
}

void DropZone::onData(const Glib::RefPtr<Gdk::DragContext>& context, int, int, const Gtk::SelectionData& data,
                      guint, guint time) {
    std::vector<std::string> uris;
    for (const auto& uri : data.get_uris()) uris.push_back(uri);
    if (!dropping_) {
        accepts_ = StatusDropRule::acceptsDrag(uris);
        set_visible(accepts_);
        context->drag_status(accepts_ ? Gdk::ACTION_COPY : Gdk::DragAction(0), time);
        return;
    }
    dropping_ = false;
    probed_ = nullptr;
    hide();
    auto files = StatusDropRule::acceptedFiles(uris);
    context->drag_finish(!files.empty(), false, time);
    if (files.empty()) return;
    // The drop is answered first; the upload engine then takes the files from the main loop.
    Glib::signal_idle().connect_once(sigc::bind(sigc::mem_fun(*this, &DropZone::deliver), std::move(files)));
}

void DropZone::deliver(const std::vector<std::filesystem::path>& files) { onFiles_(files); }

}  // namespace vhbr::gtk
