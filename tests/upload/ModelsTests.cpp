#include <gtest/gtest.h>

#include "Upload/UploadModels.hpp"

namespace vhbr {
namespace {

// Active uploads keep the menu entry, the badge and the quit confirmation; the others do not.
TEST(UploadTaskStatus, TheFirstFourKindsAndWaitingForNetworkAreActive) {
    const std::pair<UploadTaskStatus, bool> cases[] = {
        {UploadTaskStatus::queued(), true},        {UploadTaskStatus::creatingTask(), true},
        {UploadTaskStatus::uploading(), true},     {UploadTaskStatus::finalizing(), true},
        {UploadTaskStatus::completed("t"), false}, {UploadTaskStatus::failed("m"), false},
        {UploadTaskStatus::cancelled(), false},    {UploadTaskStatus::paused(), false},
        {UploadTaskStatus::waitingForNetwork(std::chrono::seconds(8)), true},
    };
    for (const auto& [status, active] : cases)
        EXPECT_EQ(status.isActive(), active) << static_cast<int>(status.kind());
}

// Views tell rows and alerts apart by id: two uploads of one file are still two rows.
TEST(UploadTaskModel, EachModelAndAlertGetsItsOwnId) {
    const UploadTaskModel a("mac-1", "a.mp4", 42), b("mac-1", "a.mp4", 42);
    EXPECT_EQ(a.id().size(), 36u);
    EXPECT_NE(a.id(), b.id());
    EXPECT_NE(UploadAlert::make("Cannot start upload", "m").id,
              UploadAlert::make("Cannot start upload", "m").id);
}

}  // namespace
}  // namespace vhbr
