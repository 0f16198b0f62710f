#pragma once

#include "FaultInjector.hpp"
#include "Storage.hpp"
#include "TaskStore.hpp"

#include <httplib.h>

namespace vhbr::dev {

// What a user downloads from a task page, under /app-files/<task id>/<name>:
//   <stem>.srt             the subtitles, text/plain sent as an attachment
//   <stem>.transcript.txt  plain text shown inline (the page also links it with a download attribute)
//   <file name>            the uploaded media with its own audio or video type (once uploaded)
//   <stem>.subtitled.mp4   a large video/mp4 (24 MiB), so that a download's progress can be watched
// Faults armed for the route "task-file" apply to these: a delay or a dropped connection happens
// halfway through the body (the client has half the file by then), a status replaces the answer.
// Like any link a browser follows they carry no bearer token: the task id is the only key, which
// is enough for a loopback stand-in and would not be for the real service.
void registerTaskFiles(httplib::Server& server, const TaskStore& tasks, const Storage& storage,
                       FaultInjector& faults);

}  // namespace vhbr::dev
