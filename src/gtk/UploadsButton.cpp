#include "UploadsButton.hpp"

#include <algorithm>

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
// The height of a row until the first one drawn is measured.
constexpr int kRowHeightGuess = 90;

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

// "120 MB of 1.5 GB · 4.2 MB/s · 3 min left"
std::string detailText(const UploadRow& data) {
    std::string detail = data.amount;
    if (!data.speed.empty()) detail += " · " + data.speed;
    if (!data.timeLeft.empty()) detail += " · " + data.timeLeft;
    return detail;
}

}  // namespace

// What a row shows: made only for the rows on or near show (see the header).
struct UploadsButton::RowContent {
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

struct UploadsButton::Row {
    UploadRow data;
    Gtk::ListBoxRow row;
    std::unique_ptr<RowContent> content;
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
            if (&row->row == activated && !row->data.actions.empty())
                actSoon(row->data.id, row->data.fileName, row->data.actions.front());
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
    // The rows are made as the list opens and dropped once it has closed.
    popover_.signal_show().connect([this] { refresh(); });
    popover_.signal_closed().connect([this] {
        Glib::signal_idle().connect_once([this, alive = alive_] {
            if (*alive && !popover_.is_visible()) dropRows();
        });
    });
    const auto scrolled = scroll_.get_vadjustment();
    scrolled->signal_value_changed().connect([this] { showNearRowsSoon(); });
    scrolled->signal_changed().connect([this] { showNearRowsSoon(); });

