#include <gtest/gtest.h>

#include "Upload/UploadModels.hpp"

namespace vhbr {
namespace {

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
