#include "UploadConfirmDialog.hpp"

#include "I18n.hpp"
#include "LabelledRows.hpp"

namespace vhbr::gtk {

namespace {

constexpr int kWidth = 420;

}  // namespace

UploadConfirmDialog::UploadConfirmDialog(Gtk::Window& parent, UploadDraft draft,
                                         std::function<void(const UploadDraft&)> onStart,
                                         std::function<void()> onCancel)
    : Gtk::Dialog(_("Upload"), parent, Gtk::DIALOG_MODAL),
      model_(std::move(draft)),
      onStart_(std::move(onStart)),
      onCancel_(std::move(onCancel)) {
    set_resizable(false);
    set_default_size(kWidth, -1);
    set_size_request(kWidth, -1);

    fileName_.set_text(model_.fileName());
    fileName_.get_style_context()->add_class("vhbr-headline");
    fileName_.set_xalign(0);
    fileName_.set_line_wrap(true);
    fileName_.set_line_wrap_mode(Pango::WRAP_WORD_CHAR);
    fileName_.set_lines(2);
    fileName_.set_ellipsize(Pango::ELLIPSIZE_END);
    fileName_.set_max_width_chars(1);  // the width comes from the dialog, not from the name
    fileName_.set_hexpand(true);
    fileSize_.set_text(model_.fileSizeText());
    fileSize_.get_style_context()->add_class("dim-label");
    fileSize_.set_xalign(0);
    position_.get_style_context()->add_class("dim-label");
    position_.set_valign(Gtk::ALIGN_START);
    nameLine_.pack_start(fileName_, Gtk::PACK_EXPAND_WIDGET);
    nameLine_.pack_end(position_, Gtk::PACK_SHRINK);
    header_.pack_start(nameLine_, Gtk::PACK_SHRINK);
    header_.pack_start(fileSize_, Gtk::PACK_SHRINK);

    intentLabel_.set_text(_("Intent"));
    sourceLabel_.set_text(_("Source"));
    targetLabel_.set_text(_("Target"));
    for (auto* label : {&intentLabel_, &sourceLabel_, &targetLabel_}) label->set_xalign(1);

    // The intents as a linked pair of toggle buttons, one of which is always on.
    const auto intents = UploadConfirmModel::intentChoices();
    const auto selectedIntent = model_.selectedIntent();
    for (std::size_t i = 0; i < intents.size(); ++i) {
        auto button = std::make_unique<Gtk::RadioButton>(intents[i].label);
        if (!intents_.empty()) button->join_group(*intents_.front());
        button->set_mode(false);
        button->set_hexpand(true);
        if (selectedIntent == i) button->set_active(true);
        button->signal_toggled().connect([this, i, b = button.get()] {
            if (b->get_active()) model_.selectIntent(i);
        });
        intentButtons_.pack_start(*button);
        intents_.push_back(std::move(button));
    }
    intentButtons_.get_style_context()->add_class("linked");

    fill(source_, UploadConfirmModel::sourceChoices(), model_.selectedSource());
    fill(target_, UploadConfirmModel::targetChoices(), model_.selectedTarget());
    source_.signal_changed().connect([this] {
        if (const int row = source_.get_active_row_number(); row >= 0) model_.selectSource(row);
    });
    target_.signal_changed().connect([this] {
        if (const int row = target_.get_active_row_number(); row >= 0) model_.selectTarget(row);
    });

    choices_.set_row_spacing(10);
    choices_.set_column_spacing(12);
    attachLabelledRows(choices_, {{intentLabel_, intentButtons_}, {sourceLabel_, source_}, {targetLabel_, target_}});

    column_.set_border_width(22);
    column_.pack_start(header_, Gtk::PACK_SHRINK);
    column_.pack_start(choices_, Gtk::PACK_SHRINK);
    get_content_area()->pack_start(column_);
    get_content_area()->set_border_width(0);

    add_button(_("Cancel"), Gtk::RESPONSE_CANCEL);
    add_button(_("Start"), Gtk::RESPONSE_OK)->get_style_context()->add_class("suggested-action");
    set_default_response(Gtk::RESPONSE_OK);
    get_action_area()->set_border_width(12);

    signal_response().connect(sigc::mem_fun(*this, &UploadConfirmDialog::answer));
    show_all_children();
    get_widget_for_response(Gtk::RESPONSE_OK)->grab_focus();
}

void UploadConfirmDialog::fill(Gtk::ComboBoxText& combo,
                               const std::vector<UploadConfirmModel::Choice>& choices,
                               std::optional<std::size_t> selected) {
    for (const auto& choice : choices) combo.append(choice.id, choice.label);
    // A remembered language that is not offered shows no entry and stays as it is unless changed.
    if (selected) combo.set_active(static_cast<int>(*selected));
    combo.set_hexpand(true);
}

void UploadConfirmDialog::answer(int response) {
    if (answered_) return;
    answered_ = true;
    hide();
    // Cancel, Escape and closing the window all mean "not now".
    if (response == Gtk::RESPONSE_OK)
        onStart_(model_.start());
    else
        onCancel_();
}

bool UploadConfirmDialog::on_key_press_event(GdkEventKey* event) {
    const bool enter = event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_KP_Enter ||
                       event->keyval == GDK_KEY_ISO_Enter;
    const bool listOpen = source_.property_popup_shown() || target_.property_popup_shown();
    if (enter && !listOpen && (event->state & gtk_accelerator_get_default_mod_mask()) == 0) {
        response(Gtk::RESPONSE_OK);
        return true;
    }
    return Gtk::Dialog::on_key_press_event(event);
}

void UploadConfirmDialog::dismiss() {
    answered_ = true;
    hide();
}

void UploadConfirmDialog::setPosition(std::size_t index, std::size_t count) {
    const auto text = UploadConfirmModel::positionText(index, count);
    position_.set_text(text);
    position_.set_visible(!text.empty());
}

}  // namespace vhbr::gtk
