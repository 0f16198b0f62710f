#pragma once
// Which responses of the web view are saved as files instead of shown.
//
// Threads: pure; any thread.

#include <optional>
#include <string>

namespace vhbr {

// What the decision reads of a navigation response.
struct DownloadResponse {
    std::optional<std::string> mimeType;
    bool isHTTP = false;                            // an HTTP(S) response, which has headers
    std::optional<std::string> contentDisposition;  // the "Content-Disposition" header
};

namespace DownloadPolicy {

// True for an attachment, for anything the web view cannot show, and for audio and video even
// when the view could play them: media of the service is meant to be kept.
bool shouldDownload(const DownloadResponse& response, bool canShowMIMEType);

}  // namespace DownloadPolicy

}  // namespace vhbr
