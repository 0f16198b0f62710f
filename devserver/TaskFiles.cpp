#include "TaskFiles.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

namespace vhbr::dev {

namespace {

constexpr std::uint64_t kLargeSize = std::uint64_t{24} << 20;
constexpr std::uint64_t kChunk = 64 << 10;

std::string stem(const std::string& fileName) {
    const auto dot = fileName.rfind('.');
    return dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
}

std::string srtTime(int seconds) {
    char out[32];  // room for any int, so the compiler can see nothing is cut
    std::snprintf(out, sizeof out, "%02d:%02d:%02d,000", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return out;
}

std::string subtitles(const Task& task) {
    const std::string name = task.request["media"]["fileName"];
    const std::string target = task.request["targetLanguage"];
    const char* lines[] = {"Welcome, everyone.", "Today we look at the quarter's results.",
                           "Questions are welcome at the end."};
    std::string out;
    for (int i = 0; i < 3; ++i) {
        out += std::to_string(i + 1) + "\n" + srtTime(i * 4) + " --> " + srtTime(i * 4 + 3) + "\n[" + target +
               "] " + lines[i] + "\n\n";
    }
    return out + "4\n" + srtTime(12) + " --> " + srtTime(15) + "\n(" + name + ")\n";
}

std::string transcript(const Task& task) {
    return "Transcript of " + task.request["media"]["fileName"].get<std::string>() + " (" +
           task.request["sourceLanguage"].get<std::string>() +
           ")\n\nWelcome, everyone.\nToday we look at the quarter's results.\nQuestions are welcome at the "
           "end.\n";
}

// Deterministic filler for the large file: the same bytes on every request.
void largeBytes(std::uint64_t offset, std::size_t length, std::string& out) {
    out.resize(length);
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint64_t n = offset + i;
        out[i] = static_cast<char>((n * 2654435761u >> 13) ^ (n >> 9));
    }
}

using Reader = std::function<void(std::uint64_t offset, std::size_t length, std::string& out)>;

// Streams size bytes from read, applying an armed fault halfway through.
void stream(httplib::Response& res, std::uint64_t size, const std::string& type, Reader read,
            std::optional<Fault> fault) {
    const auto half = size / 2;
    auto pending = std::make_shared<std::optional<Fault>>(std::move(fault));
    res.set_content_provider(size, type,
                             [size, half, pending, read = std::move(read)](std::size_t offset, std::size_t,
                                                                           httplib::DataSink& sink) {
                                 if (*pending && offset >= half) {
                                     const Fault fault = **pending;
                                     pending->reset();
                                     const auto until = std::chrono::steady_clock::now() +
                                                        std::chrono::milliseconds(fault.delayMs);
                                     while (std::chrono::steady_clock::now() < until && sink.is_writable())
                                         std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                     if (fault.drop)
                                         return false;  // the connection closes with the body cut short
                                 }
                                 // With a fault still to come, the chunks stop exactly at the half.
                                 auto length = std::min<std::uint64_t>(kChunk, size - offset);
                                 if (*pending) length = std::min<std::uint64_t>(length, half - offset);
                                 std::string chunk;
                                 read(offset, static_cast<std::size_t>(length), chunk);
                                 return !chunk.empty() && sink.write(chunk.data(), chunk.size());
                             });
}

void text(httplib::Response& res, const std::string& body, const std::optional<Fault>& fault) {
    auto shared = std::make_shared<std::string>(body);
    stream(
        res, body.size(), "text/plain; charset=utf-8",
        [shared](std::uint64_t offset, std::size_t length, std::string& out) {
            out = shared->substr(offset, length);
        },
        fault);
}

}  // namespace

void registerTaskFiles(httplib::Server& server, const TaskStore& tasks, const Storage& storage,
                       FaultInjector& faults) {
    server.Get(R"(/app-files/([^/]+)/([^/]+))", [&tasks, &storage, &faults](const httplib::Request& req,
                                                                            httplib::Response& res) {
        const auto task = tasks.task(req.matches[1]);
        const std::string name = req.matches[2];
        const std::string fileName = task ? task->request["media"]["fileName"].get<std::string>() : "";
        const bool known =
            task && (name == stem(fileName) + ".srt" || name == stem(fileName) + ".transcript.txt" ||
                     name == fileName || name == stem(fileName) + ".subtitled.mp4");
        if (!known) {
            res.status = 404;
            return res.set_content("No such file.", "text/plain");
        }
        const auto fault = faults.onRequest("task-file");
        if (fault && fault->status) {
            res.status = *fault->status;
            return res.set_content(fault->body, "text/plain");
        }
        res.set_header("Cache-Control", "no-store");
        if (name == stem(fileName) + ".srt") {
            res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
            return text(res, subtitles(*task), fault);
        }
        if (name == stem(fileName) + ".transcript.txt") return text(res, transcript(*task), fault);
        if (name == stem(fileName) + ".subtitled.mp4")
            return stream(res, kLargeSize, "video/mp4", largeBytes, fault);
        const auto size = task->uploadComplete ? storage.objectSize(task->objectKey) : std::nullopt;
        if (!size) {
            res.status = 404;
            return res.set_content("The media has not been uploaded.", "text/plain");
        }
        const std::string path = storage.objectPath(task->objectKey).string();
        stream(
            res, *size, task->request["media"]["mimeType"],
            [path](std::uint64_t offset, std::size_t length, std::string& out) {
                std::ifstream in(path, std::ios::binary);
                in.seekg(static_cast<std::streamoff>(offset));
                out.resize(length);
                in.read(out.data(), static_cast<std::streamsize>(length));
                out.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
            },
            fault);
    });
}

}  // namespace vhbr::dev
