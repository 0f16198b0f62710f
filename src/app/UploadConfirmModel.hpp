#pragma once
// The confirmation dialog of one upload draft: an editable copy of the draft, the intent and
// language choices, and the header texts. Edits touch only the copy; start() hands the edited
// copy over, cancel drops it. A source language outside the list stays selected as it was (no
// entry is marked) and passes through unchanged.
//
// Threads: main thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Support/ByteCount.hpp"
#include "Upload/UploadModels.hpp"

namespace vhbr {

class UploadConfirmModel {
public:
    struct Choice {
        std::string id;     // raw intent or language id
        std::string label;  // "Subtitle", "English", …

        bool operator==(const Choice&) const = default;
    };

    explicit UploadConfirmModel(UploadDraft draft) : draft_(std::move(draft)) {}

    const UploadDraft& draft() const { return draft_; }
    const std::string& fileName() const { return draft_.media.fileName; }
    std::string fileSizeText() const { return ByteCount::format(draft_.media.fileSize); }

    static std::vector<Choice> intentChoices();  // "Subtitle", "Translate"
    static std::vector<Choice> sourceChoices();  // LanguageOption::sourceOptions()
    static std::vector<Choice> targetChoices();  // LanguageOption::targetOptions()
    // The index of the copy's value among the choices; none when it is not listed.
    std::optional<std::size_t> selectedIntent() const;
    std::optional<std::size_t> selectedSource() const;
    std::optional<std::size_t> selectedTarget() const;

    // Each takes an index into its choices; an index out of range is ignored.
    void selectIntent(std::size_t index);
    void selectSource(std::size_t index);
    void selectTarget(std::size_t index);

    // The draft to start: the copy as edited.
    const UploadDraft& start() const { return draft_; }

    // The draft's place among the files handed over together: "2 of 3"; empty for a single file.
    static std::string positionText(std::size_t index, std::size_t count);

private:
    UploadDraft draft_;
};

}  // namespace vhbr
