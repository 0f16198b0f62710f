// The service's replies, read as the engine reads them: the error body of a failed request, then
// every response decoder (sign-in start and claim, task creation, upload session, part URLs) over
// the same bytes.
//
// Invariants: reading a reply fails only with DecodingError (the callers catch vhbr::Error, so
// anything else would end an upload job with a crash); an error message shown to the user holds
// no control character; every URL a decoder lets through is https, or http to this machine when
// the service itself is local; part numbers run 1..n; a task id the service invents never moves a
// request out of its task's path.

#include <curl/curl.h>

#include <memory>

#include "Auth/DesktopLoginModels.hpp"
#include "FuzzCheck.hpp"
#include "Services/APIClient.hpp"
#include "Upload/UploadAPIModels.hpp"

using namespace vhbr;
using fuzz::check;

namespace {

struct UrlParts {
    std::string scheme;
    std::string host;
    std::string path;
};

UrlParts partsOf(const std::string& text) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
    check(curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0) == CURLUE_OK,
          "URL let through does not parse", text);
    UrlParts parts;
    for (auto [part, out] :
         {std::pair{CURLUPART_SCHEME, &parts.scheme}, std::pair{CURLUPART_HOST, &parts.host},
          std::pair{CURLUPART_PATH, &parts.path}}) {
        char* value = nullptr;
        if (curl_url_get(u.get(), part, &value, 0) == CURLUE_OK) *out = value;
        curl_free(value);
    }
    return parts;
}

void checkTransferURL(const std::string& url, bool allowLoopbackHttp) {
    const UrlParts parts = partsOf(url);
    if (parts.scheme == "https") return;
    check(allowLoopbackHttp && parts.scheme == "http", "transfer URL neither https nor local http", url);
    check(parts.host == "localhost" || parts.host == "[::1]" || parts.host.starts_with("127."),
          "plain http to another machine", url);
}

void checkErrorBody(const std::string& body) {
    const APIClientResponse failed{503, body};
    const auto message = failed.errorMessage();
    if (message)
        check(!fuzz::hasControlCharacter(*message), "control character in an error message", *message);
    try {
        failed.requireSuccess();
        fuzz::fail("a 503 reply counted as success");
    } catch (const APIError& e) {
        check(e.status() == 503 && e.message() == message,
              "APIError does not carry the reply's status and text");
    }
    fuzz::succeeds<std::exception>(
        [&] {
            APIClientResponse{204, body}.requireSuccess();
        },
        "a 204 reply failed");
}

// The request for a follow-up step goes to <base>/api/new-task/v2/tasks/.../<step>, whatever the
// task id holds ("..", "%2e%2e", slashes): an id must not reach another endpoint.
void checkTaskPath(const std::string& taskId) {
    static const APIClient client("https://api.example.test/v1");
    const std::string url = client.url(taskStepPath(taskId, "upload-session"));
    const UrlParts parts = partsOf(url);
    check(parts.host == "api.example.test", "task id changed the host", url);
    check(parts.path.starts_with("/v1/api/new-task/v2/tasks/") && parts.path.ends_with("/upload-session"),
          "task id moved the request out of its task's path", url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(fuzz::asText(data, size));
    checkErrorBody(body);

    nlohmann::json json;
    if (!fuzz::succeeds<DecodingError>([&] { json = APIClient::parseJSON(body); }, "parseJSON")) return 0;

    fuzz::succeeds<DecodingError>([&] { DesktopLoginStartResponse::decode(json); },
                                  "DesktopLoginStartResponse");
    fuzz::succeeds<DecodingError>([&] { DesktopLoginClaimResponse::decode(json); },
                                  "DesktopLoginClaimResponse");
    fuzz::succeeds<DecodingError>(
        [&] {
            const auto task = CreateTaskResponse::decode(json);
            checkTaskPath(task.id);
        },
        "CreateTaskResponse");
    for (const bool allowLoopbackHttp : {false, true}) {
        fuzz::succeeds<DecodingError>(
            [&] {
                const auto session = UploadSessionResponse::decode(json, allowLoopbackHttp);
                if (session.presignedURL) checkTransferURL(*session.presignedURL, allowLoopbackHttp);
            },
            "UploadSessionResponse");
        fuzz::succeeds<DecodingError>(
            [&] {
                const auto list = UploadPartURLsResponse::decode(json, allowLoopbackHttp);
                for (std::size_t i = 0; i < list.parts.size(); ++i) {
                    check(list.parts[i].partNumber == static_cast<std::int64_t>(i) + 1,
                          "part numbers out of order");
                    checkTransferURL(list.parts[i].url, allowLoopbackHttp);
                }
                const auto count = static_cast<std::int64_t>(list.parts.size());
                check(fuzz::succeeds<AppError>([&] { list.requireCount(count); }, "requireCount"),
                      "a list refused for its own length");
                check(!fuzz::succeeds<AppError>([&] { list.requireCount(count + 1); }, "requireCount"),
                      "a short list accepted");
            },
            "UploadPartURLsResponse");
    }
    return 0;
}
