// The failure alert says in plain words what went wrong with WebKit's transfer: WebKit hands on
// the file system's trouble only as text, and a cut connection in several forms.

#include "DownloadController.hpp"

#include <gtest/gtest.h>

namespace vhbr::gtk {
namespace {

struct Case {
    const char* name;
    GQuark domain;
    int code;
    const char* message;
    const char* description;
};

TEST(DownloadFailure, DescribesWhatWentWrong) {
    const Case cases[] = {
        {"disk full", WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_DESTINATION,
         "Error writing to file: No space left on device", "The disk is full."},
        {"not writable", WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_DESTINATION,
         "Error opening file: Permission denied", "The folder cannot be written to."},
        {"other file error", WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_DESTINATION,
         "Read-only file system", "The file could not be written: Read-only file system"},
        {"download network error", WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_NETWORK,
         "Connection terminated", "The connection to the server was lost before the whole file arrived."},
        {"network domain", WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_FAILED, "No space left on device",
         "The connection to the server was lost before the whole file arrived."},
    };
    for (const auto& c : cases) {
        GError* error = g_error_new_literal(c.domain, c.code, c.message);
        EXPECT_EQ(DownloadController::describeFailure(error), c.description) << c.name;
        g_error_free(error);
    }
}

}  // namespace
}  // namespace vhbr::gtk
