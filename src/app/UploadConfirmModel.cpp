#include "UploadConfirmModel.hpp"

namespace vhbr {

namespace {

std::vector<UploadConfirmModel::Choice> languageChoices(const std::vector<LanguageOption>& options) {
    std::vector<UploadConfirmModel::Choice> choices;
    for (const auto& option : options) choices.push_back({option.id, option.name});
    return choices;
}

std::optional<std::size_t> indexOf(const std::vector<UploadConfirmModel::Choice>& choices,
                                   const std::string& id) {
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (choices[i].id == id) return i;
    return std::nullopt;
}

}  // namespace

std::vector<UploadConfirmModel::Choice> UploadConfirmModel::intentChoices() {
    std::vector<Choice> choices;
    for (auto intent : allUploadIntents()) choices.push_back({rawValue(intent), displayName(intent)});
    return choices;
}

std::vector<UploadConfirmModel::Choice> UploadConfirmModel::sourceChoices() {
    return languageChoices(LanguageOption::sourceOptions());
}

std::vector<UploadConfirmModel::Choice> UploadConfirmModel::targetChoices() {
    return languageChoices(LanguageOption::targetOptions());
}

std::optional<std::size_t> UploadConfirmModel::selectedIntent() const {
    return indexOf(intentChoices(), rawValue(draft_.intent));
}

std::optional<std::size_t> UploadConfirmModel::selectedSource() const {
    return indexOf(sourceChoices(), draft_.sourceLanguage);
}

std::optional<std::size_t> UploadConfirmModel::selectedTarget() const {
    return indexOf(targetChoices(), draft_.targetLanguage);
}

void UploadConfirmModel::selectIntent(std::size_t index) {
    const auto& intents = allUploadIntents();
    if (index < intents.size()) draft_.intent = intents[index];
}

void UploadConfirmModel::selectSource(std::size_t index) {
    const auto& options = LanguageOption::sourceOptions();
    if (index < options.size()) draft_.sourceLanguage = options[index].id;
}

void UploadConfirmModel::selectTarget(std::size_t index) {
    const auto& options = LanguageOption::targetOptions();
    if (index < options.size()) draft_.targetLanguage = options[index].id;
}

std::string UploadConfirmModel::positionText(std::size_t index, std::size_t count) {
    if (count < 2) return {};
    return std::to_string(index) + " of " + std::to_string(count);
}

}  // namespace vhbr
