#include "UploadsButton.hpp"

#include "FileReveal.hpp"
#include "I18n.hpp"
#include "MessageQuestion.hpp"
#include "Support/Percent.hpp"

namespace vhbr::gtk {

namespace {

using Action = UploadRow::Action;

// More often than this a person cannot read a changing number, and every redraw costs.
constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr int kListWidth = 460;
constexpr int kListMaxHeight = 420;

const char* iconFor(Action action) {
    switch (action) {
        case Action::pause: return "media-playback-pause-symbolic";
        case Action::resume: return "media-playback-start-symbolic";
        case Action::cancel: return "process-stop-symbolic";
        case Action::retry: return "view-refresh-symbolic";
        case Action::openTask: return "go-next-symbolic";
        case Action::showInFiles: return "folder-open-symbolic";
        case Action::remove: return "edit-clear-symbolic";
    }
    return "";
}

void setAccessible(Gtk::Widget& widget, const std::string& name, const std::string& description) {
    const auto accessible = widget.get_accessible();
    if (!accessible) return;
    accessible->set_name(name);
    accessible->set_description(description);
}

}  // namespace

struct UploadsButton::Row {
    std::string id;
    std::vector<Action> actions;
    Gtk::ListBoxRow row;
    Gtk::Box box{Gtk::ORIENTATION_VERTICAL, 3};
    Gtk::Box top{Gtk::ORIENTATION_HORIZONTAL, 8};
    Gtk::Label name;
    Gtk::Label choices;
    Gtk::ProgressBar progress;
    Gtk::Box bottom{Gtk::ORIENTATION_HORIZONTAL, 8};
    Gtk::Label detail;
    Gtk::Label state;
    Gtk::Box buttons{Gtk::ORIENTATION_HORIZONTAL, 4};
    std::vector<std::unique_ptr<Gtk::Button>> actionButtons;
};

UploadsButton::UploadsButton(Gtk::Window& window, AppModel& model)
    : window_(window), model_(model), list_(model.uploadManager()), throttle_(kRedrawInterval, [this] { refresh(); }) {
    icon_.set_from_icon_name("document-send-symbolic", Gtk::ICON_SIZE_BUTTON);
    buttonContent_.pack_start(icon_, Gtk::PACK_SHRINK);
    buttonContent_.pack_start(percent_, Gtk::PACK_SHRINK);
    buttonContent_.show_all();
    button_.add(buttonContent_);
    button_.set_tooltip_text(_("Uploads"));
    setAccessible(button_, _("Uploads"), "");
    button_.set_popover(popover_);

    rowsBox_.set_selection_mode(Gtk::SELECTION_NONE);
    rowsBox_.set_activate_on_single_click(false);
    // Return or Space on a focused row acts as its main button.
    rowsBox_.signal_row_activated().connect([this](Gtk::ListBoxRow* activated) {
        for (const auto& row : rows_)
            if (&row->row == activated && !row->actions.empty())
                actSoon(row->id, row->name.get_text(), row->actions.front());
    });
    setAccessible(rowsBox_, _("Uploads"), "");
    scroll_.set_policy(Gtk::POLICY_NEVER, Gtk::POLICY_AUTOMATIC);
    scroll_.set_propagate_natural_height(true);
    scroll_.set_max_content_height(kListMaxHeight);
    scroll_.set_min_content_width(kListWidth);
    scroll_.add(rowsBox_);
    clearFinished_.set_label(_("Clear Finished"));
    clearFinished_.set_halign(Gtk::ALIGN_END);
    clearFinished_.signal_clicked().connect([this] { list_.clearFinished(); });
    content_.set_border_width(8);
    content_.set_size_request(kListWidth, -1);  // rows rebuilt must not narrow the popover
    content_.pack_start(scroll_, Gtk::PACK_EXPAND_WIDGET);
    content_.pack_start(clearFinished_, Gtk::PACK_SHRINK);
    content_.show_all();
    popover_.add(content_);

    listChanged_ = list_.changed.connect([this] { throttle_.request(); });
    refresh();
}

UploadsButton::~UploadsButton() {
    *alive_ = false;
    listChanged_.disconnect();
}

void UploadsButton::refresh() {
    const auto rows = list_.rows();
    button_.set_visible(!rows.empty());
    if (rows.empty()) popover_.popdown();
    const auto combined = list_.combinedProgress();
    percent_.set_visible(combined.has_value());
    if (combined) percent_.set_text(std::to_string(wholePercent(*combined)) + "%");

    bool sameShape = rows.size() == rows_.size();
    for (std::size_t i = 0; sameShape && i < rows.size(); ++i)
        sameShape = rows[i].id == rows_[i]->id && rows[i].actions == rows_[i]->actions;
    if (!sameShape) {
        rebuild(rows);
    } else {
        for (std::size_t i = 0; i < rows.size(); ++i) fill(*rows_[i], rows[i]);
    }
    clearFinished_.set_sensitive(list_.hasFinished());
}

void UploadsButton::rebuild(const std::vector<UploadRow>& rows) {
    // The focus stays on the same row's first button, if that row is still there.
    std::string focusedId;
    if (const auto* focus = window_.get_focus())
        for (const auto& row : rows_)
            if (focus == &row->row || focus->is_ancestor(row->row)) focusedId = row->id;
    for (const auto& row : rows_) rowsBox_.remove(row->row);
    rows_.clear();
    for (const auto& data : rows) {
        auto row = std::make_unique<Row>();
        row->id = data.id;
        row->actions = data.actions;
        row->name.set_xalign(0);
        row->name.set_ellipsize(Pango::ELLIPSIZE_MIDDLE);
        row->name.get_style_context()->add_class("vhbr-headline");
        row->choices.set_xalign(1);
        row->choices.get_style_context()->add_class("dim-label");
        row->top.pack_start(row->name, Gtk::PACK_EXPAND_WIDGET);
        row->top.pack_end(row->choices, Gtk::PACK_SHRINK);
        row->detail.set_xalign(0);
        row->detail.set_ellipsize(Pango::ELLIPSIZE_END);
        row->detail.get_style_context()->add_class("dim-label");
        // The state shares its line with the buttons: a long error is cut there, whole in its
        // tooltip and in the row's accessible name.
        row->state.set_xalign(0);
        row->state.set_ellipsize(Pango::ELLIPSIZE_END);
        row->bottom.pack_start(row->state, Gtk::PACK_EXPAND_WIDGET);
        row->bottom.pack_end(row->buttons, Gtk::PACK_SHRINK);
        for (const auto action : data.actions) {
            auto button = std::make_unique<Gtk::Button>();
            button->set_image_from_icon_name(iconFor(action), Gtk::ICON_SIZE_BUTTON);
            button->set_tooltip_text(UploadList::actionName(action));
            button->get_style_context()->add_class("flat");
            setAccessible(*button, UploadList::actionName(action), data.fileName);
            button->signal_clicked().connect(
                [this, id = data.id, name = data.fileName, action] { actSoon(id, name, action); });
            row->buttons.pack_start(*button, Gtk::PACK_SHRINK);
            row->actionButtons.push_back(std::move(button));
        }
        row->box.set_border_width(6);
        row->box.pack_start(row->top, Gtk::PACK_SHRINK);
        row->box.pack_start(row->progress, Gtk::PACK_SHRINK);
        row->box.pack_start(row->detail, Gtk::PACK_SHRINK);
        row->box.pack_start(row->bottom, Gtk::PACK_SHRINK);
        row->row.add(row->box);
        fill(*row, data);
        row->row.show_all();
        rowsBox_.append(row->row);
        rows_.push_back(std::move(row));
    }
    for (const auto& row : rows_)
        if (row->id == focusedId) row->row.grab_focus();
}

void UploadsButton::fill(Row& row, const UploadRow& data) {
    row.name.set_text(data.fileName);
    row.choices.set_text(data.choices);
    row.progress.set_fraction(data.fraction);
    std::string detail = data.amount;
    if (!data.speed.empty()) detail += " · " + data.speed;
    if (!data.timeLeft.empty()) detail += " · " + data.timeLeft;
    row.detail.set_text(detail);
    row.state.set_text(data.state);
    row.state.set_tooltip_text(data.state);
    setAccessible(row.row, data.fileName + ", " + data.state, detail);
    setAccessible(row.progress, data.fileName, detail);
}

void UploadsButton::actSoon(const std::string& id, const std::string& fileName, Action action) {
    // From the loop, not inside the button's own signal: the action may change the row, and a
    // redraw then rebuilds it, button and handler included.
    Glib::signal_idle().connect_once([this, alive = alive_, id, fileName, action] {
        if (*alive) act(id, fileName, action);
    });
}

void UploadsButton::act(const std::string& id, const std::string& fileName, Action action) {
    switch (action) {
        case Action::openTask:
            if (const auto task = list_.taskId(id)) {
                popover_.popdown();
                model_.navigateToTask(*task);
            }
            return;
        case Action::showInFiles:
            if (const auto file = list_.sourceFile(id)) revealInFiles(*file);
            return;
        case Action::cancel:
            if (list_.cancelAsks(id))
                return askThenPerform(_("Cancel the upload of “") + fileName + "”?",
                                      _("What was sent so far is discarded."), _("Cancel Upload"),
                                      _("Keep Uploading"), id, action);
            break;
        case Action::remove:
            if (list_.removeAsks(id))
                return askThenPerform(_("Remove “") + fileName + _("” from the list?"),
                                          _("Its saved progress is discarded; it cannot be resumed."),
                                          _("Remove from List"), _("Keep"), id, action);
            break;
        default: break;
    }
    list_.perform(id, action);
}

void UploadsButton::askThenPerform(const std::string& question, const std::string& detail,
                                   const std::string& confirm, const std::string& keep, const std::string& id,
                                   Action action) {
    MessageQuestion::ask(&window_, Gtk::MESSAGE_QUESTION, question, detail, {confirm, keep},
                         [this, alive = alive_, id, action](int chosen) {
                             if (chosen == 0 && *alive) list_.perform(id, action);
                         });
}

}  // namespace vhbr::gtk