    listChanged_ = list_.changed.connect([this] { throttle_.request(); });
    refresh();
}

UploadsButton::~UploadsButton() {
    *alive_ = false;
    listChanged_.disconnect();
}

void UploadsButton::refresh() {
    const auto rows = list_.rows();
    // Counted by bench/list-window, which checks the throttle against a running upload.
    g_debug("Uploads list refreshed: %zu rows, %s", rows.size(), popover_.is_visible() ? "open" : "closed");
    button_.set_visible(!rows.empty());
    if (rows.empty()) popover_.popdown();
    const auto combined = list_.combinedProgress();
    percent_.set_visible(combined.has_value());
    if (combined) percent_.set_text(std::to_string(wholePercent(*combined)) + "%");
    clearFinished_.set_sensitive(list_.hasFinished());
    if (!popover_.is_visible()) return;  // the rows are made when it opens

    bool sameRows = rows.size() == rows_.size();
    for (std::size_t i = 0; sameRows && i < rows.size(); ++i) sameRows = rows[i].id == rows_[i]->data.id;
    if (!sameRows) return rebuild(rows);
    for (std::size_t i = 0; i < rows.size(); ++i) update(*rows_[i], rows[i]);
}

void UploadsButton::rebuild(const std::vector<UploadRow>& rows) {
    // The focus stays on the same row, if that row is still there.
    std::string focusedId;
    for (const auto& row : rows_)
        if (holdsFocus(*row)) focusedId = row->data.id;
    dropRows();
    for (const auto& data : rows) {
        auto row = std::make_unique<Row>();
        row->data = data;
        describe(*row);
        row->row.set_size_request(-1, rowHeight_);
        row->row.show();
        rowsBox_.append(row->row);
        rows_.push_back(std::move(row));
    }
    showNearRows();
    for (const auto& row : rows_)
        if (row->data.id == focusedId) row->row.grab_focus();
}

void UploadsButton::update(Row& row, const UploadRow& data) {
    if (row.data == data) return;
    const bool sameActions = row.data.actions == data.actions;
    row.data = data;
    describe(row);
    if (!row.content) return;
    if (sameActions) return fill(*row.content, data);
    // Other buttons: the content is made anew, and a focus inside it moves to the row.
    const bool focused = holdsFocus(row);
    dropContent(row);
    addContent(row);
    if (focused) row.row.grab_focus();
}

void UploadsButton::dropRows() {
    for (const auto& row : rows_) rowsBox_.remove(row->row);
    rows_.clear();
}

void UploadsButton::showNearRowsSoon() {
    // Not inside the size allocation that moved the adjustment: rows are added and removed.
    if (nearRowsPending_ || rows_.empty()) return;
    nearRowsPending_ = true;
    Glib::signal_idle().connect_once([this, alive = alive_] {
        if (!*alive) return;
        nearRowsPending_ = false;
        showNearRows();
    });
}

void UploadsButton::showNearRows() {
    if (rows_.empty()) return;
    // Rows with and without content are of one height, so a row's index gives its place. The
    // rows one page above and below the visible ones are ready for scrolling.
    const auto adjustment = scroll_.get_vadjustment();
    const double page = adjustment->get_page_size() > 0 ? adjustment->get_page_size() : kListMaxHeight;
    const double height = rowHeight_ > 0 ? rowHeight_ : kRowHeightGuess;
    const auto count = static_cast<long>(rows_.size());
    const long first = std::clamp(static_cast<long>((adjustment->get_value() - page) / height), 0L, count);
    const long last = std::clamp(static_cast<long>((adjustment->get_value() + 2 * page) / height) + 1, 0L, count);
    for (long i = 0; i < count; ++i) {
        auto& row = *rows_[static_cast<std::size_t>(i)];
        const bool near = i >= first && i < last;
        if (near && !row.content)
            addContent(row);
        else if (!near && row.content && !holdsFocus(row))
            dropContent(row);
    }
}

void UploadsButton::dropContent(Row& row) {
    row.row.remove();
    row.content.reset();
    row.row.set_size_request(-1, rowHeight_);
}

bool UploadsButton::holdsFocus(Row& row) const {
    const auto* focus = window_.get_focus();
    return focus && (focus == &row.row || focus->is_ancestor(row.row));
}

void UploadsButton::addContent(Row& row) {
    row.content = makeContent(row.data);
    row.row.add(row.content->box);
    row.row.set_size_request(-1, -1);
    row.content->box.show_all();
    if (rowHeight_ > 0) return;
    // The first row drawn gives the height of the rows without content.
    int minimum = 0;
    int natural = 0;
    row.row.get_preferred_height(minimum, natural);
    rowHeight_ = natural;
    for (const auto& other : rows_)
        if (!other->content) other->row.set_size_request(-1, rowHeight_);
}

std::unique_ptr<UploadsButton::RowContent> UploadsButton::makeContent(const UploadRow& data) {
    auto content = std::make_unique<RowContent>();
    auto& c = *content;
    c.name.set_xalign(0);
    c.name.set_ellipsize(Pango::ELLIPSIZE_MIDDLE);
    c.name.get_style_context()->add_class("vhbr-headline");
    c.choices.set_xalign(1);
    c.choices.get_style_context()->add_class("dim-label");
    c.top.pack_start(c.name, Gtk::PACK_EXPAND_WIDGET);
    c.top.pack_end(c.choices, Gtk::PACK_SHRINK);
    c.detail.set_xalign(0);
    c.detail.set_ellipsize(Pango::ELLIPSIZE_END);
    c.detail.get_style_context()->add_class("dim-label");
    // The state shares its line with the buttons: a long error is cut there, whole in its
    // tooltip and in the row's accessible name.
    c.state.set_xalign(0);
    c.state.set_ellipsize(Pango::ELLIPSIZE_END);
    c.bottom.pack_start(c.state, Gtk::PACK_EXPAND_WIDGET);
    c.bottom.pack_end(c.buttons, Gtk::PACK_SHRINK);
    for (const auto action : data.actions) {
        auto button = std::make_unique<Gtk::Button>();
        button->set_image_from_icon_name(iconFor(action), Gtk::ICON_SIZE_BUTTON);
        button->set_tooltip_text(UploadList::actionName(action));
        button->get_style_context()->add_class("flat");
        setAccessible(*button, UploadList::actionName(action), data.fileName);
        button->signal_clicked().connect(
            [this, id = data.id, name = data.fileName, action] { actSoon(id, name, action); });
        c.buttons.pack_start(*button, Gtk::PACK_SHRINK);
        c.actionButtons.push_back(std::move(button));
    }
    c.box.set_border_width(6);
    c.box.pack_start(c.top, Gtk::PACK_SHRINK);
    c.box.pack_start(c.progress, Gtk::PACK_SHRINK);
    c.box.pack_start(c.detail, Gtk::PACK_SHRINK);
    c.box.pack_start(c.bottom, Gtk::PACK_SHRINK);
    fill(c, data);
    return content;
}

void UploadsButton::fill(RowContent& content, const UploadRow& data) {
    content.name.set_text(data.fileName);
    content.choices.set_text(data.choices);
    content.progress.set_fraction(data.fraction);
    content.detail.set_text(detailText(data));
    content.state.set_text(data.state);
    content.state.set_tooltip_text(data.state);
    setAccessible(content.progress, data.fileName, detailText(data));
}

void UploadsButton::describe(Row& row) {
    setAccessible(row.row, row.data.fileName + ", " + row.data.state, detailText(row.data));
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
